// The folder form's trees: which files are images, listing them every
// level down, pairing the two lists by relative path, and the names of
// marked copies.
#pragma once

#include <string>
#include <vector>

namespace diffmark::cli {

// Whether a file name is one of an image the folder form compares: its own
// extension (the text after the last dot of the name; a name that starts
// with its only dot has none) is "bmp" or one that a registered plug-in's
// filter accepts, in any letter case, or one of the usual image formats
// (png, jpg, gif, webp, tif, ...) even when no plug-in reads it, so that
// such a file is reported rather than silently left out.  Extensions longer than the six
// characters the loader reads do not count.  Reads the plug-in table.
[[nodiscard]] bool IsImageFileName(const std::string& name);

// Whether the library can read a file of this name: "bmp", or an
// extension a registered plug-in accepts.
[[nodiscard]] bool HasReader(const std::string& name);

// The relative paths ('/' between parts) of the image files under `root`,
// every level down, sorted by their bytes.  Directories are entered unless
// they are symbolic links (no loops) or one of `skip` (canonical paths: the
// program's own output inside an input folder).  Folders that cannot be
// listed are named in `problems`.
[[nodiscard]] std::vector<std::string> ListImageFiles(const std::string& root, const std::vector<std::string>& skip,
                                                      std::vector<std::string>* problems);

// One relative path of the two trees, and which of them hold it.
struct PairedPath {
  std::string path;
  bool inBase = false;
  bool inOther = false;
};

// Pairs two sorted lists into one, in path order.
[[nodiscard]] std::vector<PairedPath> PairUp(const std::vector<std::string>& base,
                                             const std::vector<std::string>& other);

// "dir/relative", with one separator between them.
[[nodiscard]] std::string JoinRelative(const std::string& dir, const std::string& relative);

// Where the marked copy of `relative` goes, relative to the output folder:
// the same path for BMP files (written as BMP) and PNG files (as PNG, where
// this build writes PNG); every other name gets ".png" (or ".bmp")
// appended, so the format always matches the name.
[[nodiscard]] std::string MarkedCopyName(const std::string& relative);

// The canonical form of a path that may not exist yet, for comparing; ""
// when it cannot be had.
[[nodiscard]] std::string CanonicalPath(const std::string& path);

// Whether two paths name one file or folder (the same path, another
// spelling, a hard or symbolic link to it); false when either does not
// exist.
[[nodiscard]] bool SameFile(const std::string& a, const std::string& b);

}  // namespace diffmark::cli
