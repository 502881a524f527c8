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

// Removes from the report's picture folder the pictures an earlier run
// wrote there ("0001-base.png" and the like), so that what the folder holds
// afterwards is this run's alone.  Nothing else in it is touched.  The
// names of pictures that could not be removed go to `problems`.
void RemoveEarlierPictures(const std::string& folder, std::vector<std::string>* problems);

// Writes the page: the summary (counts of each status, the files that
// could not be compared), then every changed, added and removed file with
// the base, the other and the marked picture side by side and its counts,
// the most changed first.  Each picture links to itself at full size.
// Written under a temporary name and renamed, like every result.  False
// with the reason.
[[nodiscard]] bool WriteHtmlReport(const std::string& path, const Options& options,
                                   const std::vector<FolderEntry>& entries, std::string* error);

}  // namespace diffmark::cli
