#include "compare/modes.h"

#include <algorithm>

#include "compare/kernels.h"

namespace diffmark {

namespace {

void Paint(uint8_t* row, int32_t x, const uint8_t (&colour)[3]) {
  uint8_t* p = row + 3 * int64_t{x};
  p[0] = colour[0];
  p[1] = colour[1];
  p[2] = colour[2];
}

void PaintEach(uint8_t* row, const int32_t* xs, size_t count, const uint8_t (&colour)[3]) {
  for (size_t i = 0; i < count; ++i) Paint(row, xs[i], colour);
}

// Channels: the differing bytes were marked during the scan; the base
// pixels the other picture does not cover get the whole marker.
void PaintChannels(uint8_t* row, int32_t, const RowMarks& m, const CompareOptions&) {
  PaintEach(row, m.outside, m.outsideCount, kMarker);
}

void PaintPixels(uint8_t* row, int32_t, const RowMarks& m, const CompareOptions& o) {
  PaintEach(row, m.changed, m.changedCount, o.colour);
  PaintEach(row, m.outside, m.outsideCount, o.colour);
}

void PaintMask(uint8_t* row, int32_t width, const RowMarks& m, const CompareOptions& o) {
  std::fill(row, row + 3 * int64_t{width}, uint8_t{0});
  PaintPixels(row, width, m, o);
}

// Grey of the base for every pixel, then the differing ones in their colours.
void PaintOverlay(uint8_t* row, int32_t width, const RowMarks& m, const CompareOptions& o) {
  OverlayColours colours;
  colours.alpha = o.alpha;
  PaintOverlayRow(colours, row, nullptr, width, row);
  PaintEach(row, m.antialiased, m.antialiasedCount, o.aaColour);
  PaintPixels(row, width, m, o);
}

constexpr MetricInfo kMetrics[] = {
    {Metric::Channel, "channel", "a pixel differs when some channel byte is more than THRESHOLD apart (0-255)",
     true, 255, 0},
    {Metric::Yiq, "yiq", "the YIQ colour distance of pixelmatch 7 (Playwright), THRESHOLD 0-1", false, 1,
     kDefaultPerceptualThreshold},
    {Metric::Oklab, "oklab", "the OKLab HyAB distance of pixelmatch 8, THRESHOLD 0-1", false, 1,
     kDefaultPerceptualThreshold},
};

constexpr ModeInfo kModes[] = {
    {Mode::Channels, "channels", "every differing channel byte gets its marker (blue 255, green 0, red 255)",
     {kMarkerBlue, kMarkerGreen, kMarkerRed}, true, PaintChannels},
    {Mode::Pixels, "pixels", "every differing pixel painted in --color", {0, 0, 255}, false, PaintPixels},
    {Mode::Mask, "mask", "differing pixels in --color, all else black", {kMarkerBlue, kMarkerGreen, kMarkerRed},
     false, PaintMask},
    {Mode::Overlay, "overlay",
     "equal pixels a faded grey of the base (--alpha), differing ones in --color,\nanti-aliased ones in --aa-color",
     {0, 0, 255}, false, PaintOverlay},
};

}  // namespace

std::span<const MetricInfo> Metrics() { return kMetrics; }
std::span<const ModeInfo> Modes() { return kModes; }

const MetricInfo& InfoOf(Metric metric) {
  for (const MetricInfo& m : kMetrics) {
    if (m.metric == metric) return m;
  }
  return kMetrics[0];
}

const ModeInfo& InfoOf(Mode mode) {
  for (const ModeInfo& m : kModes) {
    if (m.mode == mode) return m;
  }
  return kModes[0];
}

const MetricInfo* FindMetric(std::string_view name) {
  for (const MetricInfo& m : kMetrics) {
    if (name == m.name) return &m;
  }
  return nullptr;
}

const ModeInfo* FindMode(std::string_view name) {
  for (const ModeInfo& m : kModes) {
    if (name == m.name) return &m;
  }
  return nullptr;
}

}  // namespace diffmark
