// Perceptual classification of pixel rows.  Equal stretches of two rows are
// skipped 16 or 32 bytes at a time; only pixels whose bytes differ get a
// colour distance, and only pixels over the threshold get the anti-aliasing
// rule.  All arithmetic is in doubles, in the order pixelmatch evaluates it,
// so that results near the threshold fall on the same side.
#include "compare/perceptual.h"

#include <cmath>
#include <cstddef>
#include <cstring>
#include <new>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace diffmark {

namespace {

// ------------------------------------------------------------ colour rules
// Pixels are read as blue, green, red bytes; the colour functions take red,
// green, blue values.

double YiqY(double r, double g, double b) { return r * 0.29889531 + g * 0.58662247 + b * 0.11448223; }
double YiqI(double r, double g, double b) { return r * 0.59597799 - g * 0.27417610 - b * 0.32180189; }
double YiqQ(double r, double g, double b) { return r * 0.21147017 - g * 0.52261711 + b * 0.31114694; }

// Squared YIQ distance, negative when the second colour is darker.
double YiqDeltaRgb(double r1, double g1, double b1, double r2, double g2, double b2) {
  const double y1 = YiqY(r1, g1, b1);
  const double y2 = YiqY(r2, g2, b2);
  const double y = y1 - y2;
  const double i = YiqI(r1, g1, b1) - YiqI(r2, g2, b2);
  const double q = YiqQ(r1, g1, b1) - YiqQ(r2, g2, b2);
  const double delta = 0.5053 * y * y + 0.299 * i * i + 0.1957 * q * q;
  return y1 > y2 ? -delta : delta;
}

// OKLab: sRGB bytes to linear light through a table, linear light to cone
// responses, their cube roots (a table of 4096 steps with linear
// interpolation above 1/512, the exact root below), then lightness with the
// toe that makes it perceptually even (Lr), a and b.
constexpr int kRootSteps = 4096;

struct OklabTables {
  double linear[256];
  double root[kRootSteps + 2];
};

const OklabTables& Tables() {
  static const OklabTables tables = [] {
    OklabTables t{};
    for (int c = 0; c < 256; ++c) {
      const double v = c / 255.0;
      t.linear[c] = v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    }
    for (int i = 0; i < kRootSteps + 2; ++i) t.root[i] = std::cbrt(static_cast<double>(i) / kRootSteps);
    return t;
  }();
  return tables;
}

double CubeRoot(const OklabTables& t, double x) {
  if (x < 1.0 / 512) return std::cbrt(x);
  const double u = x * kRootSteps;
  const double fl = std::floor(u);
  const auto i = static_cast<size_t>(fl);
  if (i >= kRootSteps + 1) return std::cbrt(x);  // beyond white (not reached by bytes)
  return t.root[i] + (t.root[i + 1] - t.root[i]) * (u - fl);
}

struct Lab {
  double l, a, b;
};

double Toe(double l) {
  constexpr double k1 = 0.206;
  constexpr double k2 = 0.03;
  const double k3 = (1 + k1) / (1 + k2);
  const double t = k3 * l - k1;
  return (t + std::sqrt(t * t + 4 * k2 * k3 * l)) / 2;
}

Lab ToOklab(uint8_t red, uint8_t green, uint8_t blue) {
  const OklabTables& t = Tables();
  const double r = t.linear[red];
  const double g = t.linear[green];
  const double b = t.linear[blue];
  const double l = CubeRoot(t, 0.4122214708 * r + 0.5363325363 * g + 0.0514459929 * b);
  const double m = CubeRoot(t, 0.2119034982 * r + 0.6806995451 * g + 0.1073969566 * b);
  const double s = CubeRoot(t, 0.0883024619 * r + 0.2817188376 * g + 0.6299787005 * b);
  return Lab{Toe(0.2104542553 * l + 0.7936177850 * m - 0.0040720468 * s),
             1.9779984951 * l - 2.4285922050 * m + 0.4505937099 * s,
             0.0259040371 * l + 0.7827717662 * m - 0.8086757660 * s};
}

// HyAB distance, negative when the second colour is darker.
double OklabDeltaRgb(uint8_t r1, uint8_t g1, uint8_t b1, uint8_t r2, uint8_t g2, uint8_t b2) {
  const Lab p = ToOklab(r1, g1, b1);
  const Lab q = ToOklab(r2, g2, b2);
  const double da = p.a - q.a;
  const double db = p.b - q.b;
  const double delta = std::fabs(p.l - q.l) + std::sqrt(da * da + db * db);
  return p.l > q.l ? -delta : delta;
}

// ---------------------------------------------------------- equal stretches

// First index in [from, n) where the byte rows differ, or n.
size_t FirstDifferencePlain(const uint8_t* a, const uint8_t* b, size_t from, size_t n) {
  while (from + 8 <= n) {
    uint64_t x = 0;
    uint64_t y = 0;
    std::memcpy(&x, a + from, 8);
    std::memcpy(&y, b + from, 8);
    if (x != y) break;
    from += 8;
  }
  while (from < n && a[from] == b[from]) ++from;
  return from;
}

#if defined(__SSE2__)
size_t FirstDifferenceSse2(const uint8_t* a, const uint8_t* b, size_t from, size_t n) {
  while (from + 64 <= n) {
    const auto* pa = reinterpret_cast<const __m128i*>(a + from);
    const auto* pb = reinterpret_cast<const __m128i*>(b + from);
    const __m128i e0 = _mm_cmpeq_epi8(_mm_loadu_si128(pa), _mm_loadu_si128(pb));
    const __m128i e1 = _mm_cmpeq_epi8(_mm_loadu_si128(pa + 1), _mm_loadu_si128(pb + 1));
    const __m128i e2 = _mm_cmpeq_epi8(_mm_loadu_si128(pa + 2), _mm_loadu_si128(pb + 2));
    const __m128i e3 = _mm_cmpeq_epi8(_mm_loadu_si128(pa + 3), _mm_loadu_si128(pb + 3));
    const __m128i all = _mm_and_si128(_mm_and_si128(e0, e1), _mm_and_si128(e2, e3));
    if (_mm_movemask_epi8(all) != 0xFFFF) break;
    from += 64;
  }
  while (from + 16 <= n) {
    const __m128i e = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + from)),
                                     _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + from)));
    const auto mask = static_cast<unsigned>(_mm_movemask_epi8(e)) ^ 0xFFFFu;
    if (mask != 0) return from + static_cast<size_t>(__builtin_ctz(mask));
    from += 16;
  }
  return FirstDifferencePlain(a, b, from, n);
}

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define DIFFMARK_HAVE_AVX2 1
__attribute__((target("avx2"))) size_t FirstDifferenceAvx2(const uint8_t* a, const uint8_t* b, size_t from,
                                                           size_t n) {
  while (from + 64 <= n) {
    const auto* pa = reinterpret_cast<const __m256i*>(a + from);
    const auto* pb = reinterpret_cast<const __m256i*>(b + from);
    const __m256i e0 = _mm256_cmpeq_epi8(_mm256_loadu_si256(pa), _mm256_loadu_si256(pb));
    const __m256i e1 = _mm256_cmpeq_epi8(_mm256_loadu_si256(pa + 1), _mm256_loadu_si256(pb + 1));
    if (static_cast<unsigned>(_mm256_movemask_epi8(_mm256_and_si256(e0, e1))) != 0xFFFFFFFFu) break;
    from += 64;
  }
  while (from + 32 <= n) {
    const __m256i e = _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + from)),
                                        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + from)));
    const unsigned mask = ~static_cast<unsigned>(_mm256_movemask_epi8(e));
    if (mask != 0) return from + static_cast<size_t>(__builtin_ctz(mask));
    from += 32;
  }
  return FirstDifferenceSse2(a, b, from, n);
}
#endif
#endif

using FirstDifferenceFn = size_t (*)(const uint8_t*, const uint8_t*, size_t, size_t);

FirstDifferenceFn PickFirstDifference() {
#if defined(DIFFMARK_HAVE_AVX2)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) return FirstDifferenceAvx2;
#endif
#if defined(__SSE2__)
  return FirstDifferenceSse2;
#else
  return FirstDifferencePlain;
#endif
}

const FirstDifferenceFn kFirstDifference = PickFirstDifference();

// ------------------------------------------------------------ anti-aliasing

// Five rows around the current one of one band (null outside the image).
struct Window {
  const uint8_t* row[2 * kAntialiasContextRows + 1];
  int32_t width;
  int32_t height;
  int32_t y;

  const uint8_t* At(int32_t x, int32_t py) const {
    return row[py - y + kAntialiasContextRows] + static_cast<ptrdiff_t>(x) * 3;
  }
};

bool SamePixel(const uint8_t* p, const uint8_t* q) { return p[0] == q[0] && p[1] == q[1] && p[2] == q[2]; }

// Brightness difference of two pixels of one picture (centre minus neighbour),
// 0 for equal pixels.  YIQ's Y for both metrics: pixelmatch 8 kept the
// brightness of 7 for its anti-aliasing rule.
double BrightnessDelta(const uint8_t* c, const uint8_t* n) {
  if (SamePixel(c, n)) return 0;
  return YiqY(c[2], c[1], c[0]) - YiqY(n[2], n[1], n[0]);
}

// True when the pixel at (x1, y1) has three or more identical neighbours; the
// picture's border counts as one.
bool HasManySiblings(const Window& w, int32_t x1, int32_t y1) {
  const int32_t x0 = x1 > 0 ? x1 - 1 : 0;
  const int32_t y0 = y1 > 0 ? y1 - 1 : 0;
  const int32_t x2 = x1 + 1 < w.width ? x1 + 1 : w.width - 1;
  const int32_t y2 = y1 + 1 < w.height ? y1 + 1 : w.height - 1;
  const uint8_t* centre = w.At(x1, y1);
  int zeroes = x1 == x0 || x1 == x2 || y1 == y0 || y1 == y2 ? 1 : 0;
  for (int32_t x = x0; x <= x2; ++x) {
    for (int32_t y = y0; y <= y2; ++y) {
      if (x == x1 && y == y1) continue;
      zeroes += SamePixel(centre, w.At(x, y)) ? 1 : 0;
      if (zeroes > 2) return true;
    }
  }
  return false;
}

// The slope rule on picture `img` (the other picture `alt` joins the flatness
// test of the darkest and brightest neighbour).  Neighbours are visited
// column by column, and the first of equally dark or bright ones is kept.
bool Antialiased(const Window& img, const Window& alt, int32_t x1, int32_t y1) {
  const int32_t x0 = x1 > 0 ? x1 - 1 : 0;
  const int32_t y0 = y1 > 0 ? y1 - 1 : 0;
  const int32_t x2 = x1 + 1 < img.width ? x1 + 1 : img.width - 1;
  const int32_t y2 = y1 + 1 < img.height ? y1 + 1 : img.height - 1;
  const uint8_t* centre = img.At(x1, y1);
  int zeroes = x1 == x0 || x1 == x2 || y1 == y0 || y1 == y2 ? 1 : 0;
  double min = 0;
  double max = 0;
  int32_t minX = 0, minY = 0, maxX = 0, maxY = 0;
  for (int32_t x = x0; x <= x2; ++x) {
    for (int32_t y = y0; y <= y2; ++y) {
      if (x == x1 && y == y1) continue;
      const double delta = BrightnessDelta(centre, img.At(x, y));
      if (delta == 0) {
        if (++zeroes > 2) return false;
      } else if (delta < min) {
        min = delta;
        minX = x;
        minY = y;
      } else if (delta > max) {
        max = delta;
        maxX = x;
        maxY = y;
      }
    }
  }
  if (min == 0 || max == 0) return false;
  return (HasManySiblings(img, minX, minY) && HasManySiblings(alt, minX, minY)) ||
         (HasManySiblings(img, maxX, maxY) && HasManySiblings(alt, maxX, maxY));
}

bool HoldsRows(const Band& band, int32_t from, int32_t to) {
  return from >= band.first && to <= int64_t{band.first} + band.rows.height;
}

Window MakeWindow(const Band& band, int32_t y) {
  Window w{};
  w.width = band.rows.width;
  w.height = band.imageHeight;
  w.y = y;
  for (int32_t k = -kAntialiasContextRows; k <= kAntialiasContextRows; ++k) {
    const int32_t py = y + k;
    const bool inside = py >= 0 && py < band.imageHeight && py >= band.first &&
                        py < int64_t{band.first} + band.rows.height;
    w.row[k + kAntialiasContextRows] = inside ? band.rows.Row(py - band.first) : nullptr;
  }
  return w;
}

}  // namespace

double YiqDelta(const uint8_t first[3], const uint8_t second[3]) {
  if (first[0] == second[0] && first[1] == second[1] && first[2] == second[2]) return 0;
  return YiqDeltaRgb(first[0], first[1], first[2], second[0], second[1], second[2]);
}

double OklabDelta(const uint8_t first[3], const uint8_t second[3]) {
  if (first[0] == second[0] && first[1] == second[1] && first[2] == second[2]) return 0;
  return OklabDeltaRgb(first[0], first[1], first[2], second[0], second[1], second[2]);
}

double PerceptualLimit(Metric metric, double threshold) {
  // 35215 is the largest YIQ distance (black against white).
  return metric == Metric::Oklab ? threshold : 35215 * threshold * threshold;
}

uint8_t OverlayGrey(const uint8_t rgb[3], double alpha) {
  const double value = 255 + (YiqY(rgb[0], rgb[1], rgb[2]) - 255) * alpha * 255 / 255;
  // Stored as a typed array stores a number: truncated, then taken modulo 256.
  const double truncated = std::trunc(value);
  if (!(truncated >= 0 && truncated <= 255)) {
    if (!std::isfinite(truncated)) return 0;
    const double wrapped = std::fmod(truncated, 256.0);
    return static_cast<uint8_t>(static_cast<int>(wrapped < 0 ? wrapped + 256 : wrapped));
  }
  return static_cast<uint8_t>(truncated);
}

void MergeCounts(PerceptualCounts* into, const PerceptualCounts& part) {
  into->differing += part.differing;
  into->antialiased += part.antialiased;
  if (part.right >= part.left) {
    if (part.left < into->left) into->left = part.left;
    if (part.top < into->top) into->top = part.top;
    if (part.right > into->right) into->right = part.right;
    if (part.bottom > into->bottom) into->bottom = part.bottom;
  }
}

bool ClassifyRows(const PerceptualSettings& settings, const Band& base, const Band& other, int32_t fromRow,
                  int32_t toRow, PerceptualCounts* counts, RowSink sink, void* context) {
  if (settings.metric != Metric::Yiq && settings.metric != Metric::Oklab) return false;
  if (counts == nullptr || base.rows.width != other.rows.width || base.imageHeight != other.imageHeight ||
      base.rows.width < 0 || fromRow < 0 || toRow > base.imageHeight || fromRow > toRow) {
    return false;
  }
  const int32_t width = base.rows.width;
  const int32_t margin = settings.antialiasing ? kAntialiasContextRows : 0;
  const int32_t needFrom = fromRow - margin < 0 ? 0 : fromRow - margin;
  const int32_t needTo = toRow + margin > base.imageHeight ? base.imageHeight : toRow + margin;
  if (fromRow == toRow) return true;
  if (!HoldsRows(base, needFrom, needTo) || !HoldsRows(other, needFrom, needTo)) return false;

  uint8_t* classes = new (std::nothrow) uint8_t[static_cast<size_t>(width) + 1];
  if (classes == nullptr) return false;

  const Metric metric = settings.metric;
  const double limit = PerceptualLimit(metric, settings.threshold);
  const size_t rowBytes = static_cast<size_t>(width) * 3;
  PerceptualCounts found;
  for (int32_t y = fromRow; y < toRow; ++y) {
    const uint8_t* a = base.rows.Row(y - base.first);
    const uint8_t* b = other.rows.Row(y - other.first);
    bool marked = false;
    Window wa{};
    Window wb{};
    size_t at = 0;
    while ((at = kFirstDifference(a, b, at, rowBytes)) < rowBytes) {
      const size_t px = at / 3;
      const size_t o = px * 3;
      at = o + 3;
      const uint8_t* p = a + o;
      const uint8_t* q = b + o;
      const double delta = metric == Metric::Oklab ? OklabDeltaRgb(p[2], p[1], p[0], q[2], q[1], q[0])
                                                   : YiqDeltaRgb(p[2], p[1], p[0], q[2], q[1], q[0]);
      if (!(std::fabs(delta) > limit)) continue;
      if (!marked) {
        std::memset(classes, kPixelSame, static_cast<size_t>(width));
        marked = true;
        if (settings.antialiasing) {
          wa = MakeWindow(base, y);
          wb = MakeWindow(other, y);
        }
      }
      const auto x = static_cast<int32_t>(px);
      if (settings.antialiasing && (Antialiased(wa, wb, x, y) || Antialiased(wb, wa, x, y))) {
        classes[px] = kPixelAntialiased;
        ++found.antialiased;
        continue;
      }
      classes[px] = delta < 0 ? kPixelDarker : kPixelLighter;
      ++found.differing;
      if (x < found.left) found.left = x;
      if (x > found.right) found.right = x;
      if (y < found.top) found.top = y;
      found.bottom = y;
    }
    if (sink != nullptr) sink(context, y, marked ? classes : nullptr, width);
  }
  delete[] classes;
  MergeCounts(counts, found);
  return true;
}

void PaintOverlayRow(const OverlayColours& colours, const uint8_t* baseRow, const uint8_t* classes, int32_t width,
                     uint8_t* outRow) {
  for (int32_t x = 0; x < width; ++x) {
    const uint8_t* p = baseRow + static_cast<ptrdiff_t>(x) * 3;
    uint8_t* out = outRow + static_cast<ptrdiff_t>(x) * 3;
    const uint8_t verdict = classes == nullptr ? uint8_t{kPixelSame} : classes[x];
    const uint8_t* rgb = nullptr;
    switch (verdict) {
      case kPixelLighter: rgb = colours.differ; break;
      case kPixelDarker: rgb = colours.darker; break;
      case kPixelAntialiased: rgb = colours.antialiased; break;
      default: break;
    }
    if (rgb != nullptr) {
      out[0] = rgb[2];
      out[1] = rgb[1];
      out[2] = rgb[0];
    } else {
      const uint8_t colour[3] = {p[2], p[1], p[0]};
      const uint8_t grey = OverlayGrey(colour, colours.alpha);
      out[0] = out[1] = out[2] = grey;
    }
  }
}

namespace {

struct OverlayTarget {
  const OverlayColours* colours;
  const Band* base;
  const Band* out;
};

void PaintRow(void* context, int32_t y, const uint8_t* classes, int32_t width) {
  const auto* target = static_cast<const OverlayTarget*>(context);
  PaintOverlayRow(*target->colours, target->base->rows.Row(y - target->base->first), classes, width,
                  target->out->rows.Row(y - target->out->first));
}

}  // namespace

bool OverlayRows(const PerceptualSettings& settings, const OverlayColours& colours, const Band& base,
                 const Band& other, int32_t fromRow, int32_t toRow, const Band& out, PerceptualCounts* counts) {
  if (out.rows.width != base.rows.width || out.imageHeight != base.imageHeight || !HoldsRows(out, fromRow, toRow)) {
    return false;
  }
  if (settings.antialiasing && out.rows.rows == base.rows.rows) return false;
  OverlayTarget target{&colours, &base, &out};
  return ClassifyRows(settings, base, other, fromRow, toRow, counts, PaintRow, &target);
}

}  // namespace diffmark
