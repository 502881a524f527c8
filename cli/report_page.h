// The style sheet and the script of the HTML report, written for it: no
// framework, nothing fetched.  The script reads the page's embedded data
// (the <script type="application/json" id="diffmark-data"> block) and
// builds each pair's views when the pair comes near the screen.
#pragma once

namespace diffmark::cli {

extern const char* const kReportStyle;
extern const char* const kReportScript;

}  // namespace diffmark::cli
