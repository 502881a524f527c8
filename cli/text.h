// What diffmark-cli prints for people: the summary line of a pair, and
// numbers grouped so they read.
#pragma once

#include <cstdint>
#include <string>

#include "compare/pair.h"

namespace diffmark::cli {

// "12 345 of 67 108 864 pixels differ (0.018 %), 20 001 channel bytes; in
// x 10–4000, y 7–812", or "no pixel differs (...)"; sizes first when they
// differ.  `withGroup` (a run with --max-cluster-pixels) adds the largest
// group of touching pixels the tolerance judged: "; largest group 211
// pixels in x 42–62, y 54–81".  No line end.
[[nodiscard]] std::string SummaryLine(const PairResult& result, bool withGroup);

// "12 345 678": digits grouped by thousands.
[[nodiscard]] std::string Grouped(uint64_t value);

// "1 image", "12 images".
[[nodiscard]] std::string Plural(uint64_t n, const char* one, const char* many);

}  // namespace diffmark::cli
