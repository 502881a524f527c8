// The comparison's inner loops, in one set per instruction level.
//
// Marking runs over two whole images, so it is written to move at memory
// speed: 64 bytes (SSE2) or 128 bytes (AVX2) are compared at a time, and
// only a group that differs somewhere is blended and stored.  The 64-byte
// test tells which bytes of a group are more than a threshold apart, for
// the comparison that counts and marks by mode.
//
// Every byte's channel is its offset from the row start modulo 3, so each
// vector uses the marker pattern of its starting phase.  Re-marking a byte
// that is already marked is harmless (it now equals the other image and is
// left alone, or still differs and gets the same marker again), so the
// last vector of a row may overlap the one before it.
#include <algorithm>

#include "compare/kernels.h"

#include <diffmark/bitmap.h>

#if defined(__SSE2__)
#define DIFFMARK_SSE2 1
#include <emmintrin.h>
#endif
#if DIFFMARK_SSE2 && defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define DIFFMARK_AVX2 1
#include <immintrin.h>
#endif

namespace diffmark {

namespace {

// Bytes [from, n) of a row.
void MarkRangeScalar(uint8_t* base, const uint8_t* other, uint64_t from, uint64_t n) {
  for (uint64_t i = from; i < n; ++i) {
    if (base[i] != other[i]) base[i] = kMarker[i % 3];
  }
}

#if DIFFMARK_SSE2

struct Markers128 {
  __m128i at[3];  // the marker bytes of a vector starting at phase 0, 1, 2
  Markers128() {
    for (int phase = 0; phase < 3; ++phase) {
      alignas(16) uint8_t bytes[16];
      for (int i = 0; i < 16; ++i) bytes[i] = kMarker[(i + phase) % 3];
      at[phase] = _mm_load_si128(reinterpret_cast<const __m128i*>(bytes));
    }
  }
};

inline __m128i Load(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

inline __m128i Blend(__m128i a, __m128i equal, __m128i marker) {
  return _mm_or_si128(_mm_and_si128(equal, a), _mm_andnot_si128(equal, marker));
}

inline void Mark16(uint8_t* base, const uint8_t* other, uint64_t at, const Markers128& m) {
  const __m128i a = Load(base + at);
  const __m128i equal = _mm_cmpeq_epi8(a, Load(other + at));
  if (_mm_movemask_epi8(equal) == 0xFFFF) return;
  _mm_storeu_si128(reinterpret_cast<__m128i*>(base + at), Blend(a, equal, m.at[at % 3]));
}

// Bytes [from, n) of a row.
void MarkRangeSse2(uint8_t* base, const uint8_t* other, uint64_t from, uint64_t n, const Markers128& m) {
  if (n < 16) {
    MarkRangeScalar(base, other, from, n);
    return;
  }
  uint64_t i = from;
  for (; i + 64 <= n; i += 64) {
    const __m128i a0 = Load(base + i), a1 = Load(base + i + 16);
    const __m128i a2 = Load(base + i + 32), a3 = Load(base + i + 48);
    const __m128i e0 = _mm_cmpeq_epi8(a0, Load(other + i));
    const __m128i e1 = _mm_cmpeq_epi8(a1, Load(other + i + 16));
    const __m128i e2 = _mm_cmpeq_epi8(a2, Load(other + i + 32));
    const __m128i e3 = _mm_cmpeq_epi8(a3, Load(other + i + 48));
    const __m128i all = _mm_and_si128(_mm_and_si128(e0, e1), _mm_and_si128(e2, e3));
    if (_mm_movemask_epi8(all) == 0xFFFF) continue;
    const uint64_t p = i % 3;  // 16 = 1 (mod 3)
    auto* out = reinterpret_cast<__m128i*>(base + i);
    _mm_storeu_si128(out + 0, Blend(a0, e0, m.at[p]));
    _mm_storeu_si128(out + 1, Blend(a1, e1, m.at[(p + 1) % 3]));
    _mm_storeu_si128(out + 2, Blend(a2, e2, m.at[(p + 2) % 3]));
    _mm_storeu_si128(out + 3, Blend(a3, e3, m.at[p]));
  }
  for (; i + 16 <= n; i += 16) Mark16(base, other, i, m);
  if (i < n) Mark16(base, other, n - 16, m);  // overlaps: see the top of the file
}

const Markers128& Sse2Markers() {
  static const Markers128 markers;
  return markers;
}

#endif

#if DIFFMARK_AVX2

struct Markers256 {
  __m256i at[3];
};

__attribute__((target("avx2"))) Markers256 MakeMarkers256() {
  Markers256 m;
  for (int phase = 0; phase < 3; ++phase) {
    alignas(32) uint8_t bytes[32];
    for (int i = 0; i < 32; ++i) bytes[i] = kMarker[(i + phase) % 3];
    m.at[phase] = _mm256_load_si256(reinterpret_cast<const __m256i*>(bytes));
  }
  return m;
}

__attribute__((target("avx2"))) inline __m256i Load256(const uint8_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

__attribute__((target("avx2"))) void MarkRowAvx2(uint8_t* base, const uint8_t* other, uint64_t n,
                                                 const Markers256& m, const Markers128& m16) {
  uint64_t i = 0;
  for (; i + 128 <= n; i += 128) {
    const __m256i a0 = Load256(base + i), a1 = Load256(base + i + 32);
    const __m256i a2 = Load256(base + i + 64), a3 = Load256(base + i + 96);
    const __m256i e0 = _mm256_cmpeq_epi8(a0, Load256(other + i));
    const __m256i e1 = _mm256_cmpeq_epi8(a1, Load256(other + i + 32));
    const __m256i e2 = _mm256_cmpeq_epi8(a2, Load256(other + i + 64));
    const __m256i e3 = _mm256_cmpeq_epi8(a3, Load256(other + i + 96));
    const __m256i all = _mm256_and_si256(_mm256_and_si256(e0, e1), _mm256_and_si256(e2, e3));
    if (_mm256_movemask_epi8(all) == -1) continue;
    const uint64_t p = i % 3;  // 32 = 2 (mod 3)
    auto* out = reinterpret_cast<__m256i*>(base + i);
    _mm256_storeu_si256(out + 0, _mm256_blendv_epi8(m.at[p], a0, e0));
    _mm256_storeu_si256(out + 1, _mm256_blendv_epi8(m.at[(p + 2) % 3], a1, e1));
    _mm256_storeu_si256(out + 2, _mm256_blendv_epi8(m.at[(p + 1) % 3], a2, e2));
    _mm256_storeu_si256(out + 3, _mm256_blendv_epi8(m.at[p], a3, e3));
  }
  MarkRangeSse2(base, other, i, n, m16);
}

bool HasAvx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}

// 64 bytes in two AVX2 vectors; with threshold 0 a plain comparison.
__attribute__((target("avx2"))) uint64_t Differ64Avx2(const uint8_t* a, const uint8_t* b, int threshold) {
  const __m256i a0 = Load256(a);
  const __m256i b0 = Load256(b);
  const __m256i a1 = Load256(a + 32);
  const __m256i b1 = Load256(b + 32);
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

void MarkRowAvx2Best(uint8_t* base, const uint8_t* other, uint64_t n) {
  static const Markers256 markers = MakeMarkers256();
  MarkRowAvx2(base, other, n, markers, Sse2Markers());
}

#endif

#if DIFFMARK_SSE2

// Bits set for the bytes of [a, a + 16) that are more than the threshold
// apart from those of b.
inline uint32_t Differ16(const uint8_t* a, const uint8_t* b, __m128i threshold) {
  const __m128i va = Load(a);
  const __m128i vb = Load(b);
  const __m128i distance = _mm_or_si128(_mm_subs_epu8(va, vb), _mm_subs_epu8(vb, va));
  const __m128i over = _mm_subs_epu8(distance, threshold);  // non-zero where distance > threshold
  return ~static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(over, _mm_setzero_si128()))) & 0xFFFFu;
}

uint64_t Differ64Sse2(const uint8_t* a, const uint8_t* b, int threshold) {
  const __m128i t = _mm_set1_epi8(static_cast<char>(threshold));
  return Differ16(a, b, t) | uint64_t{Differ16(a + 16, b + 16, t)} << 16 |
         uint64_t{Differ16(a + 32, b + 32, t)} << 32 | uint64_t{Differ16(a + 48, b + 48, t)} << 48;
}

void MarkRowSse2(uint8_t* base, const uint8_t* other, uint64_t n) { MarkRangeSse2(base, other, 0, n, Sse2Markers()); }

#endif

void MarkRowScalar(uint8_t* base, const uint8_t* other, uint64_t n) { MarkRangeScalar(base, other, 0, n); }

uint64_t Differ64Scalar(const uint8_t* a, const uint8_t* b, int threshold) { return DifferTail(a, b, 64, threshold); }

constexpr Kernels kScalar{KernelSet::Scalar, "scalar", MarkRowScalar, Differ64Scalar};
#if DIFFMARK_SSE2
constexpr Kernels kSse2{KernelSet::Sse2, "sse2", MarkRowSse2, Differ64Sse2};
#endif
#if DIFFMARK_AVX2
constexpr Kernels kAvx2{KernelSet::Avx2, "avx2", MarkRowAvx2Best, Differ64Avx2};
#endif

}  // namespace

uint64_t DifferTail(const uint8_t* a, const uint8_t* b, uint64_t n, int threshold) {
  uint64_t mask = 0;
  for (uint64_t i = 0; i < n; ++i) {
    const int d = a[i] > b[i] ? a[i] - b[i] : b[i] - a[i];
    if (d > threshold) mask |= uint64_t{1} << i;
  }
  return mask;
}

const Kernels* KernelsOf(KernelSet set) {
  switch (set) {
    case KernelSet::Scalar:
      return &kScalar;
    case KernelSet::Sse2:
#if DIFFMARK_SSE2
      return &kSse2;
#else
      return nullptr;
#endif
    case KernelSet::Avx2:
#if DIFFMARK_AVX2
    {
      static const bool available = HasAvx2();
      return available ? &kAvx2 : nullptr;
    }
#else
      return nullptr;
#endif
  }
  return nullptr;
}

const Kernels& BestKernels() {
  static const Kernels& best = [] () -> const Kernels& {
    for (KernelSet set : {KernelSet::Avx2, KernelSet::Sse2}) {
      if (const Kernels* k = KernelsOf(set)) return *k;
    }
    return kScalar;
  }();
  return best;
}

void MarkDifferences(uint8_t* base, uint64_t baseBytes, const uint8_t* other, uint64_t otherBytes,
                     int32_t width, int32_t height, const Kernels& kernels) {
  if (width <= 0 || height <= 0) return;
  const uint64_t limit = std::min(baseBytes, otherBytes);
  const auto stride = static_cast<uint64_t>(Rgb24Stride64(width));
  const uint64_t pixelBytes = 3 * static_cast<uint64_t>(width);
  for (uint64_t y = 0; y < static_cast<uint64_t>(height); ++y) {
    const uint64_t start = y * stride;
    if (start >= limit) break;
    kernels.markRow(base + start, other + start, std::min(pixelBytes, limit - start));
  }
}

}  // namespace diffmark
