// The Netpbm plug-in, end to end through the library: scan a folder that
// holds it, load PPM and PGM files, compare with the BMP of the same picture.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#define SPI_HOST
#include <diffmark/bitmap.h>
#include "platform/platform.h"
#include <diffmark/imageload.h>
#include <diffmark/spi.h>
#include "support.h"

namespace diffmark {
namespace {

using testsupport::Bytes;

const std::string kPlugin = testsupport::BuildPath(DIFFMARK_NETPBM_PLUGIN);

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A w x h picture as top-down RGB samples.
Bytes Samples(int w, int h, int channels) {
  Bytes out;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w * channels; ++x) out.push_back(static_cast<uint8_t>(x * 37 + y * 11 + 5));
  }
  return out;
}

// The same picture as BMP rows: bottom-up, BGR, padded.
Bytes BmpRows(const Bytes& rgb, int w, int h, bool grey) {
  const int64_t stride = Rgb24Stride64(w);
  Bytes out(static_cast<size_t>(stride * h), 0);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      uint8_t* p = out.data() + (h - 1 - y) * stride + 3 * x;
      if (grey) {
        p[0] = p[1] = p[2] = rgb[static_cast<size_t>(y * w + x)];
      } else {
        const uint8_t* s = rgb.data() + 3 * (y * w + x);
        p[0] = s[2];
        p[1] = s[1];
        p[2] = s[0];
      }
    }
  }
  return out;
}

class Netpbm : public ::testing::Test {
 protected:
  void SetUp() override {
    ReleasePlugins();
    std::filesystem::copy_file(kPlugin, plugins / "netpbm.spi");
    ASSERT_TRUE(SetPluginDirectory(plugins.path().string().c_str()));
    ScanPlugins();
    ASSERT_EQ(PluginTable.count, 1);
  }
  void TearDown() override {
    ReleasePlugins();
    ASSERT_TRUE(SetPluginDirectory(""));
  }
  // Loads the file through LoadImageFile and returns its 24-bit rows.
  Bytes Load24(const std::string& name, const Bytes& contents, uint16_t expectBits) {
    testsupport::WriteAll(files / name, contents);
    BlockHandle block = nullptr;
    BitmapInfo info{};
    const uint8_t* pixels = LoadImageFile((files / name).string().c_str(), &block, &info);
    EXPECT_NE(pixels, nullptr) << name;
    if (pixels == nullptr) return {};
    EXPECT_EQ(info.bmiHeader.biBitCount, expectBits);
    const BitmapInfoHeader& h = info.bmiHeader;
    Bytes rows;
    if (h.biBitCount == 24) {
      rows.assign(pixels, pixels + Rgb24ImageBytes(h.biWidth, h.biHeight));
    } else {
      BlockHandle rgb = nullptr;
      const uint8_t* expanded = ExpandToRgb24(pixels, platform::BlockSize(block), &h, &rgb);
      rows.assign(expanded, expanded + Rgb24ImageBytes(h.biWidth, h.biHeight));
      platform::UnlockBlock(rgb);
      platform::FreeBlock(rgb);
    }
    platform::UnlockBlock(block);
    platform::FreeBlock(block);
    return rows;
  }
  testsupport::TempDir plugins;
  testsupport::TempDir files;
};

TEST_F(Netpbm, PpmAndPgmGiveTheBmpsPixels) {
  for (auto [w, h] : {std::pair{1, 1}, {3, 2}, {5, 4}, {17, 3}}) {
    const Bytes rgb = Samples(w, h, 3);
    const std::string size = std::to_string(w) + " " + std::to_string(h);
    const Bytes ppm = Concat(Text("P6\n# a comment\n" + size + "\n255\n"), rgb);
    // The same picture as a BMP, read by the BMP reader.
    testsupport::BmpParts parts;
    parts.width = w;
    parts.height = h;
    parts.pixels = BmpRows(rgb, w, h, false);
    testsupport::WriteAll(files / "same.bmp", testsupport::MakeBmp(parts));
    BlockHandle block = nullptr;
    BitmapInfo info{};
    const uint8_t* bmp = LoadImageFile((files / "same.bmp").string().c_str(), &block, &info);
    ASSERT_NE(bmp, nullptr);
    EXPECT_EQ(Load24("a.ppm", ppm, 24), Bytes(bmp, bmp + parts.pixels.size())) << w << "x" << h;
    platform::UnlockBlock(block);
    platform::FreeBlock(block);

    const Bytes grey = Samples(w, h, 1);
    const Bytes pgm = Concat(Text("P5 " + size + " 255 "), grey);
    EXPECT_EQ(Load24("a.PGM", pgm, 8), BmpRows(grey, w, h, true)) << w << "x" << h;
  }
}

TEST_F(Netpbm, SmallMaxvalIsScaledToFullRange) {
  const Bytes rows = Load24("g.pnm", Concat(Text("P5 3 1 15\n"), Bytes{0, 15, 7}), 8);
  EXPECT_EQ(rows, (Bytes{0, 0, 0, 255, 255, 255, 119, 119, 119, 0, 0, 0}));
}

TEST_F(Netpbm, MalformedFilesAreRejectedWithoutAllocating) {
  platform::LibraryHandle library = platform::OpenLibrary(kPlugin.c_str());
  ASSERT_NE(library, nullptr);
  const auto getPicture = reinterpret_cast<SpiGetPictureFn>(platform::LookupSymbol(library, "GetPicture"));
  ASSERT_NE(getPicture, nullptr);
  const int32_t unsupported = SPI_ERROR_UNSUPPORTED;
  const int32_t corrupt = SPI_ERROR_CORRUPT;
  const int32_t tooLarge = SPI_ERROR_TOO_LARGE;
  const struct {
    Bytes file;
    int32_t result;
    const char* why;
  } cases[] = {
      {Text("P3 1 1 255\n1 2 3"), unsupported, "ASCII PPM"},
      {Text("Q6 1 1 255\nabc"), unsupported, "bad magic"},
      {Text("P6"), corrupt, "no header"},
      {Text("P6 1 1"), corrupt, "no maxval"},
      {Text("P6 0 1 255\n"), corrupt, "zero width"},
      {Text("P6 1 0 255\n"), corrupt, "zero height"},
      {Text("P6 99999999 99999999 255\n"), tooLarge, "oversized"},
      {Text("P6 1234567890 1 255\n"), corrupt, "too many digits"},
      {Text("P6 1 1 0\nabc"), corrupt, "maxval 0"},
      {Text("P6 1 1 256\nabcabc"), unsupported, "maxval 256"},
      {Text("P6 1 1 65535\nabcabc"), unsupported, "16-bit samples"},
      {Text("P6 2 2 255\nabcabcabcab"), corrupt, "one byte short"},
      {Text("P5 4 4 255\n"), corrupt, "no samples"},
      {Text("P6 1 1 255"), corrupt, "no separator"},
  };
  for (const auto& c : cases) {
    SpiHandle info = nullptr;
    SpiHandle pixels = nullptr;
    const int32_t result = getPicture(reinterpret_cast<const char*>(c.file.data()),
                                      static_cast<int32_t>(c.file.size()), SPI_FLAG_MEMORY, &info,
                                      &pixels, nullptr, 0);
    EXPECT_EQ(result, c.result) << c.why;
    EXPECT_EQ(info, nullptr) << c.why;
    EXPECT_EQ(pixels, nullptr) << c.why;
  }
  char text[SPI_INFO_BUFFER_BYTES];
  const auto getInfo = reinterpret_cast<SpiGetPluginInfoFn>(platform::LookupSymbol(library, "GetPluginInfo"));
  ASSERT_NE(getInfo, nullptr);
  getInfo(2, text, sizeof text);
  EXPECT_STREQ(text, "*.ppm;*.pgm;*.pnm");
  platform::CloseLibrary(library);
}

}  // namespace
}  // namespace diffmark
