// The format plug-ins (png, jpeg, webp, gif, tiff and bmp on Linux; wic on
// Windows) on the committed fixtures of tests/images: every file decodes
// through the library to the reference image that Pillow or ImageMagick
// made of it (tests/images/expected), with the 24-bit header the library
// makes; cut or damaged files fail with a named reason or still give the
// whole image; oversized headers are refused before any image data is read.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#define SPI_HOST
#include <diffmark/imageload.h>
#include <diffmark/spi.h>
#include "platform/platform.h"
#include "support.h"

namespace diffmark {
namespace {

namespace fs = std::filesystem;
using testsupport::Bytes;

const fs::path kImages = testsupport::BuildPath(DIFFMARK_IMAGES_DIR);
const std::string kPluginDir = testsupport::BuildPath(DIFFMARK_FORMAT_PLUGIN_DIR);

#ifdef _WIN32
constexpr bool kWindows = true;
#else
constexpr bool kWindows = false;
#endif

// The plug-in that decodes a fixture in this build, by its extension.
std::string PluginFor(const std::string& name) {
  static const std::map<std::string, std::string> byExtension = {
      {".png", "png"}, {".jpg", "jpeg"}, {".webp", "webp"}, {".gif", "gif"}, {".tif", "tiff"}, {".bmp", "bmp"}};
  const auto it = byExtension.find(fs::path(name).extension().string());
  if (it == byExtension.end()) return "";
  return kWindows ? "wic" : it->second;
}

bool Built(const std::string& plugin) { return fs::exists(fs::path(kPluginDir) / (plugin + ".spi")); }

bool IsNamedFailure(int32_t result) {
  return result == SPI_ERROR_UNSUPPORTED || result == SPI_ERROR_CORRUPT || result == SPI_ERROR_NO_MEMORY ||
         result == SPI_ERROR_TOO_LARGE || result == SPI_ERROR_INTERNAL;
}

// What GetPicture handed back, checked against its contract.
struct Picture {
  int32_t result = -1;
  BitmapInfoHeader header{};
  Bytes rows;  // the rows the header describes
};

// One plug-in library, called directly.
class Plugin {
 public:
  explicit Plugin(const std::string& name) {
    const std::string path = kPluginDir + "/" + name + ".spi";
    library_ = platform::OpenLibrary(path.c_str());
    getPicture_ = reinterpret_cast<SpiGetPictureFn>(platform::LookupSymbol(library_, "GetPicture"));
    getInfo_ = reinterpret_cast<SpiGetPluginInfoFn>(platform::LookupSymbol(library_, "GetPluginInfo"));
  }
  ~Plugin() { platform::CloseLibrary(library_); }
  Plugin(const Plugin&) = delete;
  Plugin& operator=(const Plugin&) = delete;
  bool Loaded() const { return getPicture_ != nullptr && getInfo_ != nullptr; }

  std::string Filter() const {
    char text[SPI_INFO_BUFFER_BYTES] = {};
    getInfo_(SPI_INFO_INDEX_FILTER, text, sizeof text);
    return text;
  }

  // Decodes `bytes`; on failure checks that every handle left is live.
  Picture Decode(const Bytes& bytes) const {
    Picture p;
    SpiHandle info = nullptr;
    SpiHandle pixels = nullptr;
    p.result = getPicture_(reinterpret_cast<const char*>(bytes.data()), static_cast<int32_t>(bytes.size()),
                           SPI_FLAG_MEMORY, &info, &pixels, nullptr, 0);
    if (p.result != 0) {
      EXPECT_TRUE(IsNamedFailure(p.result)) << "result " << p.result;
      // The host frees what a failed call leaves; it must be a live block.
      for (SpiHandle h : {info, pixels}) EXPECT_TRUE(h == nullptr || platform::FreeBlock(h));
      return p;
    }
    EXPECT_NE(info, nullptr);
    EXPECT_NE(pixels, nullptr);
    const auto* head = static_cast<const uint8_t*>(platform::LockBlock(info));
    const auto* rows = static_cast<const uint8_t*>(platform::LockBlock(pixels));
    if (head != nullptr && platform::BlockSize(info) >= kInfoHeaderBytes && rows != nullptr) {
      p.header = DecodeInfoHeader(head);
      const uint64_t bytesNeeded = Rgb24ImageBytes(p.header.biWidth, p.header.biHeight);
      EXPECT_GE(platform::BlockSize(pixels), bytesNeeded);
      p.rows.assign(rows, rows + std::min<uint64_t>(bytesNeeded, platform::BlockSize(pixels)));
    } else {
      ADD_FAILURE() << "unusable blocks";
    }
    platform::FreeBlock(info);
    platform::FreeBlock(pixels);
    return p;
  }

 private:
  platform::LibraryHandle library_ = nullptr;
  SpiGetPictureFn getPicture_ = nullptr;
  SpiGetPluginInfoFn getInfo_ = nullptr;
};

// The committed fixtures that have a reference image.
std::vector<std::string> Fixtures() {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(kImages / "expected")) {
    const std::string name = entry.path().filename().string();
#if !defined(_WIN32) && !DIFFMARK_BMP_READS_RLE
    // ImageMagick's 8-bit palettes are run-length encoded; bmp.spi reads
    // them through gdk-pixbuf, which this build did not find.
    if (name == "bmp-palette8-rle8-17x11.bmp.bmp") continue;
#endif
    names.push_back(name.substr(0, name.size() - 4));  // "x.png.bmp" -> "x.png"
  }
  std::sort(names.begin(), names.end());
  return names;
}

// The reference image's rows, through the library's BMP reader.
Bytes ExpectedRows(const std::string& fixture, int32_t* width, int32_t* height) {
  const std::string path = (kImages / "expected" / (fixture + ".bmp")).string();
  BlockHandle block = nullptr;
  BitmapInfo info{};
  const uint8_t* rows = ReadBitmapFile(path.c_str(), &block, &info);
  if (rows == nullptr) return {};
  *width = info.bmiHeader.biWidth;
  *height = info.bmiHeader.biHeight;
  Bytes out(rows, rows + Rgb24ImageBytes(*width, *height));
  ReleaseBlock(block);
  return out;
}

// Where the Windows Imaging Component's decode may differ from the
// reference: WIC has decoders of its own, and what they do not read the
// plug-in cannot hand back.
struct WicExpectation {
  const char* prefix;
  double meanTolerance;  // mean difference of the channel bytes
  int maxTolerance;      // largest difference of a channel byte; 0: equal
  bool mayBeMissing;     // a failure to decode is accepted
};
constexpr WicExpectation kWic[] = {
    // Not libjpeg-turbo: subsampled colour is upsampled another way (on
    // these small, busy pictures up to 31 levels apart at sharp colour
    // edges, under 4 on average).
    {"jpeg-", 6.0, 48, false},
    // Only where a codec is installed (wine has none).
    {"webp-", 0.0, 0, true},
    // wine's TIFF decoder reads neither 16-bit grey with alpha nor
    // separate planes.
    {"tiff-greyalpha16-", 0.0, 0, true},
    {"tiff-rgba8-planar-", 0.0, 0, true},
};

const WicExpectation* WicRule(const std::string& fixture) {
  for (const auto& rule : kWic) {
    if (fixture.rfind(rule.prefix, 0) == 0) return &rule;
  }
  return nullptr;
}

// The most any channel byte of `a` and `b` differs (both the same length).
int LargestDifference(const Bytes& a, const Bytes& b) {
  int most = 0;
  for (size_t i = 0; i < a.size(); ++i) most = std::max(most, std::abs(int{a[i]} - int{b[i]}));
  return most;
}

double MeanDifference(const Bytes& a, const Bytes& b) {
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) sum += std::abs(int{a[i]} - int{b[i]});
  return a.empty() ? 0 : sum / static_cast<double>(a.size());
}

class FormatPlugins : public ::testing::Test {
 protected:
  void SetUp() override {
    ReleasePlugins();
    ASSERT_TRUE(SetPluginDirectory(kPluginDir.c_str()));
    ScanPlugins();
  }
  void TearDown() override {
    ReleasePlugins();
    ASSERT_TRUE(SetPluginDirectory(""));
  }
};

// Every fixture through the host (extension lookup, LoadWithPlugin), the
// rows against the reference and the header against InitRgb24Header.
TEST_F(FormatPlugins, DecodeEveryFixtureToTheReference) {
  int decoded = 0;
  for (const std::string& fixture : Fixtures()) {
    SCOPED_TRACE(fixture);
    const std::string plugin = PluginFor(fixture);
    if (!Built(plugin)) continue;
    int32_t width = 0;
    int32_t height = 0;
    const Bytes expected = ExpectedRows(fixture, &width, &height);
    ASSERT_FALSE(expected.empty());

    BlockHandle block = nullptr;
    BitmapInfo info{};
    const uint8_t* rows = LoadWithPlugin((kImages / fixture).string().c_str(), &block, &info);
    const WicExpectation* rule = kWindows ? WicRule(fixture) : nullptr;
    if (rows == nullptr && rule != nullptr && rule->mayBeMissing) continue;
    ASSERT_NE(rows, nullptr) << LastLoadError();
    BitmapInfoHeader want{};
    InitRgb24Header(&want, width, height);
    EXPECT_EQ(std::memcmp(&info.bmiHeader, &want, sizeof want), 0) << "the info header";
    const Bytes got(rows, rows + expected.size());
    ReleaseBlock(block);
    if (rule != nullptr && rule->maxTolerance > 0) {
      EXPECT_LE(MeanDifference(got, expected), rule->meanTolerance);
      EXPECT_LE(LargestDifference(got, expected), rule->maxTolerance);
    } else {
      EXPECT_EQ(got, expected) << "largest difference " << LargestDifference(got, expected);
    }
    ++decoded;
  }
  if (decoded == 0) GTEST_SKIP() << "no format plug-in built";
  std::printf("[          ] %d fixtures decoded\n", decoded);
}

// Adam7 at every size from 1 x 1 to 9 x 9: below 8 pixels a side some of the
// seven passes are empty, and the decoder must step over them.  Each file
// is the top-left corner of the 9 x 9 fixture (tests/images/adam7), so it
// must give that corner of the 9 x 9 reference.
TEST_F(FormatPlugins, Adam7PngOfEverySizeUpTo9By9LoadsWhole) {
  if (!Built(PluginFor("x.png"))) GTEST_SKIP() << "no PNG plug-in built";
  int32_t fullWidth = 0;
  int32_t fullHeight = 0;
  const Bytes full = ExpectedRows("png-rgb8-interlaced-9x9.png", &fullWidth, &fullHeight);
  ASSERT_EQ(fullWidth, 9);
  ASSERT_EQ(fullHeight, 9);
  const auto fullRow = [&](int32_t y) { return full.data() + Rgb24Stride(9) * (8 - y); };  // from the top
  for (int32_t w = 1; w <= 9; ++w) {
    for (int32_t h = 1; h <= 9; ++h) {
      const std::string size = std::to_string(w) + "x" + std::to_string(h);
      SCOPED_TRACE(size);
      const fs::path file = w == 9 && h == 9 ? kImages / "png-rgb8-interlaced-9x9.png"
                                             : kImages / "adam7" / ("png-rgb8-interlaced-" + size + ".png");
      BlockHandle block = nullptr;
      BitmapInfo info{};
      const uint8_t* rows = LoadWithPlugin(file.string().c_str(), &block, &info);
      if (rows == nullptr) {
        ADD_FAILURE() << LastLoadError();
        continue;
      }
      EXPECT_EQ(info.bmiHeader.biWidth, w);
      EXPECT_EQ(info.bmiHeader.biHeight, h);
      for (int32_t y = 0; y < h && info.bmiHeader.biWidth == w && info.bmiHeader.biHeight == h; ++y) {
        const uint8_t* got = rows + Rgb24Stride(w) * (h - 1 - y);
        EXPECT_EQ(Bytes(got, got + 3 * w), Bytes(fullRow(y), fullRow(y) + 3 * w)) << "row " << y;
      }
      ReleaseBlock(block);
    }
  }
}

// One 8-bit palette picture written as TIFF by Pillow (colour map values
// v * 256) and by ImageMagick (v * 257) gives back the written colours:
// those of the PNG it was made from.
TEST_F(FormatPlugins, TiffPalettesGiveBackTheWrittenColours) {
  if (!Built(PluginFor("x.tif"))) GTEST_SKIP() << "no TIFF plug-in built";
  int32_t width = 0;
  int32_t height = 0;
  const Bytes written = ExpectedRows("png-palette4-17x11.png", &width, &height);
  ASSERT_FALSE(written.empty());
  for (const char* fixture : {"tiff-palette-pillow-17x11.tif", "tiff-palette-magick-17x11.tif"}) {
    SCOPED_TRACE(fixture);
    BlockHandle block = nullptr;
    BitmapInfo info{};
    const uint8_t* rows = LoadWithPlugin((kImages / fixture).string().c_str(), &block, &info);
    ASSERT_NE(rows, nullptr) << LastLoadError();
    ASSERT_EQ(info.bmiHeader.biWidth, width);
    ASSERT_EQ(info.bmiHeader.biHeight, height);
    const Bytes got(rows, rows + written.size());
    ReleaseBlock(block);
    EXPECT_EQ(got, written) << "largest difference " << LargestDifference(got, written);
  }
}

// A file cut anywhere either fails with a named reason or, where the cut
// only took what follows the image, still gives the whole image.  And a
// file with damaged bytes fails with a named reason or decodes to some
// image of a sound size; never a crash (the suite runs under ASan).  On
// Windows the decoders are WIC's, and fewer cases show how the adapter
// passes their failures on (a call costs far more there, above all under
// an emulated 32-bit wine).
TEST_F(FormatPlugins, CutOrDamagedFilesFailWithAReasonOrGiveTheWholeImage) {
  const size_t shortest = kWindows ? 2 : 64;  // every length below this
  const size_t steps = kWindows ? 4 : 32;     // then this many steps to the end
  const size_t damages = kWindows ? 4 : 48;
  std::map<std::string, std::unique_ptr<Plugin>> plugins;
  for (const std::string& fixture : Fixtures()) {
    SCOPED_TRACE(fixture);
    const std::string name = PluginFor(fixture);
    if (!Built(name)) continue;
    auto& plugin = plugins[name];
    if (!plugin) plugin = std::make_unique<Plugin>(name);
    ASSERT_TRUE(plugin->Loaded());
    const Bytes file = testsupport::ReadAll(kImages / fixture);
    const Picture whole = plugin->Decode(file);
    if (whole.result != 0) continue;  // a codec WIC lacks
    std::vector<size_t> cuts;
    for (size_t n = 0; n < std::min(file.size(), shortest); ++n) cuts.push_back(n);
    for (size_t i = 1; i < steps; ++i) cuts.push_back(file.size() * i / steps);
    cuts.push_back(file.size() - 1);
    for (size_t cut : cuts) {
      const Picture p = plugin->Decode(Bytes(file.begin(), file.begin() + static_cast<ptrdiff_t>(cut)));
      if (p.result == 0) {
        EXPECT_EQ(p.rows, whole.rows) << "cut at " << cut << " of " << file.size() << ": a partial image";
      }
    }
    for (size_t i = 0; i < damages; ++i) {
      Bytes damaged = file;
      damaged[(i * 7919 + 13) % damaged.size()] ^= static_cast<uint8_t>(0x55 + i);
      damaged[(i * 104729 + 101) % damaged.size()] = static_cast<uint8_t>(i * 37);
      const Picture p = plugin->Decode(damaged);
      if (p.result == 0) {
        EXPECT_GT(p.header.biWidth, 0);
        EXPECT_GT(p.header.biHeight, 0);
      }
    }
  }
}

// Files of another format, or none, are not taken for images.
TEST_F(FormatPlugins, OtherFormatsAreUnsupported) {
  const Bytes png = testsupport::ReadAll(kImages / "png-rgb8-5x3.png");
  const Bytes jpeg = testsupport::ReadAll(kImages / "jpeg-baseline-1x1.jpg");
  const Bytes ppm = {'P', '6', ' ', '1', ' ', '1', ' ', '2', '5', '5', '\n', 1, 2, 3};
  const std::vector<std::string> names =
      kWindows ? std::vector<std::string>{"wic"}
               : std::vector<std::string>{"png", "jpeg", "webp", "gif", "tiff", "bmp"};
  for (const std::string& name : names) {
    if (!Built(name)) continue;
    SCOPED_TRACE(name);
    Plugin plugin(name);
    ASSERT_TRUE(plugin.Loaded());
    std::vector<Bytes> others = {{}, {0x89}, ppm};
    if (name != "png" && name != "wic") others.push_back(png);
    if (name != "jpeg" && name != "wic") others.push_back(jpeg);
    for (size_t i = 0; i < others.size(); ++i) {
      EXPECT_EQ(plugin.Decode(others[i]).result, SPI_ERROR_UNSUPPORTED) << "input " << i;
    }
  }
}

// 2^28 pixels at most, refused from the header: these files carry too
// little data to decode, so "too large" (not "corrupt") shows that the
// plug-in stopped at the header.
TEST_F(FormatPlugins, SizeLimitIsCheckedFromTheHeader) {
  for (const auto& entry : fs::directory_iterator(kImages / "limits")) {
    const std::string fixture = entry.path().filename().string();
    const std::string name = PluginFor(fixture);
    if (name.empty() || !Built(name) || fixture == "png-16384x16384.png") continue;
    SCOPED_TRACE(fixture);
    Plugin plugin(name);
    ASSERT_TRUE(plugin.Loaded());
    const int32_t result = plugin.Decode(testsupport::ReadAll(entry.path())).result;
    if (kWindows && fixture.rfind("webp-", 0) == 0) {
      EXPECT_NE(result, 0);  // no WebP codec, or refused
    } else {
      EXPECT_EQ(result, SPI_ERROR_TOO_LARGE);
    }
  }
}

TEST_F(FormatPlugins, ImageOf16384By16384Loads) {
  if (sizeof(void*) < 8) GTEST_SKIP() << "a 768 MiB block does not fit a 32-bit process reliably";
  if (!Built(PluginFor("x.png"))) GTEST_SKIP() << "no PNG plug-in built";
  BlockHandle block = nullptr;
  BitmapInfo info{};
  const uint8_t* rows =
      LoadWithPlugin((kImages / "limits" / "png-16384x16384.png").string().c_str(), &block, &info);
  ASSERT_NE(rows, nullptr) << LastLoadError();
  EXPECT_EQ(info.bmiHeader.biWidth, 16384);
  EXPECT_EQ(info.bmiHeader.biHeight, 16384);
  EXPECT_EQ(rows[0] | rows[Rgb24ImageBytes(16384, 16384) - 1], 0);  // all black
  ReleaseBlock(block);
}

// The names the host's extension rules produce find the plug-in: "jpeg",
// "jpe" and names without an extension all become "jpg".
TEST_F(FormatPlugins, JpegFilterCoversTheNormalisedNames) {
  const std::string name = PluginFor("x.jpg");
  if (!Built(name)) GTEST_SKIP() << "no JPEG plug-in built";
  {
    Plugin plugin(name);
    ASSERT_TRUE(plugin.Loaded());
    const std::string filter = plugin.Filter();
    EXPECT_NE(filter.find("*.jpg;"), std::string::npos) << filter;
  }
  const Bytes jpeg = testsupport::ReadAll(kImages / "jpeg-baseline420-17x11.jpg");
  testsupport::TempDir dir;
  for (const char* copy : {"a.jpg", "b.JPEG", "c.jpe", "d.Jpg", "noextension"}) {
    SCOPED_TRACE(copy);
    testsupport::WriteAll(dir / copy, jpeg);
    BlockHandle block = nullptr;
    BitmapInfo info{};
    const uint8_t* rows = LoadImageFile((dir / copy).string().c_str(), &block, &info);
    ASSERT_NE(rows, nullptr) << LastLoadError();
    EXPECT_EQ(info.bmiHeader.biWidth, 17);
    ReleaseBlock(block);
  }
}

}  // namespace
}  // namespace diffmark
