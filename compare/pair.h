// The one way every program compares two image files: diffmark with its
// fixed names, diffmark-cli's single pair, and each pair of its folder
// form.  It decides once whether the pair streams (two BMP files the
// reader accepts, of one geometry: rows read, compared, marked and written
// a chunk at a time, neither picture held whole) or is loaded whole, and
// writes the marked copy of the base where the caller asks.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "compare/compare.h"
#include "compare/picture.h"
#include <diffmark/bitmap.h>
#include "platform/platform.h"

namespace diffmark {

// How a pair that does not stream is read.
enum class PairReading {
  // Through LoadPicture: any format the library reads, palettes expanded,
  // each picture its own size; a BMP streams only where the reader reads
  // it exactly.  The options decide what counts and how it is marked.
  Decoded,
  // The difference run's rule: LoadImageFile's rows taken as 24-bit rows
  // of the second file's geometry (rows.h), every differing channel byte
  // marked; any pair of 24-bit BMPs the reader accepts may stream.  Only
  // the marking is done: no counts.
  RawRows,
};

enum class OutputFormat { Bmp, Png };

// Encodes a picture as PNG into an open file; false with the reason.
using PngEncoder = bool (*)(const Picture& picture, platform::FileHandle out, std::string* error);

// Where the marked copy of the base goes.
struct PairOutput {
  std::string path;  // empty: nothing is written
  OutputFormat format = OutputFormat::Bmp;
  PngEncoder encodePng = nullptr;  // needed for Png
  // The difference run creates its result in place (truncating it);
  // everything else is written beside and renamed into place.
  bool inPlace = false;
  // The folder form: no copy of an equal pair.
  bool onlyWhenDifferent = false;
};

// Told about the pictures of a pair that was loaded whole (the folder
// form's report): first as loaded, then once compared, with the base
// marked.  A streamed pair is not shown to it.
struct PairObserver {
  std::function<void(const Picture& base, const Picture& other)> loaded;
  std::function<void(const Picture& marked, const Picture& other, const Stats& stats)> compared;
};

struct PairRequest {
  std::string base;
  std::string other;
  PairReading reading = PairReading::Decoded;
  bool stream = true;          // false: whole pictures, even where rows could stream
  bool loadAtOnce = true;      // decode the two on two threads
  // Two files of one length and the same bytes are equal without decoding,
  // where nothing needs their pictures (no copy of an equal pair).
  bool identicalShortcut = true;
  unsigned threads = 0;        // for streamed rows; 0: one a processor (at most 8)
  PairOutput output;
  const PairObserver* observer = nullptr;
};

struct PairResult {
  std::string base;
  std::string other;
  bool baseLoaded = false;
  bool otherLoaded = false;
  bool compared = false;       // both loaded and compared: `stats` counts
  bool streamed = false;       // rows were streamed
  // The two files hold the same bytes: equal without being decoded; the
  // sizes are known only where the format's header was read (BMP).
  bool identical = false;
  bool sizesKnown = true;
  int32_t baseWidth = 0, baseHeight = 0;
  int32_t otherWidth = 0, otherHeight = 0;
  Stats stats;
  std::string output;          // the marked copy written, or empty
  // Why something failed (empty: it did not): an input that could not be
  // loaded, or the output that could not be written.
  std::string baseError;
  std::string otherError;
  std::string outputError;

  [[nodiscard]] bool Failed() const {
    return !baseError.empty() || !otherError.empty() || !outputError.empty();
  }
};

// Writes `picture` to `path` as `output.format` says: a 24-bit BMP with
// `header` as its info header (rows written in the header's orientation),
// or a fresh header when `header` is null; or PNG through the output's
// encoder.  Written beside and renamed into place.
// False with the reason.
[[nodiscard]] bool WritePicture(const std::string& path, const PairOutput& output, const Picture& picture,
                                const BitmapInfoHeader* header, std::string* error);

// Compares the pair the request names by `options` (ignored by RawRows).
[[nodiscard]] PairResult ComparePair(const PairRequest& request, const CompareOptions& options);

}  // namespace diffmark
