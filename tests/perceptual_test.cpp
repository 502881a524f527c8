// The perceptual comparison's rules on small pictures.  Every expected value
// was read from pixelmatch itself (7.1.0 for yiq, 8.0.0 for oklab) on the
// same pixels; tests/perceptual_oracle_test.py compares whole screenshots.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "compare/compare.h"
#include "compare/perceptual.h"

namespace diffmark {
namespace {

// A picture drawn with one letter per pixel, kept with its rows.
struct Drawn {
  std::vector<uint8_t> bytes;
  Picture picture;
};

void Colour(char letter, uint8_t rgb[3]) {
  struct Entry {
    char letter;
    uint8_t r, g, b;
  };
  static const Entry kColours[] = {
      {'W', 255, 255, 255}, {'K', 0, 0, 0},       {'G', 128, 128, 128}, {'g', 192, 192, 192},
      {'d', 64, 64, 64},    {'R', 200, 30, 30},   {'B', 30, 60, 200},   {'a', 100, 100, 100},
      {'b', 110, 110, 110}, {'c', 120, 120, 120}, {'e', 140, 140, 140}, {'f', 150, 150, 150},
      {'h', 160, 160, 160}, {'i', 170, 170, 170}, {'j', 180, 180, 180}, {'k', 90, 90, 90},
      {'l', 80, 80, 80},    {'m', 200, 200, 200}, {'n', 210, 210, 210}, {'o', 220, 220, 220},
      {'p', 230, 230, 230},
  };
  for (const Entry& e : kColours) {
    if (e.letter == letter) {
      rgb[0] = e.r;
      rgb[1] = e.g;
      rgb[2] = e.b;
      return;
    }
  }
  ADD_FAILURE() << "no colour for " << letter;
}

// Rows of letters, top first; stored bottom-up or top-down with padded rows.
Drawn Draw(const std::vector<std::string>& rows, bool bottomUp) {
  Drawn d;
  const auto height = static_cast<int32_t>(rows.size());
  const auto width = static_cast<int32_t>(rows[0].size());
  const int64_t stride = (int64_t{width} * 3 + 3) / 4 * 4;
  d.bytes.assign(static_cast<size_t>(stride * height), 0xEE);
  d.picture = Picture{d.bytes.data(), stride, width, height, bottomUp};
  for (int32_t y = 0; y < height; ++y) {
    uint8_t* row = d.picture.Row(y);
    for (int32_t x = 0; x < width; ++x) {
      uint8_t rgb[3] = {0, 0, 0};
      Colour(rows[static_cast<size_t>(y)][static_cast<size_t>(x)], rgb);
      row[x * 3] = rgb[2];
      row[x * 3 + 1] = rgb[1];
      row[x * 3 + 2] = rgb[0];
    }
  }
  return d;
}

Drawn OnePixel(const uint8_t rgb[3]) {
  Drawn d;
  d.bytes = {rgb[2], rgb[1], rgb[0], 0};
  d.picture = Picture{d.bytes.data(), 4, 1, 1, true};
  return d;
}

PerceptualCounts Classify(const PerceptualSettings& settings, const Picture& a, const Picture& b) {
  PerceptualCounts counts;
  EXPECT_TRUE(ClassifyRows(settings, WholePicture(a), WholePicture(b), 0, a.height, &counts, nullptr, nullptr));
  return counts;
}

// ------------------------------------------------------------- thresholds

struct Boundary {
  uint8_t first[3];
  uint8_t second[3];
  double yiq;    // the smallest threshold at which pixelmatch 7.1 counts nothing
  double oklab;  // the same for pixelmatch 8.0
};

const Boundary kBoundaries[] = {
    {{0, 0, 0}, {255, 255, 255}, 0.965941861103904, 1.0000000296701808},
    {{255, 255, 255}, {250, 250, 250}, 0.01894003649223341, 0.017353897163920842},
    {{10, 20, 30}, {12, 18, 35}, 0.0071388042805031965, 0.015352452001002808},
    {{200, 100, 50}, {200, 100, 51}, 0.0012670209763789048, 0.0009832273861620565},
    {{255, 0, 0}, {0, 255, 0}, 0.8306713689240788, 0.7383216360107052},
    {{51, 231, 38}, {71, 166, 198}, 0.22311735383960357, 0.4123505043625472},
    {{128, 128, 128}, {129, 127, 128}, 0.003257534780094427, 0.004355924876124803},
    {{0, 0, 0}, {0, 10, 0}, 0.026634536381050684, 0.08565497092145713},
    {{13, 14, 24}, {37, 44, 33}, 0.0998871637886019, 0.14861877974453103},
    {{180, 212, 116}, {196, 222, 105}, 0.04822578738237017, 0.05830086772340566},
};

double Ulps(double x, int n) {
  for (int i = 0; i < (n < 0 ? -n : n); ++i) x = std::nextafter(x, n < 0 ? 0.0 : 2.0);
  return x;
}

TEST(PerceptualThreshold, YiqFlipsAtPixelmatchsThresholdExactly) {
  for (const Boundary& c : kBoundaries) {
    const Drawn a = OnePixel(c.first);
    const Drawn b = OnePixel(c.second);
    PerceptualSettings s{Metric::Yiq, c.yiq, false};
    EXPECT_EQ(Classify(s, a.picture, b.picture).differing, 0u) << c.yiq;
    s.threshold = Ulps(c.yiq, -1);
    EXPECT_EQ(Classify(s, a.picture, b.picture).differing, 1u) << c.yiq;
  }
}

TEST(PerceptualThreshold, OklabFlipsAtPixelmatchsThresholdExactly) {
  for (const Boundary& c : kBoundaries) {
    const Drawn a = OnePixel(c.first);
    const Drawn b = OnePixel(c.second);
    PerceptualSettings s{Metric::Oklab, c.oklab, false};
    EXPECT_EQ(Classify(s, a.picture, b.picture).differing, 0u) << c.oklab;
    s.threshold = Ulps(c.oklab, -1);
    EXPECT_EQ(Classify(s, a.picture, b.picture).differing, 1u) << c.oklab;
    // The distance itself, with its root taken, lands within a few units in
    // the last place of the threshold where the verdict flips.
    EXPECT_NEAR(std::fabs(OklabDelta(c.first, c.second)), c.oklab, c.oklab * 1e-15);
  }
}

TEST(PerceptualThreshold, DefaultAndEqualPixels) {
  EXPECT_EQ(PerceptualSettings{}.threshold, 0.1);
  const uint8_t grey[3] = {128, 128, 128};
  EXPECT_EQ(YiqDelta(grey, grey), 0);
  EXPECT_EQ(OklabDelta(grey, grey), 0);
  // At threshold 0 any change counts, equal pixels never.
  const Drawn a = Draw({"WKG", "RBd"}, true);
  const Drawn b = Draw({"WKg", "RBd"}, false);
  for (Metric m : {Metric::Channel, Metric::Yiq, Metric::Oklab}) {
    EXPECT_EQ(Classify({m, 0, false}, a.picture, b.picture).differing, 1u);
    EXPECT_EQ(Classify({m, 0, false}, a.picture, a.picture).differing, 0u);
  }
  // The byte rule (for anti-aliasing with the channel metric): a pixel
  // counts when some byte is more than the channel threshold apart.
  PerceptualSettings bytes{Metric::Channel, 0, false};
  bytes.channelThreshold = 255;
  EXPECT_EQ(Classify(bytes, a.picture, b.picture).differing, 0u);
}

// ------------------------------------------------------------ anti-aliasing

struct AaCase {
  const char* name;
  std::vector<std::string> base;
  std::vector<std::string> other;
  uint64_t overThreshold;  // pixelmatch with includeAA: true, threshold 0.1 (7.1 and 8.0 alike)
  uint64_t counted;        // with includeAA: false
};

const AaCase kAaCases[] = {
    // A grey column between black and white changes shade: anti-aliasing.
    {"slope", {"KKGWW", "KKGWW", "KKGWW", "KKGWW", "KKGWW"}, {"KKgWW", "KKgWW", "KKgWW", "KKgWW", "KKgWW"}, 5, 0},
    // A dot on white: no brighter neighbour, and eight equal ones.
    {"single", {"WWWWW", "WWWWW", "WWWWW", "WWWWW", "WWWWW"}, {"WWWWW", "WWWWW", "WWKWW", "WWWWW", "WWWWW"}, 1, 1},
    {"noBrighter", {"WWWWW", "WWWWW", "WWGWW", "WWWWW", "WWWWW"}, {"WWWWW", "WWWWW", "WWKWW", "WWWWW", "WWWWW"}, 1, 1},
    // At the border the border counts as one equal neighbour.
    {"border1x5", {"W", "W", "G", "K", "K"}, {"W", "W", "K", "K", "K"}, 1, 1},
    {"corner", {"GWW", "WWW", "WWW"}, {"KWW", "WWW", "WWW"}, 1, 1},
    {"slope3", {"KGW", "KGW", "KGW", "KGW"}, {"KgW", "KgW", "KgW", "KgW"}, 4, 2},
    // Two equally dark neighbours: the first in column order (left, not
    // above) decides, and it is not on a flat area.  Row order would call
    // the pixel anti-aliased.
    {"tieColumnOrder", {"aKKKb", "cfKhd", "eKGij", "klmno", "ppppp"}, {"aKKKb", "cfKhd", "eKWij", "klmno", "ppppp"}, 1,
     1},
    // The dark side is flat in the base but not in the other picture.
    {"flatOneSide",
     {"KKGWW", "KKGWW", "KKGWW", "KKGWW", "KKGWW"},
     {"RBgWW", "BRgWW", "RBgWW", "BRgWW", "RBgWW"},
     15,
     8},
    // Three equal neighbours in the base, two in the other picture.
    {"threeEqual", {"KKGWW", "KGGWW", "KKGWW", "KKGWW", "KKGWW"}, {"KKgWW", "KGgWW", "KKgWW", "KKgWW", "KKgWW"}, 5, 0},
    {"diagonal", {"WWWWK", "WWWKK", "WWGKK", "WGKKK", "GKKKK"}, {"WWWWK", "WWWKK", "WWdKK", "WdKKK", "dKKKK"}, 3, 0},
};

TEST(PerceptualAntialiasing, CasesAsPixelmatchCountsThem) {
  for (const AaCase& c : kAaCases) {
    for (Metric m : {Metric::Yiq, Metric::Oklab}) {
      // One picture bottom-up, the other top-down: rows are found by Row().
      const Drawn a = Draw(c.base, true);
      const Drawn b = Draw(c.other, false);
      const PerceptualCounts all = Classify({m, 0.1, false}, a.picture, b.picture);
      EXPECT_EQ(all.differing, c.overThreshold) << c.name;
      EXPECT_EQ(all.antialiased, 0u) << c.name;
      const PerceptualCounts aa = Classify({m, 0.1, true}, a.picture, b.picture);
      EXPECT_EQ(aa.differing, c.counted) << c.name;
      EXPECT_EQ(aa.antialiased, c.overThreshold - c.counted) << c.name;
    }
  }
}

// Bands of one row each, holding only the context rows the rule reads,
// count what the whole picture counts; a band without them is refused.
TEST(PerceptualAntialiasing, BandsOfRowsCountAsTheWholePicture) {
  const Drawn a = Draw({"KKGWWKK", "KKGWWKK", "KKGWWKG", "KKGWWGW", "KKGWGWW", "KKGGWWW"}, true);
  const Drawn b = Draw({"KKgWWKK", "KKgWWKK", "KKgWWKd", "KKgWWdW", "KKgWdWW", "KKgdWWW"}, true);
  const PerceptualSettings settings{Metric::Yiq, 0.1, true};
  const PerceptualCounts whole = Classify(settings, a.picture, b.picture);
  PerceptualCounts banded;
  const int32_t h = a.picture.height;
  for (int32_t y = 0; y < h; ++y) {
    const int32_t first = y - kAntialiasContextRows < 0 ? 0 : y - kAntialiasContextRows;
    const int32_t last = y + 1 + kAntialiasContextRows > h ? h : y + 1 + kAntialiasContextRows;
    Band ba{a.picture, first, h};
    Band bb{b.picture, first, h};
    ba.rows.height = bb.rows.height = last - first;
    ba.rows.rows = a.picture.Row(last - 1);  // bottom-up: the band's lowest row comes first in memory
    bb.rows.rows = b.picture.Row(last - 1);
    ASSERT_TRUE(ClassifyRows(settings, ba, bb, y, y + 1, &banded, nullptr, nullptr)) << y;
    if (y == 2) {
      Band narrow = ba;
      narrow.first = y;
      narrow.rows.height = 1;
      narrow.rows.rows = a.picture.Row(y);
      PerceptualCounts unused;
      EXPECT_FALSE(ClassifyRows(settings, narrow, bb, y, y + 1, &unused, nullptr, nullptr));
      EXPECT_TRUE(ClassifyRows({Metric::Yiq, 0.1, false}, narrow, bb, y, y + 1, &unused, nullptr, nullptr));
    }
  }
  EXPECT_EQ(banded.differing, whole.differing);
  EXPECT_EQ(banded.antialiased, whole.antialiased);
  EXPECT_GT(whole.antialiased, 0u);
  EXPECT_EQ(std::tie(banded.left, banded.top, banded.right, banded.bottom),
            std::tie(whole.left, whole.top, whole.right, whole.bottom));
}

// ------------------------------------------------------------------ overlay

TEST(PerceptualOverlay, GreyOfEqualPixelsAsPixelmatchTruncatesIt) {
  struct Grey {
    uint8_t rgb[3];
    double alpha;
    uint8_t grey;
  };
  const Grey kGreys[] = {
      {{255, 255, 255}, 0.1, 255}, {{0, 0, 0}, 0.1, 229},       {{200, 30, 30}, 0.1, 237},
      {{30, 60, 200}, 0.1, 236},   {{128, 128, 128}, 0.1, 242}, {{17, 240, 99}, 0.1, 245},
      {{0, 0, 0}, 0.5, 127},       {{200, 30, 30}, 0.5, 167},   {{30, 60, 200}, 0.5, 161},
      {{128, 128, 128}, 0.5, 191}, {{17, 240, 99}, 0.5, 206},
  };
  for (const Grey& g : kGreys) EXPECT_EQ(OverlayGrey(g.rgb, g.alpha), g.grey) << int{g.rgb[0]} << " " << g.alpha;
}

// The sign that picks the colour of darker pixels: YIQ brightness for
// yiq, OKLab lightness for oklab (this pair is darker in one, lighter in the
// other), as pixelmatch 7 and 8 pick their alternative colour.
TEST(PerceptualOverlay, DarkerPixelsByEachMetricsBrightness) {
  const uint8_t first[3] = {175, 179, 103};
  const uint8_t second[3] = {11, 223, 190};
  EXPECT_LT(YiqDelta(first, second), 0);
  EXPECT_GT(OklabDelta(first, second), 0);
  const Drawn a = OnePixel(first);
  const Drawn b = OnePixel(second);
  OverlayColours colours;
  colours.darker[0] = 0;
  colours.darker[2] = 255;
  for (Metric m : {Metric::Yiq, Metric::Oklab}) {
    uint8_t out[4] = {1, 2, 3, 4};
    const Band ob{Picture{out, 4, 1, 1, true}, 0, 1};
    PerceptualCounts counts;
    ASSERT_TRUE(OverlayRows({m, 0, true}, colours, WholePicture(a.picture), WholePicture(b.picture), 0, 1, ob,
                            &counts));
    EXPECT_EQ(counts.differing, 1u);
    // Blue, green, red bytes: blue (0, 0, 255) for darker under yiq, red under oklab.
    if (m == Metric::Yiq) {
      EXPECT_EQ(std::vector<uint8_t>(out, out + 3), (std::vector<uint8_t>{255, 0, 0}));
    } else {
      EXPECT_EQ(std::vector<uint8_t>(out, out + 3), (std::vector<uint8_t>{0, 0, 255}));
    }
    EXPECT_EQ(out[3], 4);  // the row's padding is left alone
  }
}

// A row paints every colour's grey as OverlayGrey gives it, in place or
// not, between pixels of other verdicts or none (rows are painted many
// pixels at a time where the processor allows).
TEST(PerceptualOverlay, RowsPaintEveryColoursGreyAsOverlayGreyHasIt) {
  constexpr int32_t kWidth = 4099;  // not a multiple of any group
  std::vector<uint8_t> row(3 * kWidth);
  std::vector<uint8_t> out(3 * kWidth);
  std::vector<uint8_t> classes(kWidth, kPixelSame);
  for (int32_t x = 100; x < kWidth; x += 37) classes[static_cast<size_t>(x)] = static_cast<uint8_t>(1 + x % 3);
  uint64_t wrong = 0;
  for (double alpha : {0.1, 0.37, 1.0}) {
    OverlayColours colours;
    colours.alpha = alpha;
    for (uint32_t start = 0; start < (1u << 24); start += kWidth) {
      for (size_t k = 0; k < kWidth; ++k) {
        const uint32_t c = (start + static_cast<uint32_t>(k)) & 0xFFFFFFu;
        row[3 * k] = static_cast<uint8_t>(c);
        row[3 * k + 1] = static_cast<uint8_t>(c >> 8);
        row[3 * k + 2] = static_cast<uint8_t>(c >> 16);
      }
      const bool marked = (start / kWidth) % 2 == 1;
      const bool inPlace = (start / kWidth) % 3 == 0;
      if (inPlace) out = row;
      PaintOverlayRow(colours, inPlace ? out.data() : row.data(), marked ? classes.data() : nullptr, kWidth,
                      out.data());
      for (size_t k = 0; k < kWidth; ++k) {
        if (marked && classes[k] != kPixelSame) continue;
        const uint8_t rgb[3] = {row[3 * k + 2], row[3 * k + 1], row[3 * k]};
        const uint8_t grey = OverlayGrey(rgb, alpha);
        if (out[3 * k] != grey || out[3 * k + 1] != grey || out[3 * k + 2] != grey) ++wrong;
      }
    }
  }
  EXPECT_EQ(wrong, 0u);
}

TEST(PerceptualOverlay, PaintsClassesAndGreyInPlace) {
  const Drawn a = Draw({"KKGWW", "KKGWW", "KKGWW"}, true);
  Drawn b = Draw({"KKgWW", "KKGWK", "KKGWW"}, true);
  Drawn copy = a;
  copy.picture.rows = copy.bytes.data();
  OverlayColours colours;
  PerceptualCounts counts;
  // Without anti-aliasing detection the base may be painted in place.
  ASSERT_TRUE(OverlayRows({Metric::Yiq, 0.1, false}, colours, WholePicture(copy.picture), WholePicture(b.picture), 0,
                          3, WholePicture(copy.picture), &counts));
  EXPECT_EQ(counts.differing, 2u);
  EXPECT_EQ(std::tie(counts.left, counts.top, counts.right, counts.bottom), std::make_tuple(2, 0, 4, 1));
  const uint8_t* top = copy.picture.Row(0);
  EXPECT_EQ(top[0], 229);                             // black, faded
  EXPECT_EQ(std::vector<uint8_t>(top + 6, top + 9), (std::vector<uint8_t>{0, 0, 255}));  // red
  EXPECT_EQ(copy.picture.Row(1)[12], 0);              // blue byte of red at x 4
  // With it, painting in place is refused (the rule reads base rows).
  EXPECT_FALSE(OverlayRows({Metric::Yiq, 0.1, true}, colours, WholePicture(a.picture), WholePicture(b.picture), 0, 3,
                           WholePicture(a.picture), &counts));
}

// ------------------------------------------------------------------ threads

// A large pair compared on several threads counts and marks exactly what
// one thread does: parts of rows are classified apart, and rows at their
// seams read the rows of the next part.
TEST(PerceptualThreads, SeveralThreadsCountAndMarkAsOne) {
  constexpr int32_t kWidth = 1031;
  constexpr int32_t kHeight = 1029;  // over a million pixels: the threaded path
  const auto stride = static_cast<int64_t>((kWidth * 3 + 3) / 4 * 4);
  std::vector<uint8_t> base(static_cast<size_t>(stride * kHeight));
  uint32_t seed = 99;
  const auto next = [&seed] {
    seed ^= seed << 13;
    seed ^= seed >> 17;
    seed ^= seed << 5;
    return seed;
  };
  for (int32_t y = 0; y < kHeight; ++y) {
    for (int32_t x = 0; x < kWidth; ++x) {
      uint8_t* p = base.data() + stride * y + 3 * x;
      const bool ink = (x / 3 + y / 5) % 4 == 0;  // stripes: edges everywhere
      for (int k = 0; k < 3; ++k) p[k] = ink ? static_cast<uint8_t>(40 + k * 30) : 250;
    }
  }
  std::vector<uint8_t> other = base;
  for (int n = 0; n < 60000; ++n) {
    const auto y = static_cast<int32_t>(next() % kHeight);
    const auto x = static_cast<int32_t>(next() % kWidth);
    uint8_t* p = other.data() + stride * y + 3 * x;
    const uint32_t v = next();
    for (int k = 0; k < 3; ++k) p[k] = static_cast<uint8_t>(v >> (8 * k));
  }
  // The shorter second picture leaves rows to the first alone, whose parts
  // classify nothing and still count and mark.
  for (const int32_t otherHeight : {kHeight, kHeight - 300}) {
    for (Metric metric : {Metric::Yiq, Metric::Oklab}) {
      for (Mode mode : {Mode::Overlay, Mode::Channels}) {
        SCOPED_TRACE(otherHeight);
        Stats stats[2];
        std::vector<uint8_t> marked[2];
        for (unsigned threads : {1u, 3u}) {
          const int i = threads == 1 ? 0 : 1;
          marked[i] = base;
          CompareOptions options;
          options.metric = metric;
          options.antialiasing = true;
          options.mode = mode;
          options.threads = threads;
          options.largestCluster = true;
          options.ignore.push_back(Region{100, 300, 50, 400});
          stats[i] = ComparePictures(Picture{marked[i].data(), stride, kWidth, kHeight, true},
                                     Picture{other.data(), stride, kWidth, otherHeight, true}, options);
        }
        EXPECT_GT(stats[0].differentPixels, 1000u);
        EXPECT_GT(stats[0].antialiasedPixels, 1000u);
        EXPECT_GT(stats[0].largest.pixels, 0u);
        EXPECT_EQ(std::tie(stats[0].pixels, stats[0].differentPixels, stats[0].differentBytes,
                           stats[0].antialiasedPixels, stats[0].minX, stats[0].minY, stats[0].maxX, stats[0].maxY),
                  std::tie(stats[1].pixels, stats[1].differentPixels, stats[1].differentBytes,
                           stats[1].antialiasedPixels, stats[1].minX, stats[1].minY, stats[1].maxX, stats[1].maxY));
        EXPECT_EQ(std::tie(stats[0].largest.pixels, stats[0].largest.minX, stats[0].largest.minY,
                           stats[0].largest.maxX, stats[0].largest.maxY),
                  std::tie(stats[1].largest.pixels, stats[1].largest.minX, stats[1].largest.minY,
                           stats[1].largest.maxX, stats[1].largest.maxY));
        EXPECT_TRUE(marked[0] == marked[1]);
      }
    }
  }
}

}  // namespace
}  // namespace diffmark
