// The folder form of diffmark-cli: every image file of two folders, paired
// by relative path, compared on several threads with the options of the
// single-pair form; marked copies under an output folder, a summary or one
// JSON object, and an HTML report.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/options.h"
#include "cli/report.h"

namespace diffmark::cli {

enum class PairStatus { Equal, Changed, Added, Removed, Error };

const char* StatusName(PairStatus status);  // "equal", "changed", ...

// What became of one relative path.
struct FolderEntry {
  std::string path;  // relative to both folders, '/' between its parts
  bool inBase = false;
  bool inOther = false;
  PairStatus status = PairStatus::Equal;
  bool compared = false;  // both loaded and compared: `result` holds the counts
  // Each side of a pair that both folders have, once loaded: its size is
  // in `result`.  (A file on one side only is not loaded, except to be
  // shown in the report; then its size is in `result` too.)
  bool baseLoaded = false;
  bool otherLoaded = false;
  PairResult result;
  std::string output;     // the marked copy written, or empty
  std::vector<std::string> trouble;  // "file: reason" lines; the status is Error when any
  // The report's pictures of this entry: names inside the report's image
  // folder, empty when not shown, and why one could not be shown.
  std::string shownBase;
  std::string shownOther;
  std::string shownMarked;
  std::string shownProblem;
  std::vector<std::string> reportTrouble;  // report files that could not be written
};

struct FolderTotals {
  uint64_t equal = 0;
  uint64_t changed = 0;
  uint64_t added = 0;
  uint64_t removed = 0;
  uint64_t errors = 0;
};

FolderTotals CountStatuses(const std::vector<FolderEntry>& entries);

// Whether a file name is one of an image the folder form compares: its own
// extension (the text after the last dot of the name; a name that starts
// with its only dot has none) is "bmp" or one that a registered plug-in's
// filter accepts, in any letter case.  Extensions longer than the six
// characters the loader reads do not count.  Reads the plug-in table.
bool IsImageFileName(const std::string& name);

// The relative paths ('/' between parts) of the image files under `root`,
// every level down, sorted by their bytes.  Directories are entered unless
// they are symbolic links (no loops) or one of `skip` (canonical paths: the
// program's own output inside an input folder).  Folders that cannot be
// listed are named in `problems`.
std::vector<std::string> ListImageFiles(const std::string& root, const std::vector<std::string>& skip,
                                        std::vector<std::string>* problems);

// "dir/relative", with one separator between them.
std::string JoinRelative(const std::string& dir, const std::string& relative);

// Where the marked copy of `relative` goes, relative to the output folder:
// the same path for BMP files (written as BMP) and PNG files (as PNG, where
// this build writes PNG); every other name gets ".png" (or ".bmp")
// appended, so the format always matches the name.
std::string MarkedCopyName(const std::string& relative);

// Compares the folders options.base and options.other (the plug-ins
// already scanned) and reports as options say.  Returns the exit status:
// 0 all equal and nothing added or removed, 1 otherwise, 2 on trouble.
int CompareFolders(const Options& options);

}  // namespace diffmark::cli
