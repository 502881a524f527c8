// Comparing two pictures row by row.  Each row is split into the spans
// that no ignored region covers; a span is scanned 64 bytes at a time for
// bytes that differ by more than the threshold, and only where some do are
// the bytes looked at one by one (counted, and their pixels noted for
// marking).  Pixels are painted only after their row has been scanned, so
// a painted pixel is never compared again.
#include "compare/compare.h"

#include <algorithm>

#include "compare/kernels.h"
#include "compare/modes.h"

namespace diffmark {

namespace {

struct Span {
  int32_t from;
  int32_t to;  // exclusive
};

// The parts of [from, to) on row y that no ignored region covers.
void IncludedSpans(const std::vector<Region>& ignore, int32_t y, int32_t from, int32_t to,
                   std::vector<Span>& out) {
  out.clear();
  if (from >= to) return;
  if (ignore.empty()) {
    out.push_back({from, to});
    return;
  }
  std::vector<Span> cut;
  for (const Region& r : ignore) {
    if (y < r.y || y - r.y >= r.height) continue;
    const int64_t a = std::max<int64_t>(r.x, from);
    const int64_t b = std::min<int64_t>(r.x + r.width, to);
    if (a < b) cut.push_back({static_cast<int32_t>(a), static_cast<int32_t>(b)});
  }
  std::sort(cut.begin(), cut.end(), [](const Span& p, const Span& q) { return p.from < q.from; });
  int32_t at = from;
  for (const Span& c : cut) {
    if (c.from > at) out.push_back({at, c.from});
    at = std::max(at, c.to);
  }
  if (at < to) out.push_back({at, to});
}

void NoteBox(Stats& s, int32_t x0, int32_t x1, int32_t y) {  // pixels [x0, x1] of row y
  if (s.differentPixels == 0) {
    s.minX = x0;
    s.maxX = x1;
    s.minY = y;
    s.maxY = y;
    return;
  }
  s.minX = std::min(s.minX, x0);
  s.maxX = std::max(s.maxX, x1);
  s.minY = std::min(s.minY, y);
  s.maxY = std::max(s.maxY, y);
}

// Scans bytes [0, n) of a span (which starts at a pixel boundary) and
// hands every differing byte to `onByte(byteIndex)`, in order.
template <typename OnByte>
void ScanSpan(const uint8_t* a, const uint8_t* b, uint64_t n, int threshold, OnByte&& onByte) {
  const auto differ64 = BestKernels().differ64;
  uint64_t at = 0;
  for (; at + 64 <= n; at += 64) {
    uint64_t mask = differ64(a + at, b + at, threshold);
    while (mask != 0) {
      onByte(at + static_cast<uint64_t>(__builtin_ctzll(mask)));
      mask &= mask - 1;
    }
  }
  if (at < n) {
    uint64_t mask = DifferTail(a + at, b + at, n - at, threshold);
    while (mask != 0) {
      onByte(at + static_cast<uint64_t>(__builtin_ctzll(mask)));
      mask &= mask - 1;
    }
  }
}

}  // namespace

void AddStats(Stats& total, const Stats& more) {
  if (more.differentPixels > 0) {
    if (total.differentPixels == 0) {
      total.minX = more.minX;
      total.maxX = more.maxX;
      total.minY = more.minY;
      total.maxY = more.maxY;
    } else {
      total.minX = std::min(total.minX, more.minX);
      total.maxX = std::max(total.maxX, more.maxX);
      total.minY = std::min(total.minY, more.minY);
      total.maxY = std::max(total.maxY, more.maxY);
    }
  }
  total.pixels += more.pixels;
  total.differentPixels += more.differentPixels;
  total.differentBytes += more.differentBytes;
  for (int c = 0; c < 3; ++c) total.perChannel[c] += more.perChannel[c];
}

Stats ComparePictures(const Picture& base, const Picture& other, const CompareOptions& options,
                      int32_t firstRow) {
  Stats s;
  const int32_t sharedWidth = std::min(base.width, other.width);
  const int32_t sharedHeight = std::min(base.height, other.height);
  const int32_t rows = std::max(base.height, other.height);
  const ModeInfo& mode = InfoOf(options.mode);
  // Channels marks each differing byte as the scan finds it: one pass.
  const bool markInScan = mode.marksBytesInScan;

  std::vector<Span> spans;
  std::vector<int32_t> changed;  // differing pixels of the row that both pictures cover
  std::vector<int32_t> outside;  // base pixels of the row that `other` does not cover

  for (int32_t y = 0; y < rows; ++y) {
    const int32_t at = firstRow + y;  // the row in the whole picture
    changed.clear();
    outside.clear();
    const bool inBase = y < base.height;
    const bool inOther = y < other.height;
    uint8_t* baseRow = inBase ? base.Row(y) : nullptr;

    if (y < sharedHeight) {
      const uint8_t* otherRow = other.Row(y);
      IncludedSpans(options.ignore, at, 0, sharedWidth, spans);
      for (const Span& span : spans) {
        s.pixels += static_cast<uint64_t>(span.to - span.from);
        uint8_t* a = baseRow + 3 * int64_t{span.from};
        const uint8_t* b = otherRow + 3 * int64_t{span.from};
        const uint64_t n = 3 * static_cast<uint64_t>(span.to - span.from);
        const size_t before = changed.size();
        int64_t lastPixel = -1;
        ScanSpan(a, b, n, options.threshold, [&](uint64_t i) {
          const uint64_t channel = i % 3;
          ++s.differentBytes;
          ++s.perChannel[channel];
          const auto pixel = static_cast<int64_t>(i / 3);
          if (pixel != lastPixel) {
            lastPixel = pixel;
            changed.push_back(span.from + static_cast<int32_t>(pixel));
          }
          if (markInScan) a[i] = kMarker[channel];
        });
        if (changed.size() > before) {
          NoteBox(s, changed[before], changed.back(), at);
          s.differentPixels += changed.size() - before;
        }
      }
    }

    // Pixels only one picture covers: on this row, from the end of the
    // shared part (or the start, below it) to the wider of the two.
    const int32_t from = y < sharedHeight ? sharedWidth : 0;
    const int32_t to = std::max(inBase ? base.width : 0, inOther ? other.width : 0);
    IncludedSpans(options.ignore, at, from, to, spans);
    for (const Span& span : spans) {
      const auto n = static_cast<uint64_t>(span.to - span.from);
      NoteBox(s, span.from, span.to - 1, at);
      s.pixels += n;
      s.differentPixels += n;
      s.differentBytes += 3 * n;
      for (uint64_t& c : s.perChannel) c += n;
      if (inBase) {
        for (int32_t x = span.from; x < std::min(span.to, base.width); ++x) outside.push_back(x);
      }
    }

    if (!inBase) continue;
    const RowMarks marks{changed.data(), changed.size(), outside.data(), outside.size()};
    mode.paintRow(baseRow, base.width, marks, options);
  }
  return s;
}

}  // namespace diffmark
