// The folder form of diffmark-cli: every image file of two folders, paired
// by relative path, compared on several threads with the options of the
// single-pair form; marked copies under an output folder, a summary or one
// JSON object, and an HTML report.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/fingerprint.h"
#include "cli/options.h"
#include "compare/pair.h"

namespace diffmark::cli {

enum class PairStatus { Equal, Changed, Added, Removed, Error };

[[nodiscard]] const char* StatusName(PairStatus status);  // "equal", "changed", ...

// What became of one relative path.
struct FolderEntry {
  std::string path;  // relative to both folders, '/' between its parts
  bool inBase = false;
  bool inOther = false;
  PairStatus status = PairStatus::Equal;
  // The comparison of a pair both folders have.  A file on one side only
  // is loaded only to be shown in the report; then its size is here too.
  PairResult result;
  std::vector<std::string> trouble;  // "file: reason" lines; the status is Error when any
  // The report's pictures of this entry: names inside the report's image
  // folder, empty when not shown, and why one could not be shown.
  std::string shownBase;
  std::string shownOther;
  std::string shownMarked;
  std::string shownProblem;
  std::vector<std::string> reportTrouble;  // report files that could not be written
  double seconds = 0;  // how long the entry took (--junit)
  // The report's record of each file (for accepting changes later); the
  // bytes are 0 and the flag false when it could not be read.
  Fingerprint baseFile;
  Fingerprint otherFile;
  bool baseFingerprinted = false;
  bool otherFingerprinted = false;
};

struct FolderTotals {
  uint64_t equal = 0;
  uint64_t changed = 0;
  uint64_t added = 0;
  uint64_t removed = 0;
  uint64_t errors = 0;
};

[[nodiscard]] FolderTotals CountStatuses(const std::vector<FolderEntry>& entries);

// Compares the folders options.base and options.other (the plug-ins
// already scanned) and reports as options say.  Returns the exit status:
// 0 all equal and nothing added or removed, 1 otherwise, 2 on trouble.
int CompareFolders(const Options& options);

// What a folder run (or a merge of its shards) does once every entry is
// known: prints the trouble, writes the report page at `reportPath` (its
// pictures already in place) and the JUnit file at `junitPath` (either
// empty: none), prints the summary or the JSON, and returns the exit
// status.  `problems` is the trouble not tied to one entry; `seconds` the
// run's time.
int FinishFolderRun(const Options& options, const std::vector<FolderEntry>& entries, std::vector<std::string> problems,
                    double seconds, const std::string& reportPath, const std::string& junitPath);

}  // namespace diffmark::cli
