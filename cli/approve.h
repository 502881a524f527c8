// diffmark-cli approve: the baseline follows the changes a person accepted
// in the HTML report.
//
//   diffmark-cli approve APPROVALS.json BASE_DIR OTHER_DIR
//   diffmark-cli approve --all REPORT.html BASE_DIR OTHER_DIR
//
// The first form takes the approvals.json the report page exports; the
// second accepts every changed, added and removed pair the report page
// lists.  Each accepted file of OTHER_DIR is copied over BASE_DIR's (or
// added there); each removed one is removed from BASE_DIR.  Before anything
// is written every pair is checked: its path must stay inside both folders
// (no absolute path, no "..", no symbolic link leading out), and its files
// must be the ones the report saw (size and FNV-1a 64 hash).  One refused
// pair refuses the whole run: exit 2 with a line naming it, nothing
// changed.
#pragma once

namespace diffmark::cli {

// argv[0] is "approve".  Returns the exit status: 0 done, 2 refused or
// trouble.
[[nodiscard]] int RunApprove(int argc, char** argv);

}  // namespace diffmark::cli
