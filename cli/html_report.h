// The HTML report of the folder form: one page, and beside it a folder of
// the pictures it shows.  No script, no style sheet or font from elsewhere:
// the page works from a disk, an archive of CI results or a mail.
#pragma once

#include <string>
#include <vector>

#include "cli/folders.h"
#include "cli/options.h"

namespace diffmark::cli {

// The folder of the page's pictures: "report_files" beside "report.html"
// (the name without ".html" or ".htm", then "_files").
std::string ReportImageFolder(const std::string& reportPath);

// Writes the page: the summary (counts of each status, the files that
// could not be compared), then every changed, added and removed file with
// the base, the other and the marked picture side by side and its counts,
// the most changed first.  Each picture links to itself at full size.
// Written under a temporary name and renamed, like every result.  False
// with the reason.
[[nodiscard]] bool WriteHtmlReport(const std::string& path, const Options& options,
                                   const std::vector<FolderEntry>& entries, std::string* error);

}  // namespace diffmark::cli
