// diffmark-cli, the real program, on real files in a temporary directory.
#include <gtest/gtest.h>

#include <algorithm>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <diffmark/imageload.h>

#include "support.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

using testsupport::BmpParts;
using testsupport::Bytes;
using testsupport::MakeBmp;
using testsupport::ReadAll;
using testsupport::TempDir;
using testsupport::WriteAll;

const std::string kCli = testsupport::BuildPath(DIFFMARK_CLI_EXE);
const std::string kDiffmark = testsupport::BuildPath(DIFFMARK_EXE);
const std::string kNetpbm = testsupport::BuildPath(DIFFMARK_NETPBM_PLUGIN);
const std::string kExamples = testsupport::BuildPath(DIFFMARK_SOURCE_DIR) + "/examples";

int64_t Stride(int32_t w) { return 3 * int64_t{w} + w % 4; }

// A picture as viewers show it: pixels (red, green, blue), top row first.
struct Rgb {
  uint8_t r, g, b;
  bool operator==(const Rgb&) const = default;
};
struct Image {
  int32_t width = 0;
  int32_t height = 0;
  std::vector<Rgb> pixels;
  Rgb& At(int32_t x, int32_t y) { return pixels[static_cast<size_t>(y * width + x)]; }
};

Image Filled(int32_t w, int32_t h, Rgb colour) { return {w, h, std::vector<Rgb>(static_cast<size_t>(w * h), colour)}; }

// A 24-bit BMP of the picture, bottom-up (or top-down: negative height).
Bytes Bmp(const Image& image, bool topDown = false) {
  BmpParts parts;
  parts.width = image.width;
  parts.height = topDown ? -image.height : image.height;
  parts.pixels.assign(static_cast<size_t>(Stride(image.width) * image.height), 0);
  for (int32_t y = 0; y < image.height; ++y) {
    uint8_t* row = parts.pixels.data() + Stride(image.width) * (topDown ? y : image.height - 1 - y);
    for (int32_t x = 0; x < image.width; ++x) {
      const Rgb& p = image.pixels[static_cast<size_t>(y * image.width + x)];
      row[3 * x] = p.b;
      row[3 * x + 1] = p.g;
      row[3 * x + 2] = p.r;
    }
  }
  return MakeBmp(parts);
}

// The picture of a 24-bit bottom-up BMP with a 54-byte header.
Image Decode(const Bytes& file) {
  Image image;
  if (file.size() < 54) return image;
  image.width = static_cast<int32_t>(file[18] | file[19] << 8 | file[20] << 16 | file[21] << 24);
  image.height = static_cast<int32_t>(file[22] | file[23] << 8 | file[24] << 16 | file[25] << 24);
  if (file.size() < 54 + static_cast<size_t>(Stride(image.width) * image.height)) return Image{};
  for (int32_t y = 0; y < image.height; ++y) {
    const uint8_t* row = file.data() + 54 + Stride(image.width) * (image.height - 1 - y);
    for (int32_t x = 0; x < image.width; ++x) image.pixels.push_back({row[3 * x + 2], row[3 * x + 1], row[3 * x]});
  }
  return image;
}

class Cli : public ::testing::Test {
 protected:
  testsupport::RunOutcome Run(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
    return testsupport::RunProgram(kCli, dir.path(), args, env);
  }
  void Pair(const Image& base, const Image& other) {
    WriteAll(dir / "a.bmp", Bmp(base));
    WriteAll(dir / "b.bmp", Bmp(other));
  }
  TempDir dir;
};

// Base: 5 x 3 of (30, 20, 10).  Other differs at (1,0) in blue by 1, at
// (3,1) in all three channels by 50, at (4,2) in red by 3.
struct Fixture {
  Image base = Filled(5, 3, {30, 20, 10});
  Image other = [] {
    Image o = Filled(5, 3, {30, 20, 10});
    o.At(1, 0).b = 11;
    o.At(3, 1) = {80, 70, 60};
    o.At(4, 2).r = 33;
    return o;
  }();
};

TEST_F(Cli, CountsByThresholdAndIgnoredRegions) {
  const Fixture f;
  Pair(f.base, f.other);
  struct Case {
    std::vector<std::string> options;
    int status;
    const char* line;
  };
  const Case cases[] = {
      {{}, 1, "3 of 15 pixels differ (20.000 %), 5 channel bytes; in x 1\u20134, y 0\u20132\n"},
      {{"--threshold", "1"}, 1, "2 of 15 pixels differ (13.333 %), 4 channel bytes; in x 3\u20134, y 1\u20132\n"},
      {{"--threshold", "3"}, 1, "1 of 15 pixels differ (6.667 %), 3 channel bytes; in x 3\u20133, y 1\u20131\n"},
      {{"--threshold", "50"}, 0, "no pixel differs (15 pixels compared)\n"},
      {{"--ignore", "3,1,1,1"}, 1, "2 of 14 pixels differ (14.286 %), 2 channel bytes; in x 1\u20134, y 0\u20132\n"},
      {{"--ignore", "0,0,5,1", "--ignore=4,2,9,9"}, 1,
       "1 of 9 pixels differ (11.111 %), 3 channel bytes; in x 3\u20133, y 1\u20131\n"},
      {{"--ignore", "0,0,5,3"}, 0, "no pixel differs (0 pixels compared)\n"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = c.options;
    args.insert(args.end(), {"a.bmp", "b.bmp"});
    const auto outcome = Run(args);
    EXPECT_EQ(outcome.exitCode, c.status) << c.line << outcome.standardError;
    EXPECT_EQ(outcome.standardOutput, c.line);
    EXPECT_EQ(outcome.standardError, "");
  }
  const auto quiet = Run({"-q", "a.bmp", "b.bmp"});
  EXPECT_EQ(quiet.exitCode, 1);
  EXPECT_EQ(quiet.standardOutput, "");
}

// Tolerances: a pair passes (exit 0, "passed": true) while every one given
// holds.  The fixture's largest group of touching differing pixels is the
// two at (3,1) and (4,2), which touch by a corner; (1,0) is a group alone.
TEST_F(Cli, TolerancesPassWhileEveryOneGivenHolds) {
  const Fixture f;
  Pair(f.base, f.other);
  struct Case {
    std::vector<std::string> options;
    int status;
  };
  const Case cases[] = {
      {{"--max-cluster-pixels", "1"}, 1},
      {{"--max-cluster-pixels", "2"}, 0},
      {{"--max-cluster-pixels", "2", "--max-diff-pixels", "2"}, 1},
      {{"--max-cluster-pixels", "2", "--max-diff-pixels", "3"}, 0},
      {{"--max-cluster-pixels", "9", "--max-diff-ratio", "0.1"}, 1},  // 3 of 15
      {{"--max-cluster-pixels", "9", "--max-diff-ratio", "0.2"}, 0},
      {{"--threshold", "1", "--max-cluster-pixels", "1"}, 1},  // (3,1) and (4,2) are left
      {{"--threshold", "3", "--max-cluster-pixels", "1"}, 0},  // (3,1) alone is left
  };
  for (const Case& c : cases) {
    for (const char* form : {"-q", "--json"}) {
      std::vector<std::string> args = c.options;
      args.insert(args.end(), {form, "a.bmp", "b.bmp"});
      const auto outcome = Run(args);
      EXPECT_EQ(outcome.exitCode, c.status) << args[0] << " " << args[1] << " " << form << outcome.standardError;
      if (std::string(form) == "--json") {
        EXPECT_NE(outcome.standardOutput.find(c.status == 0 ? "\"passed\": true" : "\"passed\": false"),
                  std::string::npos);
      }
    }
  }
  const auto json = Run({"--json", "--max-cluster-pixels", "2", "a.bmp", "b.bmp"});
  EXPECT_NE(json.standardOutput.find("\"max_cluster_pixels\": 2, "), std::string::npos);
  // The summary names the group the tolerance judged.
  const auto line = Run({"--max-cluster-pixels", "1", "a.bmp", "b.bmp"});
  EXPECT_EQ(line.standardOutput,
            "3 of 15 pixels differ (20.000 %), 5 channel bytes; in x 1\u20134, y 0\u20132; "
            "largest group 2 pixels in x 3\u20134, y 1\u20132\n");
}

TEST_F(Cli, ModesMarkTheCopyOfTheBase) {
  const Fixture f;
  Pair(f.base, f.other);
  const Rgb magenta{255, 0, 255};

  // channels: each differing byte gets its channel's marker.
  Image channels = f.base;
  channels.At(1, 0).b = 255;
  channels.At(3, 1) = magenta;
  channels.At(4, 2).r = 255;
  // pixels: whole pixels in the colour (red unless given).
  Image pixels = f.base;
  for (auto [x, y] : {std::pair{1, 0}, {3, 1}, {4, 2}}) pixels.At(x, y) = {255, 0, 0};
  Image green = f.base;
  for (auto [x, y] : {std::pair{1, 0}, {3, 1}, {4, 2}}) green.At(x, y) = {0, 200, 0};
  // mask: black, differing pixels magenta; with a threshold and an ignored
  // region only (3,1) is left.
  Image mask = Filled(5, 3, {0, 0, 0});
  for (auto [x, y] : {std::pair{1, 0}, {3, 1}, {4, 2}}) mask.At(x, y) = magenta;
  Image maskSome = Filled(5, 3, {0, 0, 0});
  maskSome.At(3, 1) = magenta;

  struct Case {
    std::vector<std::string> options;
    const Image* expected;
    const char* name;
  };
  const Case cases[] = {
      {{}, &channels, "channels"},
      {{"--mode", "pixels"}, &pixels, "pixels"},
      {{"--mode=pixels", "--color", "0,200,0"}, &green, "pixels in green"},
      {{"--mode", "mask"}, &mask, "mask"},
      {{"--mode", "mask", "--threshold", "1", "--ignore", "4,0,1,3"}, &maskSome, "mask, threshold, ignored"},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(dir / "out.bmp");
    std::vector<std::string> args = c.options;
    args.insert(args.end(), {"a.bmp", "b.bmp", "-o", "out.bmp"});
    const auto outcome = Run(args);
    EXPECT_EQ(outcome.exitCode, 1) << c.name << outcome.standardError;
    const Image out = Decode(ReadAll(dir / "out.bmp"));
    EXPECT_EQ(out.width, 5) << c.name;
    EXPECT_EQ(out.pixels, c.expected->pixels) << c.name;
  }
}

// The picture of an image file read back through the library and the
// format plug-ins (png.spi; wic.spi on Windows); empty when it fails.
Image LoadThroughPlugins(const std::filesystem::path& file, std::string* error) {
  using namespace diffmark;
  struct Table {  // the plug-ins of the format plug-in folder, for this call
    Table() {
      ReleasePlugins();
      ok = SetPluginDirectory(testsupport::BuildPath(DIFFMARK_FORMAT_PLUGIN_DIR).c_str());
      ScanPlugins();
    }
    ~Table() {
      ReleasePlugins();
      (void)SetPluginDirectory("");
    }
    bool ok = false;
  } table;
  BlockHandle block = nullptr;
  BitmapInfo info{};
  const uint8_t* rows = table.ok ? LoadImageFile(file.string().c_str(), &block, &info) : nullptr;
  Image image;
  if (rows == nullptr || info.bmiHeader.biBitCount != 24 || info.bmiHeader.biHeight <= 0) {
    *error = LastLoadError() != nullptr ? LastLoadError() : "not 24-bit bottom-up rows";
  } else {
    image.width = info.bmiHeader.biWidth;
    image.height = info.bmiHeader.biHeight;
    for (int32_t y = 0; y < image.height; ++y) {
      const uint8_t* row = rows + Stride(image.width) * (image.height - 1 - y);
      for (int32_t x = 0; x < image.width; ++x) image.pixels.push_back({row[3 * x + 2], row[3 * x + 1], row[3 * x]});
    }
  }
  ReleaseBlock(block);
  return image;
}

// -o x.png (zlib; the Windows Imaging Component on Windows) writes a PNG
// that decodes to the marked pixels, top row first whichever way up the
// base is stored, replacing what was there.
TEST_F(Cli, PngOutputDecodesToTheMarkedPixels) {
  const Fixture f;
  Image marked = f.base;
  marked.At(1, 0).b = 255;
  marked.At(3, 1) = {255, 0, 255};
  marked.At(4, 2).r = 255;
  for (const bool topDown : {false, true}) {
    SCOPED_TRACE(topDown ? "top-down base" : "bottom-up base");
    WriteAll(dir / "a.bmp", Bmp(f.base, topDown));
    WriteAll(dir / "b.bmp", Bmp(f.other));
    WriteAll(dir / "out.png", Bytes(10, 7));
    const auto outcome = Run({"a.bmp", "b.bmp", "-o", "out.png"});
    if (outcome.standardError.find("PNG output is not available") != std::string::npos) {
      GTEST_SKIP() << "this build writes no PNG";
    }
    EXPECT_EQ(outcome.exitCode, 1) << outcome.standardError;
    EXPECT_EQ(outcome.standardError, "");
    const Bytes file = ReadAll(dir / "out.png");
    ASSERT_GT(file.size(), 8u);
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 8), (Bytes{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'}));
    std::string error;
    const Image decoded = LoadThroughPlugins(dir / "out.png", &error);
    if (decoded.width == 0 && error.find("no plug-in") != std::string::npos) {
      GTEST_SKIP() << "no format plug-in reads PNG in this build: " << error;
    }
    EXPECT_EQ(decoded.width, 5) << error;
    EXPECT_EQ(decoded.height, 3);
    EXPECT_EQ(decoded.pixels, marked.pixels);
  }
}

TEST_F(Cli, ChannelsOutputIsTheRunsImageBmpOnTheExamplePair) {
  std::filesystem::copy_file(kExamples + "/Image0.bmp", dir / "Image0.bmp");
  std::filesystem::copy_file(kExamples + "/Image1.bmp", dir / "Image1.bmp");
  const auto run = testsupport::RunProgram(kDiffmark, dir.path());
  ASSERT_EQ(run.exitCode, 0);
  const auto cli = Run({"Image0.bmp", "Image1.bmp", "-o", "cli.bmp"});
  EXPECT_EQ(cli.exitCode, 1) << cli.standardError;
  const Bytes expected = ReadAll(dir / "Image.bmp");
  ASSERT_GT(expected.size(), 54u);
  EXPECT_EQ(ReadAll(dir / "cli.bmp"), expected);
}

TEST_F(Cli, JsonReportsEveryField) {
  const Fixture f;
  Pair(f.base, f.other);
  const auto outcome = Run({"--json", "--threshold", "1", "--ignore", "0,2,2,1", "a.bmp", "b.bmp", "-o", "o.bmp"});
  EXPECT_EQ(outcome.exitCode, 1);
  EXPECT_EQ(outcome.standardOutput,
            "{\"base\": \"a.bmp\", \"other\": \"b.bmp\", \"width\": 5, \"height\": 3, \"base_size\": [5, 3], "
            "\"other_size\": [5, 3], \"size_differs\": false, \"identical\": false, \"pixels\": 13, \"different_pixels\": 2, "
            "\"different_bytes\": 4, \"per_channel\": {\"red\": 2, \"green\": 1, \"blue\": 1}, "
            "\"antialiased_pixels\": 0, \"bbox\": {\"x\": 3, \"y\": 1, \"width\": 2, \"height\": 2}, "
            "\"largest_cluster\": {\"pixels\": 2, \"x\": 3, \"y\": 1, \"width\": 2, \"height\": 2}, "
            "\"metric\": \"channel\", \"mode\": \"channels\", \"threshold\": 1, \"antialiasing\": false, "
            "\"ignored\": [{\"x\": 0, \"y\": 2, \"width\": 2, \"height\": 1}], \"max_diff_pixels\": null, "
            "\"max_diff_ratio\": null, \"max_cluster_pixels\": null, \"passed\": false, \"output\": \"o.bmp\"}\n");
  const auto equal = Run({"--json", "a.bmp", "a.bmp"});
  EXPECT_EQ(equal.exitCode, 0);
  EXPECT_NE(equal.standardOutput.find("\"different_pixels\": 0, "), std::string::npos);
  EXPECT_NE(equal.standardOutput.find("\"bbox\": null"), std::string::npos);
  EXPECT_NE(equal.standardOutput.find("\"output\": null"), std::string::npos);
}

TEST_F(Cli, DifferentSizesCompareTheSharedAreaAndCountTheRest) {
  // Base 4 x 3, other 2 x 2 and equal where they overlap: the 8 base
  // pixels outside it differ, and are marked in the copy.
  const Image base = Filled(4, 3, {1, 2, 3});
  Pair(base, Filled(2, 2, {1, 2, 3}));
  const auto outcome = Run({"a.bmp", "b.bmp", "-o", "out.bmp", "--mode", "pixels", "--color", "9,9,9"});
  EXPECT_EQ(outcome.exitCode, 1);
  EXPECT_EQ(outcome.standardOutput,
            "sizes differ (4 x 3 and 2 x 2); 8 of 12 pixels differ (66.667 %), 24 channel bytes; in x 0\u20133, y "
            "0\u20132\n");
  Image expected = base;
  for (int32_t y = 0; y < 3; ++y) {
    for (int32_t x = 0; x < 4; ++x) {
      if (x >= 2 || y >= 2) expected.At(x, y) = {9, 9, 9};
    }
  }
  EXPECT_EQ(Decode(ReadAll(dir / "out.bmp")).pixels, expected.pixels);

  const auto json = Run({"--json", "b.bmp", "a.bmp"});  // the smaller one as the base
  EXPECT_EQ(json.exitCode, 1);
  // width and height are the extent compared (both pictures at the top-left
  // corner): the box lies within it and the pixels are the pixels it holds
  // that either picture covers.
  EXPECT_NE(json.standardOutput.find("\"width\": 4, \"height\": 3, \"base_size\": [2, 2], \"other_size\": [4, 3], "
                                     "\"size_differs\": true, \"identical\": false, \"pixels\": 12, \"different_pixels\": 8"),
            std::string::npos)
      << json.standardOutput;
}

TEST_F(Cli, TroubleNamesTheFileAndTheReason) {
  const Fixture f;
  Pair(f.base, f.other);
  BmpParts claims;
  claims.width = 20000;
  claims.height = 2000;
  claims.pixels = Bytes(6, 0);
  WriteAll(dir / "claims.bmp", MakeBmp(claims));
  WriteAll(dir / "photo.png", Bytes(10, 0));
  std::filesystem::create_directories(dir / "folder.bmp");
  struct Case {
    std::vector<std::string> args;
    const char* error;
  };
  const Case cases[] = {
      {{"missing.bmp", "b.bmp"}, "missing.bmp: file not found\n"},
      {{"a.bmp", "photo.png"}, "photo.png: no plug-in for extension \"png\"\n"},
      {{"claims.bmp", "a.bmp"}, "claims.bmp: header claims 120.0 MB, file holds 6 bytes\n"},
      {{"missing.bmp", "photo.png"}, "missing.bmp: file not found\nphoto.png: no plug-in for extension \"png\"\n"},
      {{"a.bmp", "b.bmp", "-o", "out.gif"}, "out.gif: unknown output format (name it .bmp or .png)\n"},
      {{"a.bmp", "b.bmp", "-o", "folder.bmp"}, "folder.bmp: is a directory\n"},
  };
  // A missing plug-in's reason names the folder that was searched.
  const std::string searched = " (plug-in folder searched: " + (dir / "no-plugins").string() + ")";
  for (const Case& c : cases) {
    const auto outcome = Run(c.args, {"DIFFMARK_PLUGINS=" + (dir / "no-plugins").string()});
    std::string expected = c.error;
    for (size_t at = expected.find("\"png\""); at != std::string::npos; at = expected.find("\"png\"", at + 1)) {
      expected.insert(at + 5, searched);
    }
    EXPECT_EQ(outcome.exitCode, 2) << c.error;
    EXPECT_EQ(outcome.standardError, expected);
    EXPECT_EQ(outcome.standardOutput, "") << c.error;
  }
  // A bad value: one line naming the option, the value and what it takes,
  // then where the help is; not the whole usage.
  const struct {
    std::vector<std::string> args;
    const char* line;
  } badValues[] = {
      {{"--mode", "blink", "a.bmp", "b.bmp"}, "--mode takes channels, pixels, mask or overlay, not \"blink\""},
      {{"--threshold", "256", "a.bmp", "b.bmp"},
       "--threshold takes a whole number from 0 to 255 with --metric channel, not \"256\""},
      // A value that does not fit the metric names both.
      {{"--threshold", "0.1", "a.bmp", "b.bmp"},
       "--threshold takes a whole number from 0 to 255 with --metric channel, not \"0.1\""},
      {{"--metric", "yiq", "--threshold", "12", "a.bmp", "b.bmp"},
       "--threshold takes a number from 0 to 1 with --metric yiq, not \"12\""},
      {{"--threshold", "0.5", "--metric", "oklab", "--metric", "cie", "a.bmp", "b.bmp"},
       "--metric takes channel, yiq or oklab, not \"cie\""},
      {{"--max-diff-ratio", "2", "a.bmp", "b.bmp"}, "--max-diff-ratio takes a number from 0 to 1, not \"2\""},
      {{"--max-diff-pixels", "-1", "a.bmp", "b.bmp"},
       "--max-diff-pixels takes a whole number from 0 on, not \"-1\""},
      {{"--max-cluster-pixels", "2x", "a.bmp", "b.bmp"},
       "--max-cluster-pixels takes a whole number from 0 on, not \"2x\""},
      {{"--ignore", "1,2,3", "a.bmp", "b.bmp"}, "--ignore takes X,Y,W,H (whole numbers from 0 on), not \"1,2,3\""},
      {{"--color", "1,2,-3", "a.bmp", "b.bmp"}, "--color takes R,G,B, each 0 to 255, not \"1,2,-3\""},
  };
  for (const auto& bad : badValues) {
    const auto outcome = Run(bad.args);
    EXPECT_EQ(outcome.exitCode, 2) << bad.line;
    EXPECT_EQ(outcome.standardError,
              std::string("diffmark-cli: ") + bad.line + "\nsee diffmark-cli --help\n");
    EXPECT_EQ(outcome.standardOutput, "");
  }
  // A wrong command line: the line, the synopsis, where the help is.
  for (const std::vector<std::string>& bad :
       {std::vector<std::string>{"a.bmp"}, {"a.bmp", "b.bmp", "c.bmp"}, {"--frobnicate", "a.bmp", "b.bmp"},
        {"a.bmp", "b.bmp", "-o"}}) {
    const auto outcome = Run(bad);
    EXPECT_EQ(outcome.exitCode, 2) << bad[0];
    EXPECT_NE(outcome.standardError.find("usage: diffmark-cli"), std::string::npos) << bad[0];
    EXPECT_NE(outcome.standardError.find("see diffmark-cli --help"), std::string::npos) << bad[0];
    EXPECT_LT(std::count(outcome.standardError.begin(), outcome.standardError.end(), '\n'), 5) << bad[0];
  }
}

TEST_F(Cli, PluginsAreFoundByOptionEnvironmentOrBesideTheProgram) {
  // The same picture as PPM: through the Netpbm plug-in it equals the BMP.
  WriteAll(dir / "a.bmp", Bmp(Filled(2, 1, {10, 20, 30})));
  const std::string ppm = "P6\n2 1\n255\n";
  Bytes file(ppm.begin(), ppm.end());
  file.insert(file.end(), {10, 20, 30, 10, 20, 30});
  WriteAll(dir / "a.ppm", file);
  std::filesystem::create_directories(dir / "spi");
  std::filesystem::copy_file(kNetpbm, dir / "spi" / "netpbm.spi");
  const std::string spi = (dir / "spi").string();
  const std::string none = (dir / "none").string();

  EXPECT_EQ(Run({"--plugins", spi, "a.ppm", "a.bmp"}, {"DIFFMARK_PLUGINS=" + none}).exitCode, 0);
  EXPECT_EQ(Run({"a.ppm", "a.bmp"}, {"DIFFMARK_PLUGINS=" + spi}).exitCode, 0);
  const auto missing = Run({"a.ppm", "a.bmp"}, {"DIFFMARK_PLUGINS=" + none});
  EXPECT_EQ(missing.exitCode, 2);
  EXPECT_EQ(missing.standardError, "a.ppm: no plug-in for extension \"ppm\" (plug-in folder searched: " + none + ")\n");
  // Without either, the build tree's plug-in folder beside the program.
  EXPECT_EQ(Run({"a.ppm", "a.bmp"}).exitCode, 0);
}

TEST_F(Cli, AResultIsReplacedOnlyWhenCompletelyWritten) {
  const Fixture f;
  Pair(f.base, f.other);
  std::filesystem::create_directories(dir / "locked");
  WriteAll(dir / "locked" / "out.bmp", Bytes(10, 7));
#if defined(_WIN32)
  // A file another program holds open without sharing cannot be replaced.
  HANDLE held = CreateFileA((dir / "locked" / "out.bmp").string().c_str(), GENERIC_READ, 0, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
#else
  // Root writes anywhere the permissions allow nobody to: make the folder
  // immutable instead, where that is possible.
  const std::string locked = (dir / "locked").string();
  const bool root = ::geteuid() == 0;
  if (root && std::system(("chattr +i '" + locked + "' 2>/dev/null").c_str()) != 0) {
    GTEST_SKIP() << "running as root without chattr: a folder cannot be made read-only";
  }
  if (!root) ::chmod(locked.c_str(), 0555);
#endif
  const auto outcome = Run({"a.bmp", "b.bmp", "-o", (dir / "locked" / "out.bmp").string()});
#if defined(_WIN32)
  CloseHandle(held);
#else
  if (root) (void)std::system(("chattr -i '" + locked + "'").c_str());
  ::chmod(locked.c_str(), 0755);
#endif
  EXPECT_EQ(outcome.exitCode, 2);
  EXPECT_EQ(outcome.standardError.rfind((dir / "locked" / "out.bmp").string() + ": ", 0), 0u)
      << outcome.standardError;
  EXPECT_EQ(outcome.standardOutput, "");
  // Nothing half-written: the old file as it was, and nothing beside it.
  EXPECT_EQ(ReadAll(dir / "locked" / "out.bmp"), Bytes(10, 7));
  size_t files = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir / "locked")) ++files;
  EXPECT_EQ(files, 1u);
}

#if !defined(_WIN32)
TEST_F(Cli, AWriteThatFailsPartWayIsTroubleAndLeavesNoPartialFile) {
  const Fixture f;
  Pair(f.base, f.other);
  // A device is written straight into, not replaced: /dev/full fails.
  std::filesystem::create_symlink("/dev/full", dir / "full.bmp");
  const auto outcome = Run({"a.bmp", "b.bmp", "-o", "full.bmp"});
  EXPECT_EQ(outcome.exitCode, 2);
  EXPECT_EQ(outcome.standardError, "full.bmp: write failed (No space left on device)\n");
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "full.bmp"));  // the device, not replaced
}
#endif

}  // namespace

namespace {

// An output that is an input is refused before anything is read or
// written: the same name, another spelling of it, a hard link, a symbolic
// link.  The inputs stay as they were.
TEST_F(Cli, AnOutputThatIsAnInputIsRefused) {
  const Fixture f;
  Pair(f.base, f.other);
  const Bytes a = ReadAll(dir / "a.bmp");
  const Bytes b = ReadAll(dir / "b.bmp");
  std::vector<std::string> outputs = {"a.bmp", "./b.bmp"};
#if !defined(_WIN32)
  std::filesystem::create_hard_link(dir / "a.bmp", dir / "hard.bmp");
  std::filesystem::create_symlink("b.bmp", dir / "soft.bmp");
  outputs.insert(outputs.end(), {"hard.bmp", "soft.bmp"});
#endif
  for (const std::string& output : outputs) {
    const auto outcome = Run({"a.bmp", "b.bmp", "-o", output});
    EXPECT_EQ(outcome.exitCode, 2) << output;
    EXPECT_EQ(outcome.standardError.rfind(output + ": is the input ", 0), 0u) << outcome.standardError;
    EXPECT_EQ(std::count(outcome.standardError.begin(), outcome.standardError.end(), '\n'), 1) << output;
    EXPECT_EQ(ReadAll(dir / "a.bmp"), a) << output;
    EXPECT_EQ(ReadAll(dir / "b.bmp"), b) << output;
  }
}

// -o makes the folders on its way, and a failure says the system's reason.
TEST_F(Cli, OutputFoldersAreMadeAndFailuresGiveTheReason) {
  const Fixture f;
  Pair(f.base, f.other);
  for (const char* output : {"new/deeper/x.bmp", "new/deeper/y.png"}) {
    const auto outcome = Run({"-q", "a.bmp", "b.bmp", "-o", output});
    if (std::string(output).ends_with(".png") && outcome.exitCode == 2 &&
        outcome.standardError.find("not available") != std::string::npos) {
      continue;  // a build without PNG output
    }
    EXPECT_EQ(outcome.exitCode, 1) << output << ": " << outcome.standardError;
    EXPECT_TRUE(std::filesystem::is_regular_file(dir / output)) << output;
  }
  // A folder on the way that is a file.
  const auto blocked = Run({"-q", "a.bmp", "b.bmp", "-o", "a.bmp/x.bmp"});
  EXPECT_EQ(blocked.exitCode, 2);
  EXPECT_EQ(blocked.standardError.rfind("a.bmp/x.bmp: cannot be created (", 0), 0u) << blocked.standardError;
  EXPECT_GT(blocked.standardError.size(), std::string("a.bmp/x.bmp: cannot be created ()\n").size());
}

TEST_F(Cli, QuietAndJsonTogetherAreAUsageError) {
  const Fixture f;
  Pair(f.base, f.other);
  const auto outcome = Run({"-q", "--json", "a.bmp", "b.bmp"});
  EXPECT_EQ(outcome.exitCode, 2);
  EXPECT_EQ(outcome.standardOutput, "");
  EXPECT_EQ(outcome.standardError,
            "diffmark-cli: -q prints nothing and --json prints JSON: choose one\nsee diffmark-cli --help\n");
}

#if !defined(_WIN32)
// Inputs that are not regular files are refused at once, never waited on:
// a FIFO with no writer (whatever its name says), a folder, a device.
TEST_F(Cli, InputsThatAreNotRegularFilesAreRefusedAtOnce) {
  const Fixture f;
  Pair(f.base, f.other);
  ASSERT_EQ(::mkfifo((dir / "fifo.bmp").string().c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo((dir / "fifo.png").string().c_str(), 0600), 0);
  std::filesystem::create_symlink("/dev/zero", dir / "zero.bmp");
  for (const char* input : {"fifo.bmp", "fifo.png", "zero.bmp"}) {
    const auto outcome = Run({"a.bmp", input});
    EXPECT_EQ(outcome.exitCode, 2) << input;
    EXPECT_EQ(outcome.standardError, std::string(input) + ": not a regular file\n") << input;
  }
}
#endif

}  // namespace

namespace {

// Soft edges and smooth shading, as rendered text and shapes have them;
// `shift` moves it a fraction of a pixel.
Image Rendered(int32_t w, int32_t h, double shift) {
  Image image = Filled(w, h, {250, 250, 250});
  for (int32_t y = 0; y < h; ++y) {
    for (int32_t x = 0; x < w; ++x) {
      // Diagonal strokes 3 pixels wide, their edges covered in part.
      const double d = std::fmod((x + shift) * 0.7 + y * 0.3, 23.0);
      const double cover = std::clamp(2.0 - std::fabs(d - 4.0), 0.0, 1.0);
      const auto v = static_cast<uint8_t>(250 - cover * 200);
      image.At(x, y) = {v, static_cast<uint8_t>(v - (v > 40 ? 30 : 0)), v};
    }
  }
  return image;
}

// The perceptual metrics and anti-aliasing need the rows around a pixel:
// a streamed BMP pair (rows a chunk at a time, each with its neighbours)
// must count, group and paint exactly what the whole pictures give.
TEST_F(Cli, PerceptualComparisonStreamsAsItComparesWholePictures) {
  const int32_t w = 701;
  const int32_t h = 1100;  // three chunks of rows and a part
  const Image base = Rendered(w, h, 0);
  Image other = Rendered(w, h, 0.3);
  for (int32_t y = 500; y < 520; ++y) {
    for (int32_t x = 100; x < 160; ++x) other.At(x, y) = {200, 30, 30};  // a real change across a chunk edge
  }
  WriteAll(dir / "a.bmp", Bmp(base));
  WriteAll(dir / "b.bmp", Bmp(other));
  // The same base stored top-down: a pair that is not streamed.
  BmpParts topDown;
  topDown.width = w;
  topDown.height = -h;
  const Bytes bottomUp = Bmp(base);
  for (int32_t y = 0; y < h; ++y) {
    const auto* row = bottomUp.data() + 54 + Stride(w) * (h - 1 - y);
    topDown.pixels.insert(topDown.pixels.end(), row, row + Stride(w));
  }
  WriteAll(dir / "t.bmp", MakeBmp(topDown));

  for (const std::vector<std::string>& options :
       {std::vector<std::string>{"--metric", "yiq", "--aa"}, {"--metric", "oklab", "--threshold", "0.05"},
        {"--aa", "--threshold", "8"}, {"--threshold", "8"}, {"--metric", "yiq", "--aa", "--ignore", "90,505,30,30"}}) {
    auto run = [&](const char* first, const char* out) {
      std::vector<std::string> args = options;
      args.insert(args.end(), {"--json", "--mode", "overlay", first, "b.bmp", "-o", out});
      return Run(args);
    };
    const auto streamed = run("a.bmp", "streamed.bmp");
    const auto whole = run("t.bmp", "whole.bmp");
    ASSERT_EQ(streamed.exitCode, 1) << streamed.standardError;
    ASSERT_EQ(whole.exitCode, 1) << whole.standardError;
    // The counts, the box and the largest group of touching pixels (the
    // block, whose rows fall in two chunks).
    const auto counts = [](const std::string& json) {
      const size_t from = json.find("\"pixels\"");
      return json.substr(from, json.find("\"metric\"") - from);
    };
    EXPECT_EQ(counts(streamed.standardOutput), counts(whole.standardOutput)) << options[0];
    EXPECT_NE(streamed.standardOutput.find("\"largest_cluster\": {\"pixels\": "), std::string::npos);
    EXPECT_NE(streamed.standardOutput.find("\"antialiased_pixels\": "), std::string::npos);
    EXPECT_EQ(Decode(ReadAll(dir / "streamed.bmp")).pixels, Decode(ReadAll(dir / "whole.bmp")).pixels)
        << options[0];
  }
}

}  // namespace
