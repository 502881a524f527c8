// The row rules, the header records and ReadBitmapFile on small files.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>

#include <diffmark/bitmap.h>
#include <diffmark/imageload.h>
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
  EXPECT_STREQ(LastLoadError(), "file not found");
  EXPECT_EQ(ReadBitmapFile(dir.path().string().c_str(), &slot, &info), nullptr);  // a directory
  EXPECT_STREQ(LastLoadError(), "not a regular file");
  Bytes header = MakeBmp(BmpParts{});
  header.resize(53);  // one byte short of the headers
  WriteAll(dir / "short.bmp", header);
  EXPECT_EQ(ReadBitmapFile((dir / "short.bmp").string().c_str(), &slot, &info), nullptr);
  EXPECT_STREQ(LastLoadError(), "header too short: 53 of the 54 header bytes");
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
    const char* reason;  // how LastLoadError begins
  };
  const char* notRepresentable = "image size not representable: ";
  const char* claims = "header claims ";
  const char* topDown = "top-down height -2147483648 does not fit";
  const Case cases[] = {
      {INT32_MAX, 1, 24, 16, "block size overflows 31 bits", notRepresentable},
      {1, INT32_MAX, 24, 16, "block size overflows 31 bits", notRepresentable},
      {INT32_MIN, INT32_MIN, 24, 16, "negative times negative", topDown},
      {-16, 10, 24, 16, "zero-byte block", notRepresentable},
      {10, -100, 32, 16, "negative block (not top-down: 32 bits)", notRepresentable},
      {10, -100000, 24, 16, "top-down, far more pixels than the file holds", claims},
      {4, INT32_MIN, 24, 16, "top-down height whose magnitude does not fit", topDown},
      {50000, 50000, 24, 6, "far more pixels than the file holds", notRepresentable},
      {20000, 1000, 24, 6, "far more pixels than the file holds", claims},
      {20000, 1000, 1, 6, "far more pixels than the file holds, even at 1 bit", claims},
      {1000000, -1, 24, 16, "no rows, but a huge block", claims},
      {10000000, 0, 24, 16, "no rows, but a huge block", claims},
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
    const std::string reason = LastLoadError() != nullptr ? LastLoadError() : "";
    EXPECT_EQ(reason.rfind(c.reason, 0), 0u) << c.why << ": " << reason;
  }
}

// Negative heights below and above 24 bits are not top-down files.
TEST_F(ReadBitmap, NonPositiveSizesThatGiveABlockReadNoRows) {
  for (auto [height, bits] : {std::pair<int32_t, uint16_t>{0, 24}, {-1, 32}, {-15, 32}, {-15, 8}}) {
    BmpParts parts;
    parts.width = 4;
    parts.height = height;
    parts.bitCount = bits;
    parts.pixels = Bytes(48, 0x55);
    const uint8_t* pixels = Read(MakeBmp(parts));
    ASSERT_NE(pixels, nullptr) << height;
    EXPECT_EQ(pixels[0], 0) << height;
    platform::UnlockBlock(slot);
    platform::FreeBlock(slot);
    slot = nullptr;
  }
}

// Longer info headers: the colour table and the rows follow the whole
// header; only its first 40 bytes reach the record.  Any other biSize is
// taken as 40 bytes, as it always was.
TEST_F(ReadBitmap, RowsAndColourTableFollowTheWholeInfoHeader) {
  struct Case {
    uint32_t infoSize;
    bool longer;
  };
  const Case cases[] = {{52, true},  {56, true},  {64, true},  {108, true}, {124, true},
                        {12, false}, {40, false}, {0, false},  {41, false}, {125, false},
                        {0xFFFFFFFFu, false}};
  for (const Case& c : cases) {
    for (uint16_t bits : {uint16_t{24}, uint16_t{8}}) {
      std::memset(Palette, 0, sizeof Palette);
      BmpParts parts;
      parts.width = 4;
      parts.height = 2;
      parts.bitCount = bits;
      parts.clrUsed = 2;
      parts.infoSize = c.infoSize;
      // The rest of a longer header: masks, colour space, ... (0xEE here).
      parts.headerTail = Bytes(c.longer ? c.infoSize - 40 : 84, 0xEE);
      if (bits == 8) parts.colourTable = {1, 2, 3, 0, 4, 5, 6, 0};
      parts.pixels = testsupport::PatternRows(4, 2, c.infoSize);
      const std::string name = std::to_string(c.infoSize) + " at " + std::to_string(bits) + " bits";
      const uint8_t* pixels = Read(MakeBmp(parts));
      ASSERT_NE(pixels, nullptr) << name;
      EXPECT_EQ(info.bmiHeader.biSize, c.infoSize) << name;
      EXPECT_EQ(info.bmiHeader.biWidth, 4) << name;
      EXPECT_EQ(info.bmiHeader.biClrUsed, 2u) << name;
      if (c.longer) {
        EXPECT_EQ(0, std::memcmp(pixels, parts.pixels.data(), 24)) << name;
        EXPECT_EQ(Palette[1].rgbRed, bits == 8 ? 6 : 0) << name;
      } else {
        // Rows (and an 8-bit colour table) from offset 54: the tail comes first.
        EXPECT_EQ(pixels[0], 0xEE) << name;
        EXPECT_EQ(Palette[1].rgbRed, bits == 8 ? 0xEE : 0) << name;
      }
      platform::UnlockBlock(slot);
      platform::FreeBlock(slot);
      slot = nullptr;
    }
  }
}

TEST_F(ReadBitmap, MemoryBoundCountsFromWhereTheRowsStart) {
  // 1 x 1030 rows of 4 bytes claim 4120 bytes, on a file with no pixel
  // bytes: over the 4096-byte slack.  Counted from byte 54 of a 124-byte
  // header, 84 header bytes would wrongly pass for pixels.
  BmpParts parts;
  parts.width = 1;
  parts.height = 1030;
  parts.infoSize = 124;
  parts.headerTail = Bytes(84, 0);
  slot = reinterpret_cast<BlockHandle>(0x1);
  EXPECT_EQ(Read(MakeBmp(parts)), nullptr);
  EXPECT_EQ(slot, nullptr);
  parts.pixels = Bytes(24, 1);  // 4096 + 24 bytes justified: just enough
  EXPECT_NE(Read(MakeBmp(parts)), nullptr);
}

// A 24-bit file with a negative height holds |height| rows, top row first:
// they are read in file order into a block sized as for the bottom-up file.
TEST_F(ReadBitmap, TopDownFilesAreReadAsTheirRows) {
  BmpParts parts;
  parts.width = 5;
  parts.height = -3;
  parts.pixels = testsupport::PatternRows(5, 3, 11);
  const uint8_t* pixels = Read(MakeBmp(parts));
  ASSERT_NE(pixels, nullptr);
  EXPECT_EQ(info.bmiHeader.biHeight, -3);
  EXPECT_EQ(platform::BlockSize(slot), static_cast<uint64_t>(Rgb24Stride(21)) * 19);
  EXPECT_EQ(0, std::memcmp(pixels, parts.pixels.data(), parts.pixels.size()));
  EXPECT_EQ(pixels[parts.pixels.size()], 0);
  ReleaseBlock(slot);
  slot = nullptr;

  parts.height = INT32_MIN;
  EXPECT_EQ(Read(MakeBmp(parts)), nullptr);
  EXPECT_EQ(slot, nullptr);
  EXPECT_STREQ(LastLoadError(), "top-down height -2147483648 does not fit");
}

TEST(RowOrder, OnlyNegativeHeightsAt24BitsAreTopDown) {
  struct Case {
    int32_t height;
    uint16_t bits;
    bool ok;
    int32_t rows;
    bool topDown;
  };
  const Case cases[] = {
      {5, 24, true, 5, false},          {0, 24, true, 0, false},
      {-1, 24, true, 1, true},          {-5, 24, true, 5, true},
      {-INT32_MAX, 24, true, INT32_MAX, true}, {INT32_MIN, 24, false, 0, true},
      {-5, 32, true, -5, false},        {-5, 8, true, -5, false},
      {INT32_MIN, 16, true, INT32_MIN, false},
  };
  for (const Case& c : cases) {
    BitmapInfoHeader h{};
    InitRgb24Header(&h, 3, c.height);
    h.biBitCount = c.bits;
    RowLayout layout{};
    EXPECT_EQ(GetRowLayout(h, &layout), c.ok) << c.height << " at " << c.bits;
    EXPECT_EQ(layout.rows, c.rows) << c.height << " at " << c.bits;
    EXPECT_EQ(layout.topDown, c.topDown) << c.height << " at " << c.bits;
  }
  BitmapInfoHeader h{};
  InitRgb24Header(&h, 3, -2);
  EXPECT_EQ(Rgb24ImageBytes(h), 24u);
  uint64_t block = 0;
  EXPECT_TRUE(PixelBlockBytes(h, &block));
  EXPECT_EQ(block, 60u * 18);  // as for height 2: Rgb24Stride(19) x 18
  h.biHeight = INT32_MIN;
  EXPECT_EQ(Rgb24ImageBytes(h), 0u);
  EXPECT_FALSE(PixelBlockBytes(h, &block));
}

// The fresh headers of a 24-bit file: only 40 bytes of info header are
// written, so a longer header's biSize becomes 40; other sizes and every
// other field pass through, and bfSize counts a top-down file's rows.
TEST(Records, Rgb24HeadersWriteAFortyByteHeaderAndCountTopDownRows) {
  struct Case {
    uint32_t biSize, written;
    int32_t height;
    uint32_t bfSize;
  };
  const Case cases[] = {{40, 40, 2, 78},   {124, 40, 2, 78}, {108, 40, -2, 78}, {52, 40, 1, 66},
                        {12, 12, 2, 78},   {7, 7, 2, 78},    {125, 125, -2, 78}, {40, 40, INT32_MIN, 54}};
  for (const Case& c : cases) {
    BitmapInfoHeader h{};
    InitRgb24Header(&h, 3, c.height);
    h.biSize = c.biSize;
    h.biClrUsed = 9;
    uint8_t out[kHeadersBytes];
    ASSERT_TRUE(EncodeRgb24Headers(h, out)) << c.biSize;
    BitmapInfoHeader back = DecodeInfoHeader(out + kFileHeaderBytes);
    EXPECT_EQ(back.biSize, c.written) << c.biSize;
    back.biSize = h.biSize;
    EXPECT_EQ(0, std::memcmp(&back, &h, sizeof h)) << c.biSize;
    EXPECT_EQ(out[2] | out[3] << 8 | out[4] << 16 | out[5] << 24, static_cast<int>(c.bfSize)) << c.biSize;
    EXPECT_EQ(out[10], 54) << c.biSize;
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
