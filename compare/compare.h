// Comparing two decoded pictures: the options, the counts and the box of
// what differs, and the marking of the base picture in place.  A pure
// function over memory; loading and writing are elsewhere (pair.h).
#pragma once

#include <cstdint>
#include <vector>

#include "compare/clusters.h"
#include "compare/perceptual.h"  // Metric
#include "compare/picture.h"

namespace diffmark {

// How the base picture is marked (the table in modes.cpp).
enum class Mode {
  Channels,  // every differing channel byte gets its marker (kernels.h)
  Pixels,    // every differing pixel painted whole in `colour`
  Mask,      // the picture black, differing pixels in `colour`
  Overlay,   // equal pixels a faded grey of the base, differing ones in
             // `colour`, anti-aliased ones in `aaColour` (pixelmatch's picture)
};

// A rectangle in picture coordinates, top-left origin.
struct Region {
  int64_t x = 0;
  int64_t y = 0;
  int64_t width = 0;
  int64_t height = 0;
};

struct CompareOptions {
  Metric metric = Metric::Channel;
  int threshold = 0;                   // Channel: a byte differs when |a - b| > threshold
  double perceptualThreshold = kDefaultPerceptualThreshold;  // Yiq, Oklab: 0 to 1
  bool antialiasing = false;           // anti-aliased pixels are told apart, not counted
  Mode mode = Mode::Channels;
  uint8_t colour[3] = {0, 0, 255};     // blue, green, red: what Pixels, Mask and Overlay paint
  uint8_t aaColour[3] = {0, 255, 255}; // blue, green, red: anti-aliased pixels in Overlay
  double alpha = 0.1;                  // Overlay: 0 white to 1 the base's own brightness
  std::vector<Region> ignore;          // neither compared, counted nor marked
  // Threads one comparison of whole pictures may use where the perceptual
  // path (or anti-aliasing) is taken and the pictures are large.
  unsigned threads = 1;
  // Whether Stats::largest is found (where the caller reports it: on noise
  // it costs about as much as the comparison).
  bool largestCluster = false;
};

struct Stats {
  uint64_t pixels = 0;            // pixels looked at (not ignored)
  uint64_t differentPixels = 0;
  uint64_t differentBytes = 0;
  uint64_t perChannel[3] = {};    // differing bytes: blue, green, red
  uint64_t antialiasedPixels = 0; // over the threshold but anti-aliasing: not in differentPixels
  // Bounding box of the differing pixels, top-left origin; valid when
  // differentPixels > 0.
  int32_t minX = 0, minY = 0, maxX = 0, maxY = 0;
  // The largest group of differing pixels that touch, within the part
  // both pictures cover, where the options ask for it; of a whole picture
  // only (a band's scan goes to the caller's ClusterScan instead, and
  // AddStats leaves it alone).
  Cluster largest;
};

// Compares `base` with `other` over the area both cover (anchored at the
// top-left corner); pixels that only one of them covers count as
// differing.  Marks `base` in place by the mode (modes.cpp says how);
// base pixels outside `other` are marked as differing, ignored regions are
// left as they are (black in a mask).
//
// `firstRow` > 0 compares a band: the two pictures are then rows
// [firstRow, firstRow + height) of two larger pictures of their (equal)
// size, and regions and the bounding box are in the larger pictures'
// coordinates.
// With `clusters`, the rows' differing pixels go to that scan (a band of
// a larger picture); without, `largest` is this picture's.
Stats ComparePictures(const Picture& base, const Picture& other, const CompareOptions& options,
                      int32_t firstRow = 0, ClusterScan* clusters = nullptr);

// The same for rows [fromRow, toRow) of two bands of one image of equal
// size in both (a streamed chunk): where the metric or anti-aliasing needs
// neighbouring rows, the bands hold kAntialiasContextRows more on each side
// (clamped to the image), which are read but neither counted nor marked.
Stats CompareBands(const Band& base, const Band& other, int32_t fromRow, int32_t toRow,
                   const CompareOptions& options, ClusterScan* clusters = nullptr);

// Whether the options compare pixel by pixel alone (no neighbouring rows).
[[nodiscard]] bool ComparesPixelsAlone(const CompareOptions& options);

// The pixels of a width x height picture that no ignored region covers.
[[nodiscard]] uint64_t IncludedPixels(const std::vector<Region>& ignore, int32_t width, int32_t height);

// Adds the counts of `more` to `total` and widens its bounding box.
void AddStats(Stats& total, const Stats& more);

}  // namespace diffmark
