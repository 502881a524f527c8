// diffmark-cli's option table and the comparison's tables of metrics and
// modes, in-process: what each option sets, what a bad value says, the
// help made from the table, and how each mode marks a pair.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/options.h"
#include "compare/compare.h"
#include "compare/kernels.h"
#include "compare/modes.h"

namespace diffmark::cli {
namespace {

struct Parsed {
  ParseError result;
  Options options;
  std::string error;
};

Parsed Parse(std::vector<std::string> args) {
  args.insert(args.begin(), "diffmark-cli");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  Parsed p;
  p.result = ParseOptions(static_cast<int>(args.size()), argv.data(), &p.options, &p.error);
  return p;
}

TEST(OptionTable, EachOptionSetsWhatItSays) {
  struct Case {
    std::vector<std::string> args;
    bool (*check)(const Options&);
  };
  const Case cases[] = {
      {{"-o", "x.png"}, [](const Options& o) { return o.output == "x.png"; }},
      {{"--output=x.bmp"}, [](const Options& o) { return o.output == "x.bmp"; }},
      {{"--mode", "overlay"}, [](const Options& o) { return o.compare.mode == Mode::Overlay; }},
      {{"--color", "1,2,3"},
       [](const Options& o) {
         return o.colourGiven && o.compare.colour[0] == 3 && o.compare.colour[1] == 2 && o.compare.colour[2] == 1;
       }},
      {{"--colour", "9,9,9"}, [](const Options& o) { return o.colourGiven; }},
      {{"--threshold", "17"}, [](const Options& o) { return o.compare.threshold == 17; }},
      // The threshold is read by the metric, wherever --metric stands.
      {{"--threshold", "0.25", "--metric", "yiq"},
       [](const Options& o) { return o.compare.metric == Metric::Yiq && o.compare.perceptualThreshold == 0.25; }},
      {{"--metric", "oklab"},
       [](const Options& o) { return o.compare.metric == Metric::Oklab && o.compare.perceptualThreshold == 0.1; }},
      {{"--aa"}, [](const Options& o) { return o.compare.antialiasing; }},
      {{"--alpha", "0.5"}, [](const Options& o) { return o.compare.alpha == 0.5; }},
      {{"--aa-color", "0,0,255"},
       [](const Options& o) { return o.compare.aaColour[0] == 255 && o.compare.aaColour[2] == 0; }},
      {{"--max-diff-pixels", "40"}, [](const Options& o) { return o.maxDiffPixels == 40u; }},
      {{"--max-diff-ratio", ".01"}, [](const Options& o) { return o.maxDiffRatio == 0.01; }},
      {{"--max-cluster-pixels", "50"},
       [](const Options& o) { return o.maxClusterPixels == 50u && o.compare.largestCluster; }},
      {{"--ignore", "1,2,3,4", "--ignore", "5,6,7,8"},
       [](const Options& o) { return o.compare.ignore.size() == 2 && o.compare.ignore[1].height == 8; }},
      {{"--json"}, [](const Options& o) { return o.json; }},
      {{"-q"}, [](const Options& o) { return o.quiet; }},
      {{"--plugins", "spi"}, [](const Options& o) { return o.pluginDir == "spi"; }},
      {{"-j", "3"}, [](const Options& o) { return o.jobs == 3u; }},
      {{"--report", "r.html"}, [](const Options& o) { return o.report == "r.html"; }},
      {{"--junit", "results.xml"}, [](const Options& o) { return o.junit == "results.xml"; }},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"a.png", "b.png"});
    const Parsed p = Parse(args);
    EXPECT_EQ(p.result, ParseError::None) << c.args[0] << ": " << p.error;
    EXPECT_TRUE(c.check(p.options)) << c.args[0];
    EXPECT_EQ(p.options.base, "a.png");
    EXPECT_EQ(p.options.other, "b.png");
  }
}

TEST(OptionTable, BadValuesAndWrongCommandLines) {
  struct Case {
    std::vector<std::string> args;
    ParseError result;
    const char* error;
  };
  const Case cases[] = {
      {{"--alpha", "2", "a", "b"}, ParseError::Value, "--alpha takes a number from 0 to 1, not \"2\""},
      {{"--alpha", "-0", "a", "b"}, ParseError::Value, "--alpha takes a number from 0 to 1, not \"-0\""},
      {{"--threshold", "1e-1", "--metric", "yiq", "a", "b"}, ParseError::Value,
       "--threshold takes a number from 0 to 1 with --metric yiq, not \"1e-1\""},
      {{"--aa-color", "red", "a", "b"}, ParseError::Value, "--aa-color takes R,G,B, each 0 to 255, not \"red\""},
      {{"-j", "0", "a", "b"}, ParseError::Value, "-j takes a number of jobs from 1 to 1024, not \"0\""},
      {{"--nope", "a", "b"}, ParseError::Usage, "unknown option --nope"},
      {{"a", "b", "--plugins"}, ParseError::Usage, "option --plugins needs a value"},
      {{"a"}, ParseError::Usage, "two images (or two folders) to compare are needed"},
  };
  for (const Case& c : cases) {
    const Parsed p = Parse(c.args);
    EXPECT_EQ(p.result, c.result) << c.error;
    EXPECT_EQ(p.error, c.error);
  }
}

TEST(OptionTable, TheHelpListsEveryOptionAndEveryMetricAndMode) {
  const std::string help = UsageText("diffmark-cli", true);
  for (const OptionSpec& entry : OptionTable()) {
    if (std::string(entry.longName) == "colour") continue;  // the other spelling of --color
    EXPECT_NE(help.find(std::string("--") + entry.longName), std::string::npos) << entry.longName;
  }
  for (const MetricInfo& m : Metrics()) EXPECT_NE(help.find(std::string(m.name) + ": "), std::string::npos) << m.name;
  for (const ModeInfo& m : Modes()) EXPECT_NE(help.find(std::string(m.name) + ": "), std::string::npos) << m.name;
  EXPECT_NE(UsageText("diffmark-cli", false).find("PNG output is not available"), std::string::npos);
}

// Every mode of the table on one small pair: which pixels it changes and
// to what; the counts are the metric's, whatever the mode.
TEST(ModeTable, EachModeMarksTheBaseItsWay) {
  // Three pixels in a row: equal, differing in blue by 9, differing in all.
  const uint8_t baseBytes[] = {10, 20, 30, 40, 50, 60, 70, 80, 90};
  const uint8_t otherBytes[] = {10, 20, 30, 49, 50, 60, 0, 0, 0};
  struct Case {
    Mode mode;
    std::vector<uint8_t> marked;
  };
  const Case cases[] = {
      {Mode::Channels, {10, 20, 30, kMarkerBlue, 50, 60, kMarkerBlue, kMarkerGreen, kMarkerRed}},
      {Mode::Pixels, {10, 20, 30, 1, 2, 3, 1, 2, 3}},
      {Mode::Mask, {0, 0, 0, 1, 2, 3, 1, 2, 3}},
      // Overlay: the equal pixel a faded grey of the base (alpha 0.1):
      // 255 + (Y - 255) * 0.1 with Y = 21.8 for red 30, green 20, blue 10.
      {Mode::Overlay, {231, 231, 231, 1, 2, 3, 1, 2, 3}},
  };
  ASSERT_EQ(std::size(cases), Modes().size()) << "a mode of the table has no case here";
  for (const Case& c : cases) {
    std::vector<uint8_t> base(std::begin(baseBytes), std::end(baseBytes));
    std::vector<uint8_t> other(std::begin(otherBytes), std::end(otherBytes));
    CompareOptions options;
    options.mode = c.mode;
    options.colour[0] = 1;
    options.colour[1] = 2;
    options.colour[2] = 3;
    const Picture b{base.data(), 12, 3, 1, true};
    const Picture o{other.data(), 12, 3, 1, true};
    const Stats s = ComparePictures(b, o, options);
    EXPECT_EQ(s.differentPixels, 2u) << InfoOf(c.mode).name;
    EXPECT_EQ(s.differentBytes, 4u) << InfoOf(c.mode).name;
    EXPECT_EQ(base, c.marked) << InfoOf(c.mode).name;
  }
}

// Each metric of the table on pairs it must and must not count.
TEST(MetricTable, EachMetricCountsByItsOwnRule) {
  struct Case {
    Metric metric;
    uint8_t other[3];  // against a base pixel of (100, 100, 100)
    bool differs;
  };
  const Case cases[] = {
      {Metric::Channel, {100, 100, 101}, true},  // any byte, at threshold 0
      {Metric::Yiq, {100, 100, 101}, false},     // far under pixelmatch's default 0.1
      {Metric::Yiq, {100, 100, 160}, true},
      {Metric::Oklab, {100, 100, 101}, false},
      {Metric::Oklab, {100, 100, 160}, true},
  };
  for (const Case& c : cases) {
    uint8_t base[4] = {100, 100, 100, 0};
    uint8_t other[4] = {c.other[0], c.other[1], c.other[2], 0};
    CompareOptions options;
    options.metric = c.metric;
    options.mode = Mode::Pixels;
    const Stats s = ComparePictures(Picture{base, 4, 1, 1, true}, Picture{other, 4, 1, 1, true}, options);
    EXPECT_EQ(s.differentPixels, c.differs ? 1u : 0u) << InfoOf(c.metric).name << " " << int{c.other[2]};
  }
}

}  // namespace
}  // namespace diffmark::cli
