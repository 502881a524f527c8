// Comparing two pictures row by row.  Each row is split into the spans
// that no ignored region covers; a span is scanned 64 bytes at a time for
// bytes that differ by more than the threshold, and only where some do are
// the bytes looked at one by one (counted, and their pixels noted for
// marking).  Pixels are painted only after their row has been scanned, so
// a painted pixel is never compared again.
#include "cli/compare.h"

#include <algorithm>

#include "app/difference.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#include <immintrin.h>
#endif

namespace diffmark::cli {

namespace {

constexpr uint8_t kMarker[3] = {kMarkerBlue, kMarkerGreen, kMarkerRed};

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

// Bits set for the bytes of [at, at + 16) that differ by more than the
// threshold (bit i for byte at + i).
#if defined(__SSE2__)
inline uint32_t Differ16(const uint8_t* a, const uint8_t* b, __m128i threshold) {
  const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a));
  const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b));
  const __m128i distance = _mm_or_si128(_mm_subs_epu8(va, vb), _mm_subs_epu8(vb, va));
  const __m128i over = _mm_subs_epu8(distance, threshold);  // non-zero where distance > threshold
  return ~static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(over, _mm_setzero_si128()))) & 0xFFFFu;
}

// The same for 64 bytes.
inline uint64_t Differ64Sse2(const uint8_t* a, const uint8_t* b, int threshold) {
  const __m128i t = _mm_set1_epi8(static_cast<char>(threshold));
  return Differ16(a, b, t) | uint64_t{Differ16(a + 16, b + 16, t)} << 16 |
         uint64_t{Differ16(a + 32, b + 32, t)} << 32 | uint64_t{Differ16(a + 48, b + 48, t)} << 48;
}
#endif

#if defined(__SSE2__) && defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define DIFFMARK_CLI_AVX2 1
// 64 bytes in two AVX2 vectors; with threshold 0 a plain comparison.
__attribute__((target("avx2"))) uint64_t Differ64Avx2(const uint8_t* a, const uint8_t* b, int threshold) {
  const __m256i a0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a));
  const __m256i b0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b));
  const __m256i a1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + 32));
  const __m256i b1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + 32));
  __m256i same0;
  __m256i same1;
  if (threshold == 0) {
    same0 = _mm256_cmpeq_epi8(a0, b0);
    same1 = _mm256_cmpeq_epi8(a1, b1);
  } else {
    const __m256i t = _mm256_set1_epi8(static_cast<char>(threshold));
    const __m256i zero = _mm256_setzero_si256();
    const __m256i d0 = _mm256_or_si256(_mm256_subs_epu8(a0, b0), _mm256_subs_epu8(b0, a0));
    const __m256i d1 = _mm256_or_si256(_mm256_subs_epu8(a1, b1), _mm256_subs_epu8(b1, a1));
    same0 = _mm256_cmpeq_epi8(_mm256_subs_epu8(d0, t), zero);
    same1 = _mm256_cmpeq_epi8(_mm256_subs_epu8(d1, t), zero);
  }
  const auto low = static_cast<uint32_t>(_mm256_movemask_epi8(same0));
  const auto high = static_cast<uint32_t>(_mm256_movemask_epi8(same1));
  return ~(uint64_t{low} | uint64_t{high} << 32);
}
#endif

inline uint64_t DifferScalar(const uint8_t* a, const uint8_t* b, uint64_t n, int threshold) {
  uint64_t mask = 0;
  for (uint64_t i = 0; i < n; ++i) {
    const int d = a[i] > b[i] ? a[i] - b[i] : b[i] - a[i];
    if (d > threshold) mask |= uint64_t{1} << i;
  }
  return mask;
}

using Differ64 = uint64_t (*)(const uint8_t*, const uint8_t*, int);

// The fastest 64-byte test the processor has; null: bytes one by one.
Differ64 BestDiffer64() {
#if DIFFMARK_CLI_AVX2
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) return Differ64Avx2;
#endif
#if defined(__SSE2__)
  return Differ64Sse2;
#else
  return nullptr;
#endif
}

// Scans bytes [0, n) of a span (which starts at a pixel boundary) and
// hands every differing byte to `onByte(byteIndex)`, in order.
template <typename OnByte>
void ScanSpan(const uint8_t* a, const uint8_t* b, uint64_t n, int threshold, OnByte&& onByte) {
  static const Differ64 differ64 = BestDiffer64();
  uint64_t at = 0;
  if (differ64 != nullptr) {
    for (; at + 64 <= n; at += 64) {
      uint64_t mask = differ64(a + at, b + at, threshold);
      while (mask != 0) {
        onByte(at + static_cast<uint64_t>(__builtin_ctzll(mask)));
        mask &= mask - 1;
      }
    }
  }
  for (; at < n; at += 64) {
    const uint64_t count = std::min<uint64_t>(64, n - at);
    uint64_t mask = DifferScalar(a + at, b + at, count, threshold);
    while (mask != 0) {
      onByte(at + static_cast<uint64_t>(__builtin_ctzll(mask)));
      mask &= mask - 1;
    }
  }
}

void Paint(uint8_t* row, int32_t x, const uint8_t (&colour)[3]) {
  uint8_t* p = row + 3 * int64_t{x};
  p[0] = colour[0];
  p[1] = colour[1];
  p[2] = colour[2];
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
  const bool channels = options.mode == Mode::Channels;
  const bool markInScan = channels && options.threshold > 0;

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
          if (channels && !markInScan) {
            const auto width = span.to - span.from;
            MarkDifferences(a, n, b, n, width, 1);
          }
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
    switch (options.mode) {
      case Mode::Channels:
        for (int32_t x : outside) Paint(baseRow, x, kMarker);
        break;
      case Mode::Pixels:
        for (int32_t x : changed) Paint(baseRow, x, options.colour);
        for (int32_t x : outside) Paint(baseRow, x, options.colour);
        break;
      case Mode::Mask:
        std::fill(baseRow, baseRow + 3 * int64_t{base.width}, uint8_t{0});
        for (int32_t x : changed) Paint(baseRow, x, options.colour);
        for (int32_t x : outside) Paint(baseRow, x, options.colour);
        break;
    }
  }
  return s;
}

}  // namespace diffmark::cli
