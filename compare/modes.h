// The comparison's two tables: the metrics (when a pixel pair counts as
// differing) and the modes (how the base picture is marked).  A new metric
// or marking is one entry here and its rule in modes.cpp; the command
// line's option values and help come from these tables.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "compare/compare.h"

namespace diffmark {

struct MetricInfo {
  Metric metric;
  const char* name;  // the option value
  const char* help;  // one line
  // The threshold: a whole number up to `maxThreshold` (or a fraction of
  // it when not `wholeThreshold`), and its default.
  bool wholeThreshold;
  double maxThreshold;
  double defaultThreshold;
};

// The differing pixels of one row, for marking: x of the pixels both
// pictures cover that differ, of the base pixels the other does not cover,
// and of the pixels left out as anti-aliasing.
struct RowMarks {
  const int32_t* changed = nullptr;
  size_t changedCount = 0;
  const int32_t* outside = nullptr;
  size_t outsideCount = 0;
  const int32_t* antialiased = nullptr;  // over the threshold, but anti-aliasing
  size_t antialiasedCount = 0;
};

struct ModeInfo {
  Mode mode;
  const char* name;  // the option value
  const char* help;  // one line
  uint8_t defaultColour[3];  // blue, green, red, when --color is not given
  // Channels marks each differing byte while the row is scanned (with the
  // Channel metric); the others paint after the scan.
  bool marksBytesInScan;
  // Paints row `baseRow` (of `width` pixels) of the base picture.
  void (*paintRow)(uint8_t* baseRow, int32_t width, const RowMarks& marks, const CompareOptions& options);
};

[[nodiscard]] std::span<const MetricInfo> Metrics();
[[nodiscard]] std::span<const ModeInfo> Modes();

[[nodiscard]] const MetricInfo& InfoOf(Metric metric);
[[nodiscard]] const ModeInfo& InfoOf(Mode mode);

// The entry named `name`; nullptr when none is.
[[nodiscard]] const MetricInfo* FindMetric(std::string_view name);
[[nodiscard]] const ModeInfo* FindMode(std::string_view name);

}  // namespace diffmark
