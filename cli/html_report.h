// The HTML report of the folder form: one page, and beside it a folder of
// the pictures it shows.  Its small script and style sheet are its own
// (report_page.cpp); nothing comes from elsewhere: the page works from a
// disk or an archive of CI results.
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

// Writes the page: the totals, a filter and the keys; then the pairs
// grouped (changed, the most changed first; added; removed; not compared;
// equal, folded away), each with an anchor named by its path.  The page's
// data (each pair's status, sizes, counts, box, pictures, and the size and
// FNV-1a 64 hash of its files) is one JSON block the script reads; the
// script builds a pair's views (side by side, slider, blend, toggle,
// marked only, and crops zoomed onto the box) when it comes near the
// screen, and exports the accepted pairs as approvals.json.  Written under
// a temporary name and renamed, like every result.  False with the reason.
[[nodiscard]] bool WriteHtmlReport(const std::string& path, const Options& options,
                                   const std::vector<FolderEntry>& entries, std::string* error);

}  // namespace diffmark::cli
