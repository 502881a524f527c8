// The command line of diffmark-cli.
#pragma once

#include <string>
#include <vector>

#include "cli/compare.h"

namespace diffmark::cli {

struct Options {
  std::string base;
  std::string other;
  std::string output;        // -o: a file (two images) or a folder (two folders); empty: none
  std::string pluginDir;     // --plugins
  std::string report;        // --report: an HTML page (two folders)
  CompareOptions compare;
  bool colourGiven = false;  // --color was given
  bool json = false;
  bool quiet = false;
  unsigned jobs = 0;         // -j; 0: one per processor
  bool help = false;
  bool version = false;
};

// Parses the arguments.  False with a one-line reason in `error` for a bad
// option or value, or a wrong number of operands.
[[nodiscard]] bool ParseOptions(int argc, char** argv, Options* options, std::string* error);

// The usage text; `pngOutput` tells whether -o name.png is available.
std::string UsageText(const char* program, bool pngOutput);

}  // namespace diffmark::cli
