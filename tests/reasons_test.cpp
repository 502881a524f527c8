// Every way a load can fail leaves its reason in LastLoadError, and a
// success clears it.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include <diffmark/imageload.h>

#include "support.h"

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

namespace diffmark {
namespace {

using testsupport::BmpParts;
using testsupport::Bytes;
using testsupport::MakeBmp;
using testsupport::TempDir;
using testsupport::WriteAll;

const std::string kBuiltPlugins = testsupport::BuildPath(DIFFMARK_TEST_PLUGIN_DIR);

class Reasons : public ::testing::Test {
 protected:
  void SetUp() override {
    ReleasePlugins();
    ASSERT_TRUE(SetPluginDirectory(plugins.path().string().c_str()));
  }
  void TearDown() override {
    ReleasePlugins();
    ASSERT_TRUE(SetPluginDirectory(""));
    ReleaseBlock(slot);
  }
  // Loads `name` from the image folder; the reason, or "" on success.
  std::string Fails(const std::string& name) {
    ReleaseBlock(slot);
    slot = nullptr;
    const uint8_t* pixels = LoadImageFile((images / name).string().c_str(), &slot, &info);
    const char* why = LastLoadError();
    EXPECT_EQ(pixels == nullptr, why != nullptr) << name;
    return why == nullptr ? "" : why;
  }
  void Install(const char* plugin) {
    std::filesystem::copy_file(kBuiltPlugins + "/" + plugin + ".spi", plugins / (std::string(plugin) + ".spi"));
  }

  TempDir images;
  TempDir plugins;
  BlockHandle slot = nullptr;
  BitmapInfo info{};
};

BmpParts Bmp(int32_t w, int32_t h, size_t pixelBytes) {
  BmpParts parts;
  parts.width = w;
  parts.height = h;
  parts.pixels = Bytes(pixelBytes, 7);
  return parts;
}

TEST_F(Reasons, BitmapReader) {
  WriteAll(images / "good.bmp", MakeBmp(Bmp(2, 2, 16)));
  std::filesystem::create_directories(images / "folder.bmp");
  WriteAll(images / "short.bmp", Bytes(53, 0));
  WriteAll(images / "huge.bmp", MakeBmp(Bmp(20000, 2000, 6)));
  WriteAll(images / "wide.bmp", MakeBmp(Bmp(INT32_MIN, 1, 6)));
  EXPECT_EQ(Fails("missing.bmp"), "file not found");
  EXPECT_EQ(Fails("folder.bmp"), "not a regular file");
  EXPECT_EQ(Fails("short.bmp"), "header too short: 53 of the 54 header bytes");
  EXPECT_EQ(Fails("huge.bmp"), "header claims 120.0 MB, file holds 6 bytes");
  EXPECT_EQ(Fails("wide.bmp"), "image size not representable: -2147483648 x 1 pixels");
  EXPECT_EQ(Fails("good.bmp"), "");
#if !defined(_WIN32)
  ASSERT_EQ(::mkfifo((images / "pipe.bmp").c_str(), 0600), 0);
  EXPECT_EQ(Fails("pipe.bmp"), "not a regular file");  // and it does not wait for a writer
#endif
}

TEST_F(Reasons, PluginPath) {
  WriteAll(images / "a.png", Bytes(20, 0));
  WriteAll(images / "a.tst", Bytes(20, 0));
  EXPECT_EQ(Fails("a.png"), "no plug-in for extension \"png\"");
  EXPECT_EQ(Fails("noextension"), "no plug-in for extension \"jpg\"");

  // A library the scan had to skip is named in the reason of a failed lookup.
  WriteAll(plugins / "broken.spi", Bytes(300, 'x'));
  ScanPlugins();
  EXPECT_EQ(PluginTable.count, 0);
  const std::string skipped = Fails("a.png");
  EXPECT_EQ(skipped.rfind("no plug-in for extension \"png\" (plug-in broken.spi could not be loaded: ", 0), 0u)
      << skipped;
  ReleasePlugins();
  std::filesystem::remove(plugins / "broken.spi");

  Install("tnopicture");
  ScanPlugins();
  EXPECT_EQ(Fails("a.tst"), "plug-in tnopicture.spi does not export GetPicture");
  EXPECT_EQ(Fails("missing.tst"), "file not found");

  // Registered, then gone before the decode: the loader's own text.
  std::filesystem::remove(plugins / "tnopicture.spi");
  const std::string gone = Fails("a.tst");
  EXPECT_EQ(gone.rfind("plug-in tnopicture.spi could not be loaded: ", 0), 0u) << gone;
  EXPECT_GT(gone.size(), std::string("plug-in tnopicture.spi could not be loaded: ").size()) << gone;
}

TEST_F(Reasons, Expansion) {
  BitmapInfoHeader header{};
  InitRgb24Header(&header, INT32_MAX, INT32_MAX);
  header.biBitCount = 8;
  const uint8_t source[4] = {};
  EXPECT_EQ(ExpandToRgb24(source, sizeof source, &header, &slot), nullptr);
  ASSERT_NE(LastLoadError(), nullptr);
  EXPECT_EQ(std::string(LastLoadError()), "image size not representable: 2147483647 x 2147483647 pixels");
  InitRgb24Header(&header, 2, 2);
  header.biBitCount = 8;
  EXPECT_NE(ExpandToRgb24(source, sizeof source, &header, &slot), nullptr);
  EXPECT_EQ(LastLoadError(), nullptr);
}

}  // namespace
}  // namespace diffmark
