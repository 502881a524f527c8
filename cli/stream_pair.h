// The single-pair comparison without either image whole in memory, for the
// pairs where that gives the same result: two BMP files that the library's
// own reader reads exactly (24 bits per pixel, uncompressed, a known header
// size), of one width, height and orientation, with no output or a BMP
// output that is a regular file (or none yet) other than the inputs.  Rows
// are read, compared, marked and written a chunk at a time on every core.
#pragma once

#include <string>

#include "cli/image.h"
#include "cli/options.h"
#include "cli/report.h"

namespace diffmark::cli {

enum class PairStream {
  NotTaken,  // the pair does not qualify; nothing was written
  Compared,  // `result` holds the comparison (and the output was written)
  Trouble,   // `troubleFile` could not be written: `troubleReason`
};

PairStream StreamPair(const Options& options, Format format, PairResult* result, std::string* troubleFile,
                      std::string* troubleReason);

// Compares a pair that StreamPair would take, on `threads` threads, without
// writing anything: NotTaken when the pair does not qualify, else Compared
// with the sizes and counts in `result` (the same as the whole-image
// comparison gives), or Trouble when the row buffers cannot be had.  The
// folder form asks this first, so that equal BMP pairs are never held
// whole.
PairStream StreamCompare(const std::string& base, const std::string& other, const CompareOptions& options,
                         unsigned threads, PairResult* result);

}  // namespace diffmark::cli
