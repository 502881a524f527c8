// Perceptual comparison of two pictures of one size: a pixel differs when its
// colour distance exceeds a threshold, and, on request, a differing pixel
// that looks like anti-aliasing in either picture is told apart.  The
// results agree with pixelmatch: Metric::Yiq with its 7.x releases (YIQ
// distance), Metric::Oklab with 8.0 (OKLab HyAB distance).
//
// The functions work on bands of rows, so that a caller that streams a large
// image in chunks classifies and paints each band in one pass.
#pragma once

#include <cstdint>

#include "compare/picture.h"

namespace diffmark {

enum class Metric : uint8_t {
  Channel,  // per colour byte: some byte more than channelThreshold apart
  Yiq,      // YIQ distance of pixelmatch 7.x
  Oklab,    // OKLab HyAB distance of pixelmatch 8.x
};

// Rows above and below a pixel that the anti-aliasing rule reads: the pixel's
// 3 x 3 neighbourhood, and each neighbour's own neighbourhood.
inline constexpr int32_t kAntialiasContextRows = 2;

// The threshold each metric uses when none is given.
inline constexpr double kDefaultPerceptualThreshold = 0.1;

struct PerceptualSettings {
  Metric metric = Metric::Yiq;
  double threshold = kDefaultPerceptualThreshold;  // 0 to 1; 1 is black against white
  bool antialiasing = false;  // tell anti-aliased pixels apart instead of counting them
  int channelThreshold = 0;   // Metric::Channel: a byte differs when more than this apart
};

// Rows [first, first + rows.height) of an image `imageHeight` rows high;
// rows.Row(i) is image row first + i.  A whole picture is one band.
struct Band {
  Picture rows;
  int32_t first = 0;
  int32_t imageHeight = 0;
};

inline Band WholePicture(const Picture& picture) { return Band{picture, 0, picture.height}; }

// Verdict per pixel, one byte each.
enum PixelClass : uint8_t {
  kPixelSame = 0,         // within the threshold
  kPixelLighter = 1,      // differs; the other picture is as bright or brighter
  kPixelDarker = 2,       // differs; the other picture is darker
  kPixelAntialiased = 3,  // over the threshold, but anti-aliasing in either picture
};

struct PerceptualCounts {
  uint64_t differing = 0;    // pixels over the threshold, anti-aliasing left out
  uint64_t antialiased = 0;  // pixels over the threshold taken for anti-aliasing
  // Box of the differing pixels (anti-aliased ones not included);
  // right < left while there is none.
  int32_t left = INT32_MAX;
  int32_t top = INT32_MAX;
  int32_t right = -1;
  int32_t bottom = -1;
};

void MergeCounts(PerceptualCounts* into, const PerceptualCounts& part);

// Called once per classified row, in order.  `classes` holds `width` bytes of
// PixelClass, or is null when no pixel of the row is over the threshold.
using RowSink = void (*)(void* context, int32_t y, const uint8_t* classes, int32_t width);

// Classifies image rows [fromRow, toRow).  Both bands must hold rows
// fromRow - kAntialiasContextRows to toRow - 1 + kAntialiasContextRows (clamped
// to the image) when settings.antialiasing is on, else rows [fromRow, toRow).
// Adds to *counts; calls sink (may be null) per row.  False, with nothing
// counted, when the pictures' widths or image heights differ, a needed row
// is missing, or memory runs out.
[[nodiscard]] bool ClassifyRows(const PerceptualSettings& settings, const Band& base, const Band& other,
                                int32_t fromRow, int32_t toRow, PerceptualCounts* counts, RowSink sink,
                                void* context);

// Colours of the overlay picture (red, green, blue as given on the command line).
struct OverlayColours {
  uint8_t differ[3] = {255, 0, 0};
  uint8_t darker[3] = {255, 0, 0};  // pixels darker in the other picture
  uint8_t antialiased[3] = {255, 255, 0};
  double alpha = 0.1;  // 0 white to 1 the base's full brightness, for equal pixels
};

// Paints one overlay row of `width` pixels: equal pixels as a faded grey of
// the base row, the rest in their class's colour.  `classes` may be null
// (no pixel differs).  baseRow and outRow are blue, green, red bytes; they may
// be the same row (painting in place).
void PaintOverlayRow(const OverlayColours& colours, const uint8_t* baseRow, const uint8_t* classes,
                     int32_t width, uint8_t* outRow);

// Classifies rows [fromRow, toRow) as ClassifyRows does and paints them into
// `out`, a band of the same image that holds those rows.  `out` may be the
// base band itself (painting in place) only with antialiasing off: the
// anti-aliasing rule reads base rows around each pixel.
[[nodiscard]] bool OverlayRows(const PerceptualSettings& settings, const OverlayColours& colours,
                               const Band& base, const Band& other, int32_t fromRow, int32_t toRow,
                               const Band& out, PerceptualCounts* counts);

// The per-pixel distances, for tests and reports.  Colours are red, green,
// blue.  Distances carry pixelmatch's sign: negative when the second colour
// is darker.  YiqDelta is the squared YIQ distance; a pixel counts when its
// absolute value exceeds PerceptualLimit (35215 t^2).  OklabDelta is the
// HyAB distance |dL| + sqrt(da^2 + db^2) (L with the toe, Lr); a pixel
// counts when it exceeds t, decided as pixelmatch 8 does without the root
// (|dL| > t or da^2 + db^2 > (t - |dL|)^2), which can differ from comparing
// this value in the last bit.
double YiqDelta(const uint8_t first[3], const uint8_t second[3]);
double OklabDelta(const uint8_t first[3], const uint8_t second[3]);
double PerceptualLimit(Metric metric, double threshold);
// The grey of an equal pixel in the overlay.
uint8_t OverlayGrey(const uint8_t rgb[3], double alpha);

}  // namespace diffmark
