// The row rules, the header records and ReadBitmapFile on small files.
#include <gtest/gtest.h>

#include <cstring>

#include <diffmark/bitmap.h>
#include "platform/platform.h"
#include "support.h"

namespace diffmark {
namespace {

using testsupport::BmpParts;
using testsupport::Bytes;
using testsupport::MakeBmp;
using testsupport::TempDir;
using testsupport::WriteAll;

TEST(RowRules, StrideAndPaddingFollowTheModuloRule) {
  struct Case {
    int32_t n, padded, stride;
  };
  const Case cases[] = {
      {0, 0, 0},     {1, 4, 4},     {2, 4, 8},     {3, 4, 12},     {4, 4, 12},  {5, 8, 16},
      {19, 20, 60},  {-1, -4, -4},  {-5, -8, -16}, {61, 64, 184},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(PaddedRowBytes(c.n), c.padded) << c.n;
    EXPECT_EQ(Rgb24Stride(c.n), c.stride) << c.n;
  }
  // Exact in 64 bits where 32 bits would overflow.
  EXPECT_EQ(Rgb24Stride64(INT32_MAX), 3 * int64_t{INT32_MAX} + 3);
  EXPECT_EQ(Rgb24Stride64(INT32_MIN), 3 * int64_t{INT32_MIN});
  EXPECT_EQ(Rgb24ImageBytes(3, 2), 24u);
  EXPECT_EQ(Rgb24ImageBytes(0, 5), 0u);
  EXPECT_EQ(Rgb24ImageBytes(-5, -5), 0u);
}

TEST(Records, HeadersEncodeLittleEndianFieldByField) {
  BitmapInfoHeader h{};
  InitRgb24Header(&h, 0x01020304, -2);
  uint8_t bytes[kInfoHeaderBytes];
  EncodeInfoHeader(h, bytes);
  const uint8_t expected[kInfoHeaderBytes] = {
      40, 0, 0, 0,  4, 3, 2, 1,  0xFE, 0xFF, 0xFF, 0xFF,  1, 0,  24, 0,  // size .. bit count
      0,  0, 0, 0,  0, 0, 0, 0,                                          // compression, image size
      96, 0, 0, 0,  96, 0, 0, 0,                                         // resolution
      0,  0, 0, 0,  0, 0, 0, 0};                                         // colour counts
  EXPECT_EQ(0, std::memcmp(bytes, expected, sizeof bytes));
  const BitmapInfoHeader back = DecodeInfoHeader(bytes);
  EXPECT_EQ(0, std::memcmp(&back, &h, sizeof h));

  uint8_t file[kFileHeaderBytes];
  EncodeFileHeader(BitmapFileHeader{kBitmapType, 70, 0, 0, 54}, file);
  const uint8_t expectedFile[kFileHeaderBytes] = {'B', 'M', 70, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0};
  EXPECT_EQ(0, std::memcmp(file, expectedFile, sizeof file));
}

class ReadBitmap : public ::testing::Test {
 protected:
  void SetUp() override { std::memset(Palette, 0, sizeof Palette); }
  void TearDown() override {
    if (slot != nullptr) {
      platform::UnlockBlock(slot);
      platform::FreeBlock(slot);
    }
  }
  uint8_t* Read(const Bytes& file) {
    WriteAll(dir / "x.bmp", file);
    return ReadBitmapFile((dir / "x.bmp").string().c_str(), &slot, &info);
  }
  TempDir dir;
  BlockHandle slot = nullptr;
  BitmapInfo info{};
};

TEST_F(ReadBitmap, ThreeByTwoReadsTwelveByteRowsIntoTheEnlargedBlock) {
  BmpParts parts;
  parts.width = 3;
  parts.height = 2;
  parts.pixels = testsupport::PatternRows(3, 2, 7);
  parts.clrUsed = 5;  // ignored at 24 bits: no colour table is read
  const uint8_t* pixels = Read(MakeBmp(parts));
  ASSERT_NE(pixels, nullptr);
  EXPECT_EQ(platform::BlockSize(slot), 1080u);  // Rgb24Stride(19) * 18
  EXPECT_EQ(0, std::memcmp(pixels, parts.pixels.data(), 24));
  for (size_t i = 24; i < 1080; ++i) ASSERT_EQ(pixels[i], 0) << i;  // spare bytes are zero
  EXPECT_EQ(info.bmiHeader.biWidth, 3);
  EXPECT_EQ(info.bmiHeader.biHeight, 2);
  EXPECT_EQ(info.bmiHeader.biClrUsed, 5u);
  for (const RgbQuad& c : Palette) ASSERT_EQ(c.rgbBlue | c.rgbGreen | c.rgbRed | c.rgbReserved, 0);
}

TEST_F(ReadBitmap, EightBitColourTableGoesToThePaletteAndRowsFollowIt) {
  Palette[20] = RgbQuad{9, 9, 9, 9};
  BmpParts parts;
  parts.width = 4;
  parts.height = 1;
  parts.bitCount = 8;
  parts.clrUsed = 16;
  for (int i = 0; i < 64; ++i) parts.colourTable.push_back(static_cast<uint8_t>(i + 1));
  parts.pixels = Bytes(12, 0xAB);
  const uint8_t* pixels = Read(MakeBmp(parts));
  ASSERT_NE(pixels, nullptr);
  EXPECT_EQ(Palette[0].rgbBlue, 1);
  EXPECT_EQ(Palette[15].rgbReserved, 64);
  EXPECT_EQ(Palette[20].rgbBlue, 9);  // entries past the table keep their values
  EXPECT_EQ(pixels[0], 0xAB);
  EXPECT_EQ(pixels[11], 0xAB);
}

TEST_F(ReadBitmap, EightBitWithoutColourCountReadsTheTableAsPixels) {
  BmpParts parts;
  parts.width = 4;
  parts.height = 1;
  parts.bitCount = 8;
  parts.clrUsed = 0;
  parts.colourTable = {1, 2, 3, 4};
  parts.pixels = Bytes(8, 0xCD);
  const uint8_t* pixels = Read(MakeBmp(parts));
  ASSERT_NE(pixels, nullptr);
  EXPECT_EQ(pixels[0], 1);
  EXPECT_EQ(pixels[4], 0xCD);
  EXPECT_EQ(Palette[0].rgbBlue, 0);
}

TEST_F(ReadBitmap, ColourCountAbove256KeepsTheFirst256AndSkipsTheRest) {
  for (uint32_t clrUsed : {257u, 300u}) {
    BmpParts parts;
    parts.width = 1;
    parts.height = 1;
    parts.bitCount = 8;
    parts.clrUsed = clrUsed;
    for (uint32_t i = 0; i < clrUsed * 4; ++i) parts.colourTable.push_back(static_cast<uint8_t>(i / 4));
    parts.pixels = {0x11, 0x22, 0x33, 0x44};
    const uint8_t* pixels = Read(MakeBmp(parts));
    ASSERT_NE(pixels, nullptr) << clrUsed;
    EXPECT_EQ(Palette[255].rgbBlue, 255);
    EXPECT_EQ(pixels[0], 0x11) << clrUsed;  // rows start after all clrUsed entries
    platform::UnlockBlock(slot);
    platform::FreeBlock(slot);
    slot = nullptr;
  }
}

TEST_F(ReadBitmap, ShortFileLeavesTheMissingBytesZero) {
  BmpParts parts;
  parts.width = 2;
  parts.height = 2;
  parts.pixels = Bytes(11, 0x77);  // 16 bytes are due
  const uint8_t* pixels = Read(MakeBmp(parts));
  ASSERT_NE(pixels, nullptr);
  EXPECT_EQ(pixels[10], 0x77);
  for (int i = 11; i < 16; ++i) EXPECT_EQ(pixels[i], 0);
}

TEST_F(ReadBitmap, MissingOrUnreadableFilesLeaveEverythingUntouched) {
  info.bmiHeader.biWidth = 1234;
  BlockHandle before = reinterpret_cast<BlockHandle>(0x1);
  slot = before;
  EXPECT_EQ(ReadBitmapFile((dir / "missing.bmp").string().c_str(), &slot, &info), nullptr);
  EXPECT_EQ(ReadBitmapFile(dir.path().string().c_str(), &slot, &info), nullptr);  // a directory
  Bytes header = MakeBmp(BmpParts{});
  header.resize(53);  // one byte short of the headers
  WriteAll(dir / "short.bmp", header);
  EXPECT_EQ(ReadBitmapFile((dir / "short.bmp").string().c_str(), &slot, &info), nullptr);
  EXPECT_EQ(slot, before);
  EXPECT_EQ(info.bmiHeader.biWidth, 1234);
  slot = nullptr;
}

// Headers whose sizes are hostile: each is refused before anything is
// allocated, with a null slot and the header in the record.
TEST_F(ReadBitmap, HostileSizesAreRefused) {
  struct Case {
    int32_t width, height;
    uint16_t bitCount;
    size_t pixelBytes;
    const char* why;
  };
  const Case cases[] = {
      {INT32_MAX, 1, 24, 16, "block size overflows 31 bits"},
      {1, INT32_MAX, 24, 16, "block size overflows 31 bits"},
      {INT32_MIN, INT32_MIN, 24, 16, "negative times negative"},
      {-16, 10, 24, 16, "zero-byte block"},
      {10, -100, 24, 16, "negative block"},
      {50000, 50000, 24, 6, "far more pixels than the file holds"},
      {20000, 1000, 24, 6, "far more pixels than the file holds"},
      {20000, 1000, 1, 6, "far more pixels than the file holds, even at 1 bit"},
      {1000000, -1, 24, 16, "no rows, but a huge block"},
      {10000000, 0, 24, 16, "no rows, but a huge block"},
  };
  for (const Case& c : cases) {
    BmpParts parts;
    parts.width = c.width;
    parts.height = c.height;
    parts.bitCount = c.bitCount;
    parts.pixels = Bytes(c.pixelBytes, 1);
    slot = reinterpret_cast<BlockHandle>(0x1);
    EXPECT_EQ(Read(MakeBmp(parts)), nullptr) << c.why;
    EXPECT_EQ(slot, nullptr) << c.why;
    EXPECT_EQ(info.bmiHeader.biWidth, c.width) << c.why;
  }
}

TEST_F(ReadBitmap, NonPositiveSizesThatGiveABlockReadNoRows) {
  for (int32_t height : {0, -1, -15}) {
    BmpParts parts;
    parts.width = 4;
    parts.height = height;
    parts.pixels = Bytes(48, 0x55);
    const uint8_t* pixels = Read(MakeBmp(parts));
    ASSERT_NE(pixels, nullptr) << height;
    EXPECT_EQ(pixels[0], 0) << height;
    platform::UnlockBlock(slot);
    platform::FreeBlock(slot);
    slot = nullptr;
  }
}

TEST(JustifiedPixels, ScalesWithBitsPerPixel) {
  EXPECT_EQ(JustifiedPixelBytes(1000, 24), 1000u + 4096u);
  EXPECT_EQ(JustifiedPixelBytes(1000, 32), 1000u + 4096u);
  EXPECT_EQ(JustifiedPixelBytes(1000, 8), 3000u + 4096u);
  EXPECT_EQ(JustifiedPixelBytes(1000, 4), 6000u + 4096u);
  EXPECT_EQ(JustifiedPixelBytes(1000, 1), 24000u + 4096u);
  EXPECT_EQ(JustifiedPixelBytes(1000, 0), 24000u + 4096u);
}

}  // namespace
}  // namespace diffmark
