// Marking differing channel bytes.  This pass runs over two whole images,
// so it is written to move at memory speed: 64 bytes are compared at a time
// and only a group that differs somewhere is blended and stored.
#include <algorithm>
#include <cstring>

#include "app/difference.h"

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#define DIFFMARK_SSE2 1
#include <emmintrin.h>
#endif

namespace diffmark {

namespace {

constexpr uint8_t kMarker[3] = {kMarkerBlue, kMarkerGreen, kMarkerRed};

// Marks n bytes of one row whose first byte is a pixel's blue byte.
void MarkRowScalar(uint8_t* base, const uint8_t* other, uint64_t n, uint64_t phase) {
  for (uint64_t i = 0; i < n; ++i) {
    if (base[i] != other[i]) base[i] = kMarker[(i + phase) % 3];
  }
}

#if DIFFMARK_SSE2

// The marker bytes as they fall in a 16-byte vector that starts at a byte
// whose place in its pixel is `phase`.
struct MarkerVectors {
  __m128i at[3];
  MarkerVectors() {
    for (int phase = 0; phase < 3; ++phase) {
      alignas(16) uint8_t bytes[16];
      for (int i = 0; i < 16; ++i) bytes[i] = kMarker[(i + phase) % 3];
      at[phase] = _mm_load_si128(reinterpret_cast<const __m128i*>(bytes));
    }
  }
};

inline __m128i Load(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

// Re-marking a byte that is already marked is harmless: it now equals the
// other image (left alone) or still differs (marked again with the same
// value).  That lets the last vector of a row overlap the one before it.
inline void Blend16(uint8_t* base, const uint8_t* other, __m128i marker) {
  const __m128i a = Load(base);
  const __m128i equal = _mm_cmpeq_epi8(a, Load(other));
  if (_mm_movemask_epi8(equal) == 0xFFFF) return;
  const __m128i mixed = _mm_or_si128(_mm_and_si128(equal, a), _mm_andnot_si128(equal, marker));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(base), mixed);
}

void MarkRow(uint8_t* base, const uint8_t* other, uint64_t n, const MarkerVectors& m) {
  if (n < 16) {
    MarkRowScalar(base, other, n, 0);
    return;
  }
  uint64_t i = 0;
  for (; i + 64 <= n; i += 64) {
    const __m128i e0 = _mm_cmpeq_epi8(Load(base + i), Load(other + i));
    const __m128i e1 = _mm_cmpeq_epi8(Load(base + i + 16), Load(other + i + 16));
    const __m128i e2 = _mm_cmpeq_epi8(Load(base + i + 32), Load(other + i + 32));
    const __m128i e3 = _mm_cmpeq_epi8(Load(base + i + 48), Load(other + i + 48));
    const __m128i all = _mm_and_si128(_mm_and_si128(e0, e1), _mm_and_si128(e2, e3));
    if (_mm_movemask_epi8(all) == 0xFFFF) continue;
    const uint64_t p = i % 3;  // 16 = 1 (mod 3): each vector is one phase on
    Blend16(base + i, other + i, m.at[p]);
    Blend16(base + i + 16, other + i + 16, m.at[(p + 1) % 3]);
    Blend16(base + i + 32, other + i + 32, m.at[(p + 2) % 3]);
    Blend16(base + i + 48, other + i + 48, m.at[p]);
  }
  for (; i + 16 <= n; i += 16) Blend16(base + i, other + i, m.at[i % 3]);
  if (i < n) {
    const uint64_t last = n - 16;
    Blend16(base + last, other + last, m.at[last % 3]);
  }
}

#endif

template <typename RowFn>
void ForEachRow(uint8_t* base, uint64_t baseBytes, const uint8_t* other, uint64_t otherBytes,
                int32_t width, int32_t height, RowFn&& row) {
  if (width <= 0 || height <= 0) return;
  const uint64_t limit = std::min(baseBytes, otherBytes);
  const auto stride = static_cast<uint64_t>(Rgb24Stride64(width));
  const uint64_t pixelBytes = 3 * static_cast<uint64_t>(width);
  for (uint64_t y = 0; y < static_cast<uint64_t>(height); ++y) {
    const uint64_t start = y * stride;
    if (start >= limit) break;
    row(base + start, other + start, std::min(pixelBytes, limit - start));
  }
}

}  // namespace

void MarkDifferencesReference(uint8_t* base, uint64_t baseBytes, const uint8_t* other,
                              uint64_t otherBytes, int32_t width, int32_t height) {
  ForEachRow(base, baseBytes, other, otherBytes, width, height,
             [](uint8_t* b, const uint8_t* o, uint64_t n) { MarkRowScalar(b, o, n, 0); });
}

void MarkDifferences(uint8_t* base, uint64_t baseBytes, const uint8_t* other, uint64_t otherBytes,
                     int32_t width, int32_t height) {
#if DIFFMARK_SSE2
  static const MarkerVectors markers;
  ForEachRow(base, baseBytes, other, otherBytes, width, height,
             [](uint8_t* b, const uint8_t* o, uint64_t n) { MarkRow(b, o, n, markers); });
#else
  MarkDifferencesReference(base, baseBytes, other, otherBytes, width, height);
#endif
}

}  // namespace diffmark
