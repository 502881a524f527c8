// Comparing two decoded pictures for diffmark-cli: counts, the bounding box
// of what differs, and the marked copy of the base picture, by mode,
// threshold and ignored regions.  A pure function over memory; the program
// around it does the I/O.
#pragma once

#include <cstdint>
#include <vector>

#include "compare/picture.h"

namespace diffmark::cli {

using diffmark::Picture;

enum class Mode { Channels, Pixels, Mask };

// A rectangle in picture coordinates, top-left origin.
struct Region {
  int64_t x = 0;
  int64_t y = 0;
  int64_t width = 0;
  int64_t height = 0;
};

struct CompareOptions {
  Mode mode = Mode::Channels;
  int threshold = 0;                  // a byte differs when |a - b| > threshold
  uint8_t colour[3] = {0, 0, 255};    // blue, green, red: what pixels and mask paint
  std::vector<Region> ignore;         // neither compared, counted nor marked
};

struct Stats {
  uint64_t pixels = 0;            // pixels looked at (not ignored)
  uint64_t differentPixels = 0;
  uint64_t differentBytes = 0;
  uint64_t perChannel[3] = {};    // differing bytes: blue, green, red
  // Bounding box of the differing pixels, top-left origin; valid when
  // differentPixels > 0.
  int32_t minX = 0, minY = 0, maxX = 0, maxY = 0;
};

// Compares `base` with `other` over the area both cover (anchored at the
// top-left corner); pixels that only one of them covers count as
// differing.  Marks `base` in place by the mode:
//   Channels  every differing byte gets its channel's marker (blue 255,
//             green 0, red 255), as the difference run marks them; with
//             threshold 0 through the same MarkDifferences;
//   Pixels    every differing pixel is painted whole in `colour`;
//   Mask      the picture becomes black, with differing pixels in `colour`.
// Base pixels outside `other` are marked as differing; ignored regions are
// left as they are (black in a mask).
//
// `firstRow` > 0 compares a band: the two pictures are then rows
// [firstRow, firstRow + height) of two larger pictures of their (equal)
// size, and regions and the bounding box are in the larger pictures'
// coordinates.
Stats ComparePictures(const Picture& base, const Picture& other, const CompareOptions& options,
                      int32_t firstRow = 0);

// Adds the counts of `more` to `total` and widens its bounding box.
void AddStats(Stats& total, const Stats& more);

}  // namespace diffmark::cli
