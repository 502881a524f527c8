// One pair of images, as both forms of diffmark-cli handle it: load the
// two, compare them (marking the base in place), and write the marked
// copy.  The single-pair form runs it once; the folder form once for each
// relative path, on several threads.
#pragma once

#include <string>

#include "cli/compare.h"
#include "cli/image.h"
#include "cli/report.h"

namespace diffmark::cli {

struct LoadedPair {
  LoadedImage base;
  LoadedImage other;
  std::string baseError;   // why the base could not be loaded; empty when it was
  std::string otherError;
};

// Loads both images; with `concurrently` (and two different files) the
// other on a thread of its own while this one loads the base.  False when either failed (each reason in
// `pair`).
[[nodiscard]] bool LoadPair(const std::string& base, const std::string& other, bool concurrently,
                            LoadedPair* pair);

// Compares a loaded pair, marking the base in place, and fills in the
// sizes and counts of the result (its names are `base` and `other`).
PairResult CompareLoaded(const std::string& base, const std::string& other, const LoadedPair& pair,
                         const CompareOptions& options);

// Writes the marked base of a compared pair to `path`.  Two 24-bit BMPs
// of one size give what the difference run gives: the other file's info
// header (as a 40-byte header) over the marked rows; anything else a fresh
// 24-bit header.  False with the reason.
[[nodiscard]] bool WriteMarked(const std::string& path, Format format, const LoadedPair& pair,
                               std::string* error);

}  // namespace diffmark::cli
