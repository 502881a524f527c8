// Perceptual classification of pixel rows.  Stretches of two rows whose
// bytes are equal, or too close to reach the threshold whatever the colour,
// are skipped 16 or 32 bytes at a time; only the remaining pixels get a
// colour distance, and only pixels over the threshold get the anti-aliasing
// rule.  All arithmetic is in doubles, in the order pixelmatch evaluates it,
// so that results at the threshold fall on the same side.
#include "compare/perceptual.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
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

// Squared YIQ distance, negative when the second colour is darker.  Y, I
// and Q are taken of the channel differences (the transform is linear), as
// pixelmatch 7 does: taking them of each colour and subtracting rounds
// differently in the last bits.
double YiqDeltaRgb(int r1, int g1, int b1, int r2, int g2, int b2) {
  const double dr = r1 - r2;
  const double dg = g1 - g2;
  const double db = b1 - b2;
  const double y = YiqY(dr, dg, db);
  const double i = YiqI(dr, dg, db);
  const double q = YiqQ(dr, dg, db);
  const double delta = 0.5053 * y * y + 0.299 * i * i + 0.1957 * q * q;
  return y > 0 ? -delta : delta;
}

// OKLab: sRGB bytes to linear light through a table, linear light to cone
// responses, their cube roots (a table of 4096 steps with linear
// interpolation above 1/512, the exact root below), then lightness with the
// toe that makes it perceptually even (Lr), a and b.
//
// Bit for bit as JavaScript computes them: the sRGB curve's values are those
// of V8's Math.pow (the C library's pow rounds some of them the other way),
// and cube roots come from the classic fdlibm algorithm that V8's Math.cbrt
// uses, below.
constexpr int kRootSteps = 4096;

// (c / 255 <= 0.04045 ? c / 255 / 12.92 : ((c / 255 + 0.055) / 1.055) ** 2.4) for each byte c.
constexpr double kLinear[256] = {
    0.0, 0.00030352698354883752, 0.00060705396709767503, 0.00091058095064651249,
    0.0012141079341953501, 0.0015176349177441874, 0.0018211619012930250, 0.0021246888848418626,
    0.0024282158683907001, 0.0027317428519395373, 0.0030352698354883748, 0.0033465357638991608,
    0.0036765073240474359, 0.0040247170184963066, 0.0043914420374102934, 0.0047769534806937292,
    0.0051815167023383860, 0.0056053916242027229, 0.0060488330228570548, 0.0065120907925944743,
    0.0069954101872653869, 0.0074990320432261753, 0.0080231929853849943, 0.0085681256180693069,
    0.0091340587022207872, 0.0097212173202378474, 0.010329823029626938, 0.010960094006488246,
    0.011612245179743887, 0.012286488356915872, 0.012983032342173012, 0.013702083047289686,
    0.014443843596092545, 0.015208514422912709, 0.015996293365509631, 0.016807375752887384,
    0.017641954488384078, 0.018500220128379697, 0.019382360956935723, 0.020288563056652401,
    0.021219010376003558, 0.022173884793387381, 0.023153366178110410, 0.024157632448504756,
    0.025186859627361627, 0.026241221894849898, 0.027320891639074897, 0.028426039504420793,
    0.029556834437808800, 0.030713443732993635, 0.031896033073011532, 0.033104766570885055,
    0.034339806808682170, 0.035601314875020343, 0.036889450401100039, 0.038204371595346502,
    0.039546235276732830, 0.040915196906853191, 0.042311410620809675, 0.043735029256973465,
    0.045186204385675541, 0.046665086336880102, 0.048171824226889426, 0.049706565984127232,
    0.051269458374043238, 0.052860647023180246, 0.054480276442442369, 0.056128490049600091,
    0.057805430191067229, 0.059511238162981199, 0.061246054231617608, 0.063010017653167674,
    0.064803266692905773, 0.066625938643772892, 0.068478169844400166, 0.070360095696595876,
    0.072271850682317479, 0.074213568380149628, 0.076185381481307851, 0.078187421805186327,
    0.080219820314468310, 0.082282707129814794, 0.084376211544148816, 0.086500462036549763,
    0.088655586285772942, 0.090841711183407670, 0.093058962846687465, 0.095307466630964705,
    0.097587347141862457, 0.099898728247113891, 0.10224173308810131, 0.10461648409110419,
    0.10702310297826761, 0.10946171077829933, 0.11193242783690560, 0.11443537382697373,
    0.11697066775851084, 0.11953842798834562, 0.12213877222960187, 0.12477181756095049,
    0.12743768043564743, 0.13013647669036429, 0.13286832155381798, 0.13563332965520566,
    0.13843161503245183, 0.14126329114027164, 0.14412847085805777, 0.14702726649759498,
    0.14995978981060856, 0.15292615199615017, 0.15592646370782740, 0.15896083506088041,
    0.16202937563911096, 0.16513219450166761, 0.16826940018969075, 0.17144110073282259,
    0.17464740365558504, 0.17788841598362914, 0.18116424424986022, 0.18447499450044100,
    0.18782077230067787, 0.19120168274079141, 0.19461783044157582, 0.19806931955994886,
    0.20155625379439707, 0.20507873639031693, 0.20863687014525575, 0.21223075741405523,
    0.21586050011389923, 0.21952619972926923, 0.22322795731680850, 0.22696587351009836,
    0.23074004852434915, 0.23455058216100522, 0.23839757381227100, 0.24228112246555486,
    0.24620132670783548, 0.25015828472995344, 0.25415209433082675, 0.25818285292159582,
    0.26225065752969623, 0.26635560480286247, 0.27049779101306581, 0.27467731206038465,
    0.27889426347681040, 0.28314874042999211, 0.28744083772691748, 0.29177064981753587,
    0.29613827079832111, 0.30054379441577650, 0.30498731406988627, 0.30946892281750854,
    0.31398871337571754, 0.31854677812509186, 0.32314320911295075, 0.32777809805654218,
    0.33245153634617935, 0.33716361504833037, 0.34191442490866097, 0.34670405635502960,
    0.35153259950043936, 0.35640014414594351, 0.36130677978350950, 0.36625259559883949,
    0.37123768047414912, 0.37626212299090644, 0.38132601143253009, 0.38642943378704903,
    0.39157247774972326, 0.39675523072562685, 0.40197777983219574, 0.40724021190173670,
    0.41254261348390375, 0.41788507084813747, 0.42326766998607168, 0.42869049661390668,
    0.43415363617474889, 0.43965717384091879, 0.44520119451622786, 0.45078578283822346,
    0.45641102318040466, 0.46207699965440707, 0.46778379611215898, 0.47353149614800955,
    0.47932018310082680, 0.48514994005607037, 0.49102084984783562, 0.49693299506087041,
    0.50288645803256871, 0.50888132085493376, 0.51491766537652139, 0.52099557320435430,
    0.52711512570581309, 0.53327640401050524, 0.53947948901210707, 0.54572446137018660,
    0.55201140151200012, 0.55834038963426791, 0.56471150570492923, 0.57112482946487308,
    0.57758044042965062, 0.58407841789116410, 0.59061884091933692, 0.59720178836376336,
    0.60382733885533779, 0.61049557080786476, 0.61720656241965111, 0.62396039167507611,
    0.63075713634614683, 0.63759687399403264, 0.64447968197058214, 0.65140563741982416,
    0.65837481727944858, 0.66538729828227205, 0.67244315695768753, 0.67954246963309384,
    0.68668531243531339, 0.69387176129198991, 0.70110189193297312, 0.70837577989168676,
    0.71569350050648073, 0.72305512892196933, 0.73046074009035367, 0.73791040877273084,
    0.74540420954038744, 0.75294221677607787, 0.76052450467529242, 0.76815114724750710,
    0.77582221831742360, 0.78353779152619352, 0.79129794033263023, 0.79910273801440901,
    0.80695225766925160, 0.81484657221610124, 0.82278575439628354, 0.83076987677465464,
    0.83879901174074001, 0.84687323150985805, 0.85499260812423383, 0.86315721345410235,
    0.87136711919879728, 0.87962239688783173, 0.88792311788196632, 0.89626935337426639,
    0.90466117439114957, 0.91309865179341920, 0.92158185627729461, 0.93011085837542373,
    0.93868572845788800, 0.94730653673319987, 0.95597335324928612, 0.96468624789446511,
    0.97344529039841254, 0.98225055033311715, 0.99110209711382979, 1.0000000000000000,
};

// Cube root as fdlibm computes it (FreeBSD msun's s_cbrt.c, which V8 ports
// for Math.cbrt; originally by Sun Microsystems, freely distributable): a
// 5-bit estimate from the exponent, a polynomial to 23 bits, rounding to 23
// bits and one Newton step.
double Cbrt(double x) {
  constexpr uint32_t kB1 = 715094163;  // (1023 - 1023/3 - 0.03306235651) * 2^20
  constexpr uint32_t kB2 = 696219795;  // (1023 - 1023/3 - 54/3 - 0.03306235651) * 2^20
  constexpr double kP0 = 1.87595182427177009643;
  constexpr double kP1 = -1.88497979543377169875;
  constexpr double kP2 = 1.621429720105354466140;
  constexpr double kP3 = -0.758397934778766047437;
  constexpr double kP4 = 0.145996192886612446982;
  uint64_t bits = 0;
  std::memcpy(&bits, &x, 8);
  uint32_t hx = static_cast<uint32_t>(bits >> 32);
  const auto low = static_cast<uint32_t>(bits);
  const uint32_t sign = hx & 0x80000000u;
  hx ^= sign;
  if (hx >= 0x7ff00000u) return x + x;
  double t = 0;
  uint64_t tb = 0;
  if (hx < 0x00100000u) {  // zero or subnormal
    if ((hx | low) == 0) return x;
    tb = uint64_t{0x43500000u} << 32;  // 2^54
    std::memcpy(&t, &tb, 8);
    t *= x;
    std::memcpy(&tb, &t, 8);
    const auto high = static_cast<uint32_t>(tb >> 32);
    tb = uint64_t{sign | ((high & 0x7fffffffu) / 3 + kB2)} << 32;
  } else {
    tb = uint64_t{sign | (hx / 3 + kB1)} << 32;
  }
  std::memcpy(&t, &tb, 8);
  double r = (t * t) * (t / x);
  t = t * ((kP0 + r * (kP1 + r * kP2)) + ((r * r) * r) * (kP3 + r * kP4));
  std::memcpy(&tb, &t, 8);
  tb = (tb + 0x80000000u) & 0xffffffffc0000000ull;
  std::memcpy(&t, &tb, 8);
  const double s = t * t;
  r = x / s;
  const double w = t + t;
  r = (r - t) / (w + r);
  return t + t * r;
}

struct OklabTables {
  double root[kRootSteps + 2];
};

const OklabTables& Tables() {
  static const OklabTables tables = [] {
    OklabTables t{};
    for (int i = 0; i < kRootSteps + 2; ++i) t.root[i] = Cbrt(static_cast<double>(i) / kRootSteps);
    return t;
  }();
  return tables;
}

double CubeRoot(const OklabTables& t, double x) {
  if (x < 1.0 / 512) return Cbrt(x);
  const double u = x * kRootSteps;
  if (!(u < kRootSteps + 1)) return Cbrt(x);  // beyond white (not reached by bytes)
  const auto i = static_cast<size_t>(u);      // u >= 8: truncation is the floor
  return t.root[i] + (t.root[i + 1] - t.root[i]) * (u - static_cast<double>(i));
}

double Toe(double l) {
  constexpr double k1 = 0.206;
  constexpr double k2 = 0.03;
  constexpr double k3 = (1 + k1) / (1 + k2);
  const double t = k3 * l - k1;
  return (t + std::sqrt(t * t + 4 * k2 * k3 * l)) / 2;
}

// Cube roots of the cone responses of a colour.
struct Cones {
  double l, m, s;
};

Cones ToCones(uint8_t red, uint8_t green, uint8_t blue) {
  const OklabTables& t = Tables();
  const double r = kLinear[red];
  const double g = kLinear[green];
  const double b = kLinear[blue];
  return Cones{CubeRoot(t, 0.4122214708 * r + 0.5363325363 * g + 0.0514459929 * b),
               CubeRoot(t, 0.2119034982 * r + 0.6806995451 * g + 0.1073969566 * b),
               CubeRoot(t, 0.0883024619 * r + 0.2817188376 * g + 0.6299787005 * b)};
}

double Lightness(const Cones& c) { return Toe(0.2104542553 * c.l + 0.7936177850 * c.m - 0.0040720468 * c.s); }

// The parts of the HyAB distance of two colours: the lightness difference
// (first minus second) and the squared a, b distance, a and b taken of the
// differences of the cone roots (the transform is linear).
struct HyabParts {
  double dl;
  double ab2;
};

// A colour's cone roots and lightness.
struct OklabColour {
  Cones cones;
  double lightness;
};

OklabColour ToOklab(uint8_t red, uint8_t green, uint8_t blue) {
  const Cones c = ToCones(red, green, blue);
  return OklabColour{c, Lightness(c)};
}

HyabParts HyabOf(const OklabColour& p, const OklabColour& q) {
  const double dl = p.cones.l - q.cones.l;
  const double dm = p.cones.m - q.cones.m;
  const double ds = p.cones.s - q.cones.s;
  const double da = 1.9779984951 * dl - 2.4285922050 * dm + 0.4505937099 * ds;
  const double db = 0.0259040371 * dl + 0.7827717662 * dm - 0.8086757660 * ds;
  return HyabParts{p.lightness - q.lightness, da * da + db * db};
}

HyabParts Hyab(uint8_t r1, uint8_t g1, uint8_t b1, uint8_t r2, uint8_t g2, uint8_t b2) {
  return HyabOf(ToOklab(r1, g1, b1), ToOklab(r2, g2, b2));
}

// The OKLab values of the colours met last, by colour (screens repeat a few
// colours): a direct-mapped table, each entry replaced by the next colour
// that falls on it.  The values are those ToOklab gives, so remembering
// them changes no result.
struct OklabMemo {
  static constexpr int kBits = 10;
  uint32_t key[1 << kBits];  // 0xRRGGBB, or kEmpty
  OklabColour value[1 << kBits];
  static constexpr uint32_t kEmpty = 0xFFFFFFFFu;

  void Clear() {
    for (uint32_t& k : key) k = kEmpty;
  }
  // A copy: the next colour may take the same entry.
  OklabColour Of(uint8_t red, uint8_t green, uint8_t blue) {
    const uint32_t colour = uint32_t{red} << 16 | uint32_t{green} << 8 | blue;
    const uint32_t slot = (colour * 2654435761u) >> (32 - kBits);
    if (key[slot] != colour) {
      key[slot] = colour;
      value[slot] = ToOklab(red, green, blue);
    }
    return value[slot];
  }
};

// Whether |dL| + sqrt(ab2) exceeds the threshold, decided without the root
// as pixelmatch 8 decides it (the two forms differ in the last bit).
bool HyabOver(const HyabParts& h, double threshold) {
  const double dl = std::fabs(h.dl);
  if (dl > threshold) return true;
  const double rest = threshold - dl;
  return h.ab2 > rest * rest;
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

// First index in [from, n) where the bytes are more than `slack` apart, or
// n: pixels whose channels all lie within the slack are certainly within
// the threshold, and are passed over like equal ones.
size_t FirstFarPlain(const uint8_t* a, const uint8_t* b, size_t from, size_t n, uint8_t slack) {
  while (from < n && (a[from] > b[from] ? a[from] - b[from] : b[from] - a[from]) <= slack) ++from;
  return from;
}

#if defined(__SSE2__)
size_t FirstFarSse2(const uint8_t* a, const uint8_t* b, size_t from, size_t n, uint8_t slack) {
  const __m128i k = _mm_set1_epi8(static_cast<char>(slack));
  const __m128i zero = _mm_setzero_si128();
  while (from + 16 <= n) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + from));
    const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + from));
    const __m128i apart = _mm_subs_epu8(_mm_or_si128(_mm_subs_epu8(x, y), _mm_subs_epu8(y, x)), k);
    const auto mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(apart, zero))) ^ 0xFFFFu;
    if (mask != 0) return from + static_cast<size_t>(__builtin_ctz(mask));
    from += 16;
  }
  return FirstFarPlain(a, b, from, n, slack);
}

#if defined(DIFFMARK_HAVE_AVX2)
__attribute__((target("avx2"))) size_t FirstFarAvx2(const uint8_t* a, const uint8_t* b, size_t from, size_t n,
                                                    uint8_t slack) {
  const __m256i k = _mm256_set1_epi8(static_cast<char>(slack));
  const __m256i zero = _mm256_setzero_si256();
  while (from + 32 <= n) {
    const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + from));
    const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + from));
    const __m256i apart = _mm256_subs_epu8(_mm256_or_si256(_mm256_subs_epu8(x, y), _mm256_subs_epu8(y, x)), k);
    const unsigned mask = ~static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(apart, zero)));
    if (mask != 0) return from + static_cast<size_t>(__builtin_ctz(mask));
    from += 32;
  }
  return FirstFarSse2(a, b, from, n, slack);
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

using FirstFarFn = size_t (*)(const uint8_t*, const uint8_t*, size_t, size_t, uint8_t);

FirstFarFn PickFirstFar() {
#if defined(DIFFMARK_HAVE_AVX2)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) return FirstFarAvx2;
#endif
#if defined(__SSE2__)
  return FirstFarSse2;
#else
  return FirstFarPlain;
#endif
}

const FirstFarFn kFirstFar = PickFirstFar();

// The largest channel difference m for which no pixel can exceed the YIQ
// limit: the squared distance of channel differences of at most m is at
// most m^2 times its largest value on the corners of the cube [-1, 1]^3 (a
// convex quadratic form peaks at a corner), taken with a margin far above
// rounding.
uint8_t YiqSlack(double limit) {
  double peak = 0;
  for (int corner = 0; corner < 8; ++corner) {
    const double r = corner & 1 ? 1 : -1;
    const double g = corner & 2 ? 1 : -1;
    const double b = corner & 4 ? 1 : -1;
    const double y = YiqY(r, g, b);
    const double i = YiqI(r, g, b);
    const double q = YiqQ(r, g, b);
    const double d = 0.5053 * y * y + 0.299 * i * i + 0.1957 * q * q;
    if (d > peak) peak = d;
  }
  peak *= 1 + 1e-9;
  int m = 0;
  while (m < 255 && static_cast<double>((m + 1) * (m + 1)) * peak < limit) ++m;
  return static_cast<uint8_t>(m);
}

// The largest OKLab HyAB distance between two colours whose channels differ
// by at most 1, 2, ... (index m - 1), found by trying every pair of 24-bit
// colours with bench/oklab_slack.cpp.
constexpr double kOklabSlackBound[] = {
    0.044663896667890404, 0.057533032590215409, 0.067010730160911011, 0.075190783470833661,
    0.082367020262557128, 0.088846509105961632, 0.094805690323006744, 0.10032611773362902,
};

// The largest channel difference m for which no pixel can exceed the OKLab
// threshold, with a margin that keeps the rootless test's rounding clear.
uint8_t OklabSlack(double threshold) {
  uint8_t m = 0;
  for (double bound : kOklabSlackBound) {
    if (!(bound * (1 + 1e-6) < threshold)) break;
    ++m;
  }
  return m;
}

bool Far(const uint8_t* p, const uint8_t* q, uint8_t slack) {
  for (int k = 0; k < 3; ++k) {
    if ((p[k] > q[k] ? p[k] - q[k] : q[k] - p[k]) > slack) return true;
  }
  return false;
}

// ------------------------------------------------------------ anti-aliasing

// Five rows around the current one of one band (null outside the image),
// and, for the three middle ones, what is known of each pixel's siblings
// (kSiblingsUnknown until asked).
enum : uint8_t { kSiblingsUnknown = 0, kFewSiblings = 1, kManySiblings = 2 };

struct Window {
  const uint8_t* row[2 * kAntialiasContextRows + 1];
  uint8_t* siblings[3];  // rows y - 1, y, y + 1; null outside the image
  int32_t width;
  int32_t height;
  int32_t y;

  const uint8_t* At(int32_t x, int32_t py) const {
    return row[py - y + kAntialiasContextRows] + static_cast<ptrdiff_t>(x) * 3;
  }
};

bool SamePixel(const uint8_t* p, const uint8_t* q) { return ((p[0] ^ q[0]) | (p[1] ^ q[1]) | (p[2] ^ q[2])) == 0; }

// True when the pixel at (x1, y1) has three or more identical neighbours; the
// picture's border counts as one.
bool CountManySiblings(const Window& w, int32_t x1, int32_t y1) {
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

// The same, remembered per pixel: neighbouring candidates ask about the
// same pixels.  (x1, y1) is within a row of the current one.
bool HasManySiblings(const Window& w, int32_t x1, int32_t y1) {
  uint8_t& known = w.siblings[y1 - w.y + 1][x1];
  if (known == kSiblingsUnknown) known = CountManySiblings(w, x1, y1) ? kManySiblings : kFewSiblings;
  return known == kManySiblings;
}

// Brightness difference of two pixels of one picture (centre minus neighbour),
// 0 for equal pixels.  YIQ's Y for both metrics: pixelmatch 8 kept the
// brightness of 7 for its anti-aliasing rule.
double BrightnessDelta(const uint8_t* c, const uint8_t* n) {
  if (SamePixel(c, n)) return 0;
  return YiqY(c[2] - n[2], c[1] - n[1], c[0] - n[0]);
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

// Per-pixel sibling verdicts of one picture for the rows around the current
// one: four rows reused in turn, each cleared when it is taken for a new
// image row.
struct SiblingRows {
  uint8_t* bytes = nullptr;  // 4 rows of `width`
  int32_t width = 0;
  int32_t tag[4] = {-1, -1, -1, -1};
  bool full[4] = {};  // every verdict of the row known

  uint8_t* Row(int32_t y) {
    const auto slot = static_cast<size_t>(y & 3);
    uint8_t* row = bytes + slot * static_cast<size_t>(width);
    if (tag[slot] != y) {
      std::memset(row, kSiblingsUnknown, static_cast<size_t>(width));
      tag[slot] = y;
      full[slot] = false;
    }
    return row;
  }
  bool Full(int32_t y) const { return tag[y & 3] == y && full[y & 3]; }
  void SetFull(int32_t y) { full[y & 3] = tag[y & 3] == y; }
};

// ------------------------------------------------ anti-aliasing, whole rows
//
// Where a row has many candidates, the rule's inputs are prepared for whole
// rows at once with AVX2 (the lazy per-pixel path above serves the rest,
// and processors without AVX2): each picture's pixels packed in 32 bits,
// their brightness (below), and every pixel's sibling verdict.  Each row is
// prepared once while the rows around it are classified.

// Brightness for the anti-aliasing rule, as an exact integer.  pixelmatch
// takes the brightness difference of the centre and a neighbour as YIQ's Y
// of their channel differences in doubles, and only compares these
// differences with 0 and with each other.  Over every triple of channel
// differences, that double orders exactly as dr * 29889531 + dg * 58662247 +
// db * 11448223 (the weights times 10^8) does, with no two triples equal
// and 0 only for equal pixels: checked for all 511^3 triples (neighbours in
// that order lie at least 3.4e-7 apart in the doubles, far above their
// rounding).  That integer is a difference of per-pixel values below 2^35,
// held exactly in doubles: a darker neighbour (a negative difference) is
// one with a larger value, an equal one the same pixel.
constexpr double kBrightRed = 29889531;
constexpr double kBrightGreen = 58662247;
constexpr double kBrightBlue = 11448223;

// A packed pixel never equals this: it stands for the pixels beyond the
// picture's edges.
constexpr uint32_t kOutside = 0xFF000000u;

// Bytes 1 (few siblings) or 2 (many) for the 8 bits of a mask.
struct VerdictBytes {
  uint64_t of[256];
};

constexpr VerdictBytes MakeVerdictBytes() {
  VerdictBytes t{};
  for (unsigned m = 0; m < 256; ++m) {
    uint64_t v = 0;
    for (unsigned k = 0; k < 8; ++k) v |= uint64_t{(m >> k) & 1u ? kManySiblings : kFewSiblings} << (8 * k);
    t.of[m] = v;
  }
  return t;
}

constexpr VerdictBytes kVerdictBytes = MakeVerdictBytes();

// Sibling verdict of pixel x of a row from its packed rows (each with one
// kOutside entry before and after; row above and below kOutside beyond the
// picture); `edge` is 1 on the picture's border.
uint8_t SiblingVerdict(const uint32_t* up, const uint32_t* mid, const uint32_t* down, int32_t x, int edge) {
  const uint32_t c = mid[x + 1];
  const int zeroes = edge + (up[x] == c) + (up[x + 1] == c) + (up[x + 2] == c) + (mid[x] == c) + (mid[x + 2] == c) +
                     (down[x] == c) + (down[x + 1] == c) + (down[x + 2] == c);
  return zeroes > 2 ? kManySiblings : kFewSiblings;
}

#if defined(DIFFMARK_HAVE_AVX2)
#define DIFFMARK_HAVE_PREPARED_ROWS 1

// Packs a row of `width` pixels into dst[1 .. width] (blue, green, red, 0)
// and their brightness into bright[0 .. width).
__attribute__((target("avx2"))) void PackRowAvx2(const uint8_t* src, int32_t width, uint32_t* dst, double* bright) {
  const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 0, 3, 4, 5, 0);
  const __m256i spread = _mm256_setr_epi8(0, 1, 2, -128, 3, 4, 5, -128, 6, 7, 8, -128, 9, 10, 11, -128, 0, 1, 2, -128,
                                          3, 4, 5, -128, 6, 7, 8, -128, 9, 10, 11, -128);
  const __m256i low = _mm256_set1_epi32(0xFF);
  const __m256d wr = _mm256_set1_pd(kBrightRed);
  const __m256d wg = _mm256_set1_pd(kBrightGreen);
  const __m256d wb = _mm256_set1_pd(kBrightBlue);
  int32_t x = 0;
  // 32 bytes are read for 8 pixels (24 bytes): stop while they lie in the row.
  for (; x + 11 <= width; x += 8) {
    __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + static_cast<ptrdiff_t>(x) * 3));
    v = _mm256_shuffle_epi8(_mm256_permutevar8x32_epi32(v, lanes), spread);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 1 + x), v);
    const __m256i r = _mm256_srli_epi32(v, 16);
    const __m256i g = _mm256_and_si256(_mm256_srli_epi32(v, 8), low);
    const __m256i b = _mm256_and_si256(v, low);
    for (int half = 0; half < 2; ++half) {
      const __m128i r4 = half == 0 ? _mm256_castsi256_si128(r) : _mm256_extracti128_si256(r, 1);
      const __m128i g4 = half == 0 ? _mm256_castsi256_si128(g) : _mm256_extracti128_si256(g, 1);
      const __m128i b4 = half == 0 ? _mm256_castsi256_si128(b) : _mm256_extracti128_si256(b, 1);
      const __m256d sum = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(_mm256_cvtepi32_pd(r4), wr),
                                                      _mm256_mul_pd(_mm256_cvtepi32_pd(g4), wg)),
                                        _mm256_mul_pd(_mm256_cvtepi32_pd(b4), wb));
      _mm256_storeu_pd(bright + x + 4 * half, sum);
    }
  }
  for (; x < width; ++x) {
    const uint8_t* p = src + static_cast<ptrdiff_t>(x) * 3;
    dst[1 + x] = uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16;
    bright[x] = p[2] * kBrightRed + p[1] * kBrightGreen + p[0] * kBrightBlue;
  }
  dst[0] = kOutside;
  dst[width + 1] = kOutside;
}

// The sibling verdicts of a row of `width` pixels into out[0 .. width),
// from the packed rows above, of and below it.
__attribute__((target("avx2"))) void SiblingRowAvx2(const uint32_t* up, const uint32_t* mid, const uint32_t* down,
                                                    int32_t width, bool edgeRow, uint8_t* out) {
  const int edge = edgeRow ? 1 : 0;
  const __m256i base = _mm256_set1_epi32(-edge);  // counts run negative: equal lanes are -1
  const __m256i limit = _mm256_set1_epi32(-3);
  int32_t x = 0;
  for (; x + 8 <= width; x += 8) {
    const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(mid + x + 1));
    __m256i n = base;
    for (const uint32_t* row : {up, mid, down}) {
      for (int dx = 0; dx < 3; ++dx) {
        if (row == mid && dx == 1) continue;
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + x + dx));
        n = _mm256_add_epi32(n, _mm256_cmpeq_epi32(v, c));
      }
    }
    // many siblings: n <= -3, that is -3 > n or n == -3
    const __m256i many = _mm256_or_si256(_mm256_cmpgt_epi32(limit, n), _mm256_cmpeq_epi32(limit, n));
    const auto mask = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(many)));
    std::memcpy(out + x, &kVerdictBytes.of[mask], 8);
  }
  for (; x < width; ++x) out[x] = SiblingVerdict(up, mid, down, x, edge);
  // The first and last pixels lie on the border.
  out[0] = SiblingVerdict(up, mid, down, 0, 1);
  if (width > 1) out[width - 1] = SiblingVerdict(up, mid, down, width - 1, 1);
}

bool HavePreparedRows() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}

const bool kPreparedRows = HavePreparedRows();
#endif

// One picture's prepared rows: packed rows in a ring of 8 (rows y - 2 to
// y + 2 are read), brightness in a ring of 4 (y - 1 to y + 1), and the
// sibling verdicts in the picture's SiblingRows.
struct PreparedPicture {
  const Band* band = nullptr;
  SiblingRows* siblings = nullptr;
  int32_t width = 0;
  uint32_t* packed = nullptr;  // 8 rows of width + 2
  double* bright = nullptr;    // 4 rows of width
  uint32_t* outside = nullptr; // a row of kOutside, for rows beyond the picture
  int32_t packedTag[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
  int32_t brightTag[4] = {-1, -1, -1, -1};

  size_t PackedStride() const { return static_cast<size_t>(width) + 2; }

#if defined(DIFFMARK_HAVE_PREPARED_ROWS)
  // Packs image row y (and its brightness) unless it is packed already.
  void Pack(int32_t y) {
    const auto slot = static_cast<size_t>(y & 7);
    if (packedTag[slot] == y) return;
    double* b = bright + static_cast<size_t>(y & 3) * static_cast<size_t>(width);
    PackRowAvx2(band->rows.Row(y - band->first), width, packed + slot * PackedStride(), b);
    packedTag[slot] = y;
    brightTag[y & 3] = y;
  }
  const uint32_t* PackedRow(int32_t y) const {
    return y < 0 || y >= band->imageHeight ? outside : packed + static_cast<size_t>(y & 7) * PackedStride();
  }
  const double* BrightRow(int32_t y) {
    if (brightTag[y & 3] != y) {
      packedTag[y & 7] = -1;  // packed again with its brightness
      Pack(y);
    }
    return bright + static_cast<size_t>(y & 3) * static_cast<size_t>(width);
  }
  // Makes every sibling verdict of image row y known.
  void Siblings(int32_t y) {
    if (siblings->Full(y)) return;
    for (int32_t k = y - 1; k <= y + 1; ++k) {
      if (k >= 0 && k < band->imageHeight) Pack(k);
    }
    SiblingRowAvx2(PackedRow(y - 1), PackedRow(y), PackedRow(y + 1), width, y == 0 || y == band->imageHeight - 1,
                   siblings->Row(y));
    siblings->SetFull(y);
  }
#endif
};

// The slope rule at an inner pixel (x, y) of picture `img` from prepared
// rows: brightness rows y - 1 to y + 1 of `img`, sibling rows y - 1 to
// y + 1 of both pictures.  Neighbours in pixelmatch's order: column by
// column.
bool AntialiasedPrepared(const double* const bright[3], uint8_t* const many[3], uint8_t* const altMany[3],
                         int32_t x) {
  // Equal brightness is an equal pixel: three equal neighbours are the
  // centre's own sibling verdict.
  if (many[1][x] == kManySiblings) return false;
  static constexpr int kDx[8] = {-1, -1, -1, 0, 0, 1, 1, 1};
  static constexpr int kDy[8] = {0, 1, 2, 0, 2, 0, 1, 2};
  const double centre = bright[1][x];
  double darkest = centre;
  double brightest = centre;
  int dark = -1;
  int light = -1;
  for (int k = 0; k < 8; ++k) {
    const double v = bright[kDy[k]][x + kDx[k]];
    if (v > darkest) {
      darkest = v;
      dark = k;
    }
    if (v < brightest) {
      brightest = v;
      light = k;
    }
  }
  if (dark < 0 || light < 0) return false;
  const int32_t dx = x + kDx[dark];
  const int32_t lx = x + kDx[light];
  return (many[kDy[dark]][dx] == kManySiblings && altMany[kDy[dark]][dx] == kManySiblings) ||
         (many[kDy[light]][lx] == kManySiblings && altMany[kDy[light]][lx] == kManySiblings);
}

bool HoldsRows(const Band& band, int32_t from, int32_t to) {
  return from >= band.first && to <= int64_t{band.first} + band.rows.height;
}

Window MakeWindow(const Band& band, int32_t y, SiblingRows* siblings) {
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
  for (int32_t k = -1; k <= 1; ++k) {
    const int32_t py = y + k;
    w.siblings[k + 1] = py >= 0 && py < band.imageHeight ? siblings->Row(py) : nullptr;
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
  const HyabParts h = Hyab(first[0], first[1], first[2], second[0], second[1], second[2]);
  const double delta = std::fabs(h.dl) + std::sqrt(h.ab2);
  return h.dl > 0 ? -delta : delta;
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

namespace {

// The buffers of ClassifyRows, kept by each thread from call to call up to
// kKeptScratch bytes: the streamed path and the whole-picture path call it
// for every few dozen rows, and memory handed back to the system costs a
// page fault per page when it is taken again.
constexpr uint64_t kKeptScratch = uint64_t{16} << 20;

struct ScratchBlock {
  uint8_t* bytes = nullptr;
  uint64_t size = 0;
  bool inUse = false;
  ScratchBlock() = default;
  ScratchBlock(const ScratchBlock&) = delete;
  ScratchBlock& operator=(const ScratchBlock&) = delete;
  ~ScratchBlock() { delete[] bytes; }
};

thread_local ScratchBlock tScratch;

// `size` bytes for one call: the thread's kept block, or a block of its
// own when the kept one is in use (a sink that classifies again).  Null
// when memory runs out.
class Scratch {
 public:
  explicit Scratch(uint64_t size) {
    if (size > SIZE_MAX) return;
    if (tScratch.inUse) {
      own_ = new (std::nothrow) uint8_t[static_cast<size_t>(size)];
      bytes_ = own_;
      return;
    }
    if (tScratch.size < size) {
      delete[] tScratch.bytes;
      tScratch.bytes = new (std::nothrow) uint8_t[static_cast<size_t>(size)];
      tScratch.size = tScratch.bytes == nullptr ? 0 : size;
    }
    bytes_ = tScratch.bytes;
    tScratch.inUse = bytes_ != nullptr;
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  ~Scratch() {
    if (own_ != nullptr) {
      delete[] own_;
      return;
    }
    if (bytes_ == nullptr) return;
    tScratch.inUse = false;
    if (tScratch.size > kKeptScratch) {
      delete[] tScratch.bytes;
      tScratch.bytes = nullptr;
      tScratch.size = 0;
    }
  }
  uint8_t* bytes() const { return bytes_; }

 private:
  uint8_t* bytes_ = nullptr;
  uint8_t* own_ = nullptr;
};

// Offsets of the parts of a scratch block, each aligned to 64 bytes.
struct ScratchLayout {
  uint64_t size = 0;
  uint64_t Add(uint64_t bytes) {
    const uint64_t at = size;
    size += (bytes + 63) / 64 * 64;
    return at;
  }
};

}  // namespace

bool ClassifyRows(const PerceptualSettings& settings, const Band& base, const Band& other, int32_t fromRow,
                  int32_t toRow, PerceptualCounts* counts, RowSink sink, void* context) {

  if (counts == nullptr || base.rows.width != other.rows.width || base.imageHeight != other.imageHeight ||
      base.rows.width < 0 || fromRow < 0 || toRow > base.imageHeight || fromRow > toRow) {
    return false;
  }
  const int32_t width = base.rows.width;
  const int32_t height = base.imageHeight;
  const int32_t margin = settings.antialiasing ? kAntialiasContextRows : 0;
  const int32_t needFrom = fromRow - margin < 0 ? 0 : fromRow - margin;
  const int32_t needTo = toRow + margin > height ? height : toRow + margin;
  if (fromRow == toRow) return true;
  if (!HoldsRows(base, needFrom, needTo) || !HoldsRows(other, needFrom, needTo)) return false;

  const auto w = static_cast<size_t>(width);
  const bool antialiasing = settings.antialiasing;
  const Metric metric = settings.metric;
#if defined(DIFFMARK_HAVE_PREPARED_ROWS)
  const bool canPrepare = antialiasing && kPreparedRows && width >= 3 && height >= 3;
#else
  const bool canPrepare = false;
#endif
  // The row's verdicts; with anti-aliasing, four rows of sibling verdicts
  // for each picture and the x of the row's pixels over the threshold;
  // the OKLab table; the prepared rows (packed pixels, 8 rows of each
  // picture and one row beyond the edge; brightness, 4 rows of each).
  const auto w64 = static_cast<uint64_t>(width);
  ScratchLayout layout;
  const uint64_t classesAt = layout.Add((antialiasing ? 9 : 1) * w64 + 1);
  const uint64_t candidatesAt = antialiasing ? layout.Add(4 * (w64 + 1)) : 0;
  const uint64_t oklabAt = metric == Metric::Oklab ? layout.Add(sizeof(OklabMemo)) : 0;
  const uint64_t packedAt = canPrepare ? layout.Add(4 * 17 * (w64 + 2)) : 0;
  const uint64_t brightAt = canPrepare ? layout.Add(8 * 8 * w64) : 0;
  Scratch scratch(layout.size);
  uint8_t* const block = scratch.bytes();
  if (block == nullptr) return false;
  uint8_t* const classes = block + classesAt;
  auto* const candidates = antialiasing ? reinterpret_cast<int32_t*>(block + candidatesAt) : nullptr;
  SiblingRows siblings[2];
  if (antialiasing) {
    for (int k = 0; k < 2; ++k) {
      siblings[k].width = width;
      siblings[k].bytes = classes + w + 4 * w * static_cast<size_t>(k);
    }
  }
  OklabMemo* oklab = nullptr;
  if (metric == Metric::Oklab) {
    oklab = new (block + oklabAt) OklabMemo;
    oklab->Clear();
  }
  // Whole rows are prepared for the rule where a row has at least this many
  // candidates (preparing costs about what the per-pixel path spends on a
  // candidate for every 32 pixels of the row).
  PreparedPicture prepared[2];
  const int32_t preparedFrom = width / 32 > 8 ? width / 32 : 8;
  if (canPrepare) {
    const size_t stride = w + 2;
    auto* packed = reinterpret_cast<uint32_t*>(block + packedAt);
    auto* bright = reinterpret_cast<double*>(block + brightAt);
    uint32_t* outside = packed + 16 * stride;
    for (size_t k = 0; k < stride; ++k) outside[k] = kOutside;
    for (int k = 0; k < 2; ++k) {
      prepared[k].band = k == 0 ? &base : &other;
      prepared[k].siblings = &siblings[k];
      prepared[k].width = width;
      prepared[k].packed = packed + 8 * stride * static_cast<size_t>(k);
      prepared[k].bright = bright + 4 * w * static_cast<size_t>(k);
      prepared[k].outside = outside;
    }
  }

  const double limit = PerceptualLimit(metric, settings.threshold);
  // Pixels whose channels differ by no more than this are within the
  // threshold whatever their colours: the scan passes over them.
  const uint8_t slack = metric == Metric::Channel ? static_cast<uint8_t>(std::clamp(settings.channelThreshold, 0, 255))
                       : metric == Metric::Yiq   ? YiqSlack(limit)
                                                 : OklabSlack(settings.threshold);
  const size_t rowBytes = w * 3;
  PerceptualCounts found;
  for (int32_t y = fromRow; y < toRow; ++y) {
    const uint8_t* a = base.rows.Row(y - base.first);
    const uint8_t* b = other.rows.Row(y - other.first);
    bool marked = false;
    int32_t candidateCount = 0;
    // Next pixel that differs: where one differs its neighbour often does
    // too, so the pixel after it is tried before the vector scan.
    const auto next = [&](size_t from) {
      if (slack == 0) {
        return from + 3 <= rowBytes && !SamePixel(a + from, b + from) ? from
                                                                     : kFirstDifference(a, b, from, rowBytes) / 3 * 3;
      }
      return from + 3 <= rowBytes && Far(a + from, b + from, slack) ? from
                                                                     : kFirstFar(a, b, from, rowBytes, slack) / 3 * 3;
    };
    for (size_t o = next(0); o < rowBytes; o = next(o + 3)) {
      const size_t px = o / 3;
      const uint8_t* p = a + o;
      const uint8_t* q = b + o;
      bool darker = false;
      if (metric == Metric::Channel) {
        // The byte rule, for anti-aliasing detection with the Channel metric.
        const int t = settings.channelThreshold;
        if (std::abs(p[0] - q[0]) <= t && std::abs(p[1] - q[1]) <= t && std::abs(p[2] - q[2]) <= t) continue;
      } else if (metric == Metric::Oklab) {
        const HyabParts h = HyabOf(oklab->Of(p[2], p[1], p[0]), oklab->Of(q[2], q[1], q[0]));
        if (!HyabOver(h, settings.threshold)) continue;
        darker = h.dl > 0;
      } else {
        const double delta = YiqDeltaRgb(p[2], p[1], p[0], q[2], q[1], q[0]);
        if (!(std::fabs(delta) > limit)) continue;
        darker = delta < 0;
      }
      if (!marked) {
        std::memset(classes, kPixelSame, w);
        marked = true;
      }
      const auto x = static_cast<int32_t>(px);
      classes[px] = darker ? kPixelDarker : kPixelLighter;
      if (antialiasing) {
        candidates[candidateCount++] = x;
        continue;
      }
      ++found.differing;
      if (x < found.left) found.left = x;
      if (x > found.right) found.right = x;
      if (y < found.top) found.top = y;
      found.bottom = y;
    }
    if (candidateCount > 0) {
      // The anti-aliasing rule for the row's pixels over the threshold.
      const Window wa = MakeWindow(base, y, &siblings[0]);
      const Window wb = MakeWindow(other, y, &siblings[1]);
      bool whole = false;
      const double* bright[2][3] = {};
      uint8_t* many[2][3] = {};
#if defined(DIFFMARK_HAVE_PREPARED_ROWS)
      if (canPrepare && candidateCount >= preparedFrom && y > 0 && y + 1 < height) {
        whole = true;
        for (int k = 0; k < 2; ++k) {
          for (int32_t r = 0; r < 3; ++r) {
            prepared[k].Siblings(y - 1 + r);
            many[k][r] = siblings[k].Row(y - 1 + r);
          }
          for (int32_t r = 0; r < 3; ++r) bright[k][r] = prepared[k].BrightRow(y - 1 + r);
        }
      }
#endif
      for (int32_t i = 0; i < candidateCount; ++i) {
        const int32_t x = candidates[i];
        const bool inner = whole && x > 0 && x + 1 < width;
        const bool antialiased =
            inner ? AntialiasedPrepared(bright[0], many[0], many[1], x) ||
                        AntialiasedPrepared(bright[1], many[1], many[0], x)
                  : Antialiased(wa, wb, x, y) || Antialiased(wb, wa, x, y);
        if (antialiased) {
          classes[x] = kPixelAntialiased;
          ++found.antialiased;
          continue;
        }
        ++found.differing;
        if (x < found.left) found.left = x;
        if (x > found.right) found.right = x;
        if (y < found.top) found.top = y;
        found.bottom = y;
      }
    }
    if (sink != nullptr) sink(context, y, marked ? classes : nullptr, width);
  }
  MergeCounts(counts, found);
  return true;
}

namespace {

// The grey of each equal pixel, remembered by colour for the row (direct
// mapped: text rows alternate among a few colours).
struct GreyMemo {
  static constexpr int kBits = 6;
  uint32_t key[1 << kBits];
  uint8_t grey[1 << kBits];
  double alpha;

  explicit GreyMemo(double a) : alpha(a) {
    for (uint32_t& k : key) k = 0xFFFFFFFFu;
  }
  uint8_t Of(const uint8_t* bgr) {
    const uint32_t colour = uint32_t{bgr[2]} << 16 | uint32_t{bgr[1]} << 8 | bgr[0];
    const uint32_t slot = (colour * 2654435761u) >> (32 - kBits);
    if (key[slot] != colour) {
      const uint8_t rgb[3] = {bgr[2], bgr[1], bgr[0]};
      key[slot] = colour;
      grey[slot] = OverlayGrey(rgb, alpha);
    }
    return grey[slot];
  }
};

constexpr int32_t kRunPixels = 16;  // 48 bytes: three 16-byte vectors

#if defined(__SSE2__)
// Whether the 16 pixels at p all equal the pixel the three vectors repeat,
// and the 16 verdicts (if any) are all kPixelSame.
bool RunOfSame(const uint8_t* p, const __m128i pattern[3], const uint8_t* classes) {
  __m128i all = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), pattern[0]);
  all = _mm_and_si128(all, _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)), pattern[1]));
  all = _mm_and_si128(all, _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32)), pattern[2]));
  if (classes != nullptr) {
    all = _mm_and_si128(
        all, _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(classes)), _mm_setzero_si128()));
  }
  return _mm_movemask_epi8(all) == 0xFFFF;
}
#endif

#if defined(DIFFMARK_HAVE_PREPARED_ROWS)
// The greys of 8 pixels at a time as OverlayGrey computes each (the same
// operations in the same order, four doubles at once) for the pixels
// [0, count) of a row whose verdicts are all kPixelSame (`classes` null, or
// checked here); for alpha from 0 to 1, where the grey always lies in
// 0 ... 255.  Returns how many pixels it painted (from the start: it stops at
// the first group of 8 with another verdict, or when fewer than 11 pixels
// remain).  `out` may be `src`: each group is read before it is written.
__attribute__((target("avx2"))) int32_t PaintGreysAvx2(const uint8_t* src, const uint8_t* classes, int32_t count,
                                                      double alpha, uint8_t* out) {
  const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 0, 3, 4, 5, 0);
  const __m256i spread = _mm256_setr_epi8(0, 1, 2, -128, 3, 4, 5, -128, 6, 7, 8, -128, 9, 10, 11, -128, 0, 1, 2, -128,
                                          3, 4, 5, -128, 6, 7, 8, -128, 9, 10, 11, -128);
  const __m256i low = _mm256_set1_epi32(0xFF);
  const __m256d wr = _mm256_set1_pd(0.29889531);
  const __m256d wg = _mm256_set1_pd(0.58662247);
  const __m256d wb = _mm256_set1_pd(0.11448223);
  const __m256d white = _mm256_set1_pd(255);
  const __m256d a = _mm256_set1_pd(alpha);
  // grey byte k of 8 to bytes 3k, 3k + 1, 3k + 2
  const __m128i triple = _mm_setr_epi8(0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5);
  const __m128i tripleHigh = _mm_setr_epi8(5, 5, 6, 6, 6, 7, 7, 7, -128, -128, -128, -128, -128, -128, -128, -128);
  int32_t x = 0;
  for (; x + 11 <= count; x += 8) {
    if (classes != nullptr) {
      uint64_t verdicts = 0;
      std::memcpy(&verdicts, classes + x, 8);
      if (verdicts != 0) break;
    }
    __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + static_cast<ptrdiff_t>(x) * 3));
    v = _mm256_shuffle_epi8(_mm256_permutevar8x32_epi32(v, lanes), spread);
    const __m256i r = _mm256_srli_epi32(v, 16);
    const __m256i g = _mm256_and_si256(_mm256_srli_epi32(v, 8), low);
    const __m256i b = _mm256_and_si256(v, low);
    __m128i grey[2];
    for (int half = 0; half < 2; ++half) {
      const __m128i r4 = half == 0 ? _mm256_castsi256_si128(r) : _mm256_extracti128_si256(r, 1);
      const __m128i g4 = half == 0 ? _mm256_castsi256_si128(g) : _mm256_extracti128_si256(g, 1);
      const __m128i b4 = half == 0 ? _mm256_castsi256_si128(b) : _mm256_extracti128_si256(b, 1);
      const __m256d y = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(_mm256_cvtepi32_pd(r4), wr),
                                                    _mm256_mul_pd(_mm256_cvtepi32_pd(g4), wg)),
                                      _mm256_mul_pd(_mm256_cvtepi32_pd(b4), wb));
      const __m256d scaled = _mm256_div_pd(_mm256_mul_pd(_mm256_mul_pd(_mm256_sub_pd(y, white), a), white), white);
      const __m256d value = _mm256_round_pd(_mm256_add_pd(white, scaled), _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
      grey[half] = _mm256_cvttpd_epi32(value);
    }
    // 8 int32 greys to 8 bytes, then each byte three times.
    const __m128i words = _mm_packs_epi32(grey[0], grey[1]);
    const __m128i bytes = _mm_packus_epi16(words, words);
    uint8_t* o = out + static_cast<ptrdiff_t>(x) * 3;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_shuffle_epi8(bytes, triple));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(o + 16), _mm_shuffle_epi8(bytes, tripleHigh));
  }
  return x;
}
#endif

}  // namespace

void PaintOverlayRow(const OverlayColours& colours, const uint8_t* baseRow, const uint8_t* classes, int32_t width,
                     uint8_t* outRow) {
#if defined(DIFFMARK_HAVE_PREPARED_ROWS)
  if (kPreparedRows && colours.alpha >= 0 && colours.alpha <= 1) {
    // Groups of 8 equal pixels in vectors, the rest one at a time.
    for (int32_t x = 0; x < width;) {
      const int32_t done = PaintGreysAvx2(baseRow + static_cast<ptrdiff_t>(x) * 3,
                                          classes == nullptr ? nullptr : classes + x, width - x, colours.alpha,
                                          outRow + static_cast<ptrdiff_t>(x) * 3);
      x += done;
      const int32_t end = x + 8 < width ? x + 8 : width;
      for (; x < end; ++x) {
        const uint8_t* p = baseRow + static_cast<ptrdiff_t>(x) * 3;
        uint8_t* out = outRow + static_cast<ptrdiff_t>(x) * 3;
        const uint8_t verdict = classes == nullptr ? uint8_t{kPixelSame} : classes[x];
        const uint8_t* rgb = verdict == kPixelLighter  ? colours.differ
                             : verdict == kPixelDarker ? colours.darker
                             : verdict == kPixelAntialiased ? colours.antialiased
                                                            : nullptr;
        if (rgb != nullptr) {
          out[0] = rgb[2];
          out[1] = rgb[1];
          out[2] = rgb[0];
        } else {
          const uint8_t c[3] = {p[2], p[1], p[0]};
          out[0] = out[1] = out[2] = OverlayGrey(c, colours.alpha);
        }
      }
    }
    return;
  }
#endif
  GreyMemo greys(colours.alpha);
  uint8_t last[3] = {0, 0, 0};
  uint8_t lastGrey = greys.Of(last);
#if defined(__SSE2__)
  // Runs of one colour (most of a screen) are painted 16 pixels at a time:
  // after a pixel that repeats the one before, the next 16 are tried as a
  // run of it.
  __m128i pattern[3] = {};
  uint8_t runColour[3] = {0, 0, 0};
  bool patternSet = false;
  int32_t nextTry = 0;
#endif
  for (int32_t x = 0; x < width;) {
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
      ++x;
      continue;
    }
#if defined(__SSE2__)
    if (x >= nextTry && x > 0 && x + kRunPixels <= width && p[0] == p[-3] && p[1] == p[-2] && p[2] == p[-1]) {
      if (!patternSet || p[0] != runColour[0] || p[1] != runColour[1] || p[2] != runColour[2]) {
        alignas(16) uint8_t bytes[3 * kRunPixels];
        for (int32_t k = 0; k < kRunPixels; ++k) std::memcpy(bytes + 3 * k, p, 3);
        for (int k = 0; k < 3; ++k) pattern[k] = _mm_load_si128(reinterpret_cast<const __m128i*>(bytes + 16 * k));
        std::memcpy(runColour, p, 3);
        patternSet = true;
      }
      if (RunOfSame(p, pattern, classes == nullptr ? nullptr : classes + x)) {
        const uint8_t grey = greys.Of(p);
        do {
          std::memset(outRow + static_cast<ptrdiff_t>(x) * 3, grey, 3 * kRunPixels);
          x += kRunPixels;
        } while (x + kRunPixels <= width &&
                 RunOfSame(baseRow + static_cast<ptrdiff_t>(x) * 3, pattern, classes == nullptr ? nullptr : classes + x));
        continue;
      }
      nextTry = x + kRunPixels;
    }
#endif
    if (p[0] != last[0] || p[1] != last[1] || p[2] != last[2]) {
      std::memcpy(last, p, 3);
      lastGrey = greys.Of(p);
    }
    out[0] = out[1] = out[2] = lastGrey;
    ++x;
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
