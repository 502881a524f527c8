// The command line of diffmark-cli.  Every option is one entry of the table
// in options.cpp (its names, its value, its help, how it sets Options);
// the parser and --help are both made from it.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "compare/compare.h"

namespace diffmark::cli {

struct Options {
  std::string base;
  std::string other;
  std::string output;        // -o: a file (two images) or a folder (two folders); empty: none
  std::string pluginDir;     // --plugins
  std::string report;        // --report: an HTML page (two folders)
  std::string junit;         // --junit: a JUnit XML file of the pairs
  CompareOptions compare;
  bool colourGiven = false;  // --color was given
  std::string thresholdText; // --threshold as given: read by the metric once all options are known
  // Tolerance, as Playwright's maxDiffPixels and maxDiffPixelRatio: a pair
  // of one size whose differing pixels stay within both passes.
  std::optional<uint64_t> maxDiffPixels;
  std::optional<double> maxDiffRatio;
  // And beyond them: a pair passes while no group of touching differing
  // pixels (Stats::largest) is larger.  Every tolerance given must hold.
  std::optional<uint64_t> maxClusterPixels;
  bool json = false;
  bool quiet = false;
  unsigned jobs = 0;         // -j; 0: one per processor
  // --shard K/N (folders): only the relative paths of shard K (1-based) of
  // N; 0/0 when not given.
  unsigned shardIndex = 0;
  unsigned shardCount = 0;
  bool help = false;
  bool version = false;
  // Not an option: the plug-in folders looked in, for reasons that name
  // them (set once the plug-ins are scanned).
  std::vector<std::string> pluginFolders;
};

struct OptionSpec {
  const char* longName;   // without the dashes
  char shortName;         // 0: none
  const char* valueName;  // nullptr: a flag without a value
  const char* help;       // lines after the first start with "\n"
  // Sets `options` from the value (nullptr for a flag).  False with a
  // one-line reason naming the option, the value and what is accepted.
  bool (*apply)(Options& options, const char* value, std::string* error);
};

[[nodiscard]] std::span<const OptionSpec> OptionTable();

enum class ParseError { None, Usage, Value };

// Parses the arguments.  On failure a one-line reason in `error`; Value
// when an option's value was wrong (the reason says what is accepted),
// Usage for an unknown option or a wrong number of operands.
[[nodiscard]] ParseError ParseOptions(int argc, char** argv, Options* options, std::string* error);

// Whether a compared pair passes: nothing differs, or (one size) its
// differing pixels stay within the tolerance the options give.
[[nodiscard]] bool Passes(const Stats& stats, bool sizesDiffer, const Options& options);

// Whether the options give a tolerance.
[[nodiscard]] bool HasTolerance(const Options& options);

// The whole --help text; `pngOutput` tells whether -o name.png works.
[[nodiscard]] std::string UsageText(const char* program, bool pngOutput);

// The two synopsis lines that start the usage text.
[[nodiscard]] std::string SynopsisText(const char* program);

}  // namespace diffmark::cli
