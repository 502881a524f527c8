// The name rules that choose a loader: CompareNames, GetExtension, and the
// dispatch of LoadImageFile.
#include <gtest/gtest.h>

#include <string>

#include <diffmark/imageload.h>
#include "platform/platform.h"
#include "support.h"

namespace diffmark {
namespace {

TEST(CompareNames, WholeStrings) {
  struct Case {
    int32_t mode;
    const char* a;
    const char* b;
    int32_t expected;
  };
  const Case cases[] = {
      {0, "", "abc", 0},     {0, "abc", "", 0},     {0, "ab", "abc", 2},  {0, "abc", "ab", 2},
      {0, "abc", "abd", 3},  {0, "jpg", "JPG", 0},  {1, "jpg", "JPG", 1}, {1, "jpg", "jpg", 0},
      {7, "BMP", "bmp", 0},  {0, "a[", "a{", 2},    // '[' is not a letter: no folding
      {0, "\x83\x41", "\x83\x61", 0},                 // Shift_JIS trail bytes fold as bytes
      {0, "\xC1", "\xE1", 1},                         // bytes from 0x80 up never fold
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CompareNames(c.mode, c.a, c.b, 0), c.expected) << c.a << " / " << c.b;
  }
}

TEST(CompareNames, CountedComparisonReadsExactlyNBytes) {
  EXPECT_EQ(CompareNames(0, "jpg", "JPG;*.png", 3), 0);
  EXPECT_EQ(CompareNames(0, "jpgx", "jpgy", 3), 0);
  EXPECT_EQ(CompareNames(0, "ab\0c", "ab\0d", 4), 4);  // terminators are ordinary bytes
  EXPECT_EQ(CompareNames(1, "aB", "ab", 2), 2);
}

TEST(GetExtension, NormalisedExtensions) {
  struct Case {
    const char* name;
    const char* expected;
  };
  const Case cases[] = {
      {"a.b.c", "c"},          {".bmp", "jpg"},          {"noext", "jpg"},
      {"x.abcdefg", "jpg"},    {"x.abcdef", "abcdef"},   {"x.JPEG", "jpg"},
      {"x.jpe", "jpg"},        {"x.BMP", "BMP"},         {"x.", "jpg"},
      {"", "jpg"},             {"dir.d\\name", "d\\name"},  // the search does not stop at '\'
      {"Image0.bmp", "bmp"},
  };
  for (const Case& c : cases) {
    char out[kMaxPath] = "garbage";
    GetExtension(c.name, out);
    EXPECT_STREQ(out, c.expected) << c.name;
  }
}

TEST(LoadImageFile, BmpInAnyCaseGoesToTheReaderOthersToPlugins) {
  testsupport::TempDir dir;
  testsupport::BmpParts parts;
  parts.pixels = {1, 2, 3, 0};
  const testsupport::Bytes file = testsupport::MakeBmp(parts);
  ASSERT_EQ(PluginTable.count, 0);
  const struct {
    const char* name;
    bool viaReader;
  } cases[] = {{"a.bmp", true}, {"A.BMP", true}, {"a.Bmp", true}, {"a", false}, {"a.png", false}};
  for (const auto& c : cases) {
    testsupport::WriteAll(dir / c.name, file);
    BlockHandle slot = nullptr;
    BitmapInfo info{};
    const uint8_t* pixels = LoadImageFile((dir / c.name).string().c_str(), &slot, &info);
    EXPECT_EQ(pixels != nullptr, c.viaReader) << c.name;  // no plug-ins: the others fail
    if (pixels != nullptr) {
      EXPECT_EQ(pixels[0], 1);
      platform::UnlockBlock(slot);
      platform::FreeBlock(slot);
    }
  }
}

}  // namespace
}  // namespace diffmark
