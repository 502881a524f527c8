// What diffmark-cli prints about a comparison: one line for people, one
// JSON object for programs.
#pragma once

#include <string>

#include "cli/compare.h"
#include "cli/options.h"

namespace diffmark::cli {

struct PairResult {
  std::string base;
  std::string other;
  int32_t baseWidth = 0, baseHeight = 0;
  int32_t otherWidth = 0, otherHeight = 0;
  Stats stats;
  std::string output;  // written file, or empty
};

// "12 345 of 67 108 864 pixels differ (0.018 %), 20 001 channel bytes; in
// x 10–4000, y 7–812", or "no pixel differs (...)"; sizes first when they
// differ.  No line end.
std::string SummaryLine(const PairResult& result);

// The JSON object of a single comparison (no line end).
std::string PairJson(const PairResult& result, const CompareOptions& options);

// JSON helpers for the folder report.
std::string JsonString(const std::string& text);
std::string BoxJson(const Stats& stats);  // {"x":..,"y":..,"width":..,"height":..} or null

// "12 345 678": digits grouped by thousands.
std::string Grouped(uint64_t value);

const char* ModeName(Mode mode);

}  // namespace diffmark::cli
