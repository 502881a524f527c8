// ExpandToRgb24 and InitRgb24Header.
#include <gtest/gtest.h>

#include <cstring>

#include <diffmark/bitmap.h>
#include "platform/platform.h"
#include "support.h"

namespace diffmark {
namespace {

using testsupport::Bytes;

class Expand : public ::testing::Test {
 protected:
  void SetUp() override {
    std::memset(Palette, 0, sizeof Palette);
    for (int i = 1; i < 16; ++i) Palette[i] = RgbQuad{uint8_t(i), uint8_t(16 + i), uint8_t(32 + i), 99};
  }
  void TearDown() override {
    if (slot != nullptr) {
      platform::UnlockBlock(slot);
      platform::FreeBlock(slot);
    }
  }
  Bytes Run(uint16_t bits, int32_t w, int32_t h, const Bytes& source) {
    BitmapInfoHeader header{};
    InitRgb24Header(&header, w, h);
    header.biBitCount = bits;
    const uint8_t* out = ExpandToRgb24(source.data(), source.size(), &header, &slot);
    EXPECT_NE(out, nullptr);
    if (out == nullptr) return {};
    EXPECT_EQ(platform::BlockSize(slot), Rgb24ImageBytes(w, h) + 16);
    return Bytes(out, out + platform::BlockSize(slot));
  }
  static Bytes Colour(int i) {
    return {Palette[i].rgbBlue, Palette[i].rgbGreen, Palette[i].rgbRed};
  }
  BlockHandle slot = nullptr;
};

TEST_F(Expand, EightBitWidthFiveUsesEightByteSourceRowsAndSixteenByteOutputRows) {
  const Bytes source = {1, 2, 3, 4, 5, 0xFF, 0xFF, 0xFF, 6, 7, 8, 9, 10, 0xFF, 0xFF, 0xFF};
  const Bytes out = Run(8, 5, 2, source);
  ASSERT_EQ(out.size(), 48u);
  for (int y = 0; y < 2; ++y) {
    for (int x = 0; x < 5; ++x) {
      const Bytes expected = Colour(source[static_cast<size_t>(y * 8 + x)]);
      EXPECT_EQ(Bytes(out.begin() + y * 16 + x * 3, out.begin() + y * 16 + x * 3 + 3), expected);
    }
    EXPECT_EQ(out[static_cast<size_t>(y * 16 + 15)], 0);  // the padding byte is not written
  }
  for (size_t i = 32; i < 48; ++i) EXPECT_EQ(out[i], 0);
}

TEST_F(Expand, FourBitWidthThreeFillsTheRowWithTheSpareNibble) {
  const Bytes source = {0x12, 0x34, 0, 0};  // one row: pixels 1, 2, 3 and the spare 4
  const Bytes out = Run(4, 3, 1, source);
  Bytes expected;
  for (int i : {1, 2, 3, 4}) {
    const Bytes c = Colour(i);
    expected.insert(expected.end(), c.begin(), c.end());
  }
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 12), expected);
}

TEST_F(Expand, FourBitWidthOneSpillsIntoTheNextRowAndTheSpareBytes) {
  const Bytes source = {0x15, 0, 0, 0, 0x26, 0, 0, 0};  // 2 rows of 1 pixel, 4-byte source rows
  const Bytes out = Run(4, 1, 2, source);
  // Row 0 is bytes 0..3; its spill (colour 5) would reach bytes 3..5, but
  // row 1 (colour 2 from byte 4) overwrites bytes 4 and 5.
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 3), Colour(1));
  EXPECT_EQ(out[3], Colour(5)[0]);
  EXPECT_EQ(Bytes(out.begin() + 4, out.begin() + 7), Colour(2));
  // The last row's spill lands in the 16 extra bytes: 2 bytes beyond the rows.
  EXPECT_EQ(Bytes(out.begin() + 7, out.begin() + 10), Colour(6));
  for (size_t i = 10; i < out.size(); ++i) EXPECT_EQ(out[i], 0);
}

TEST_F(Expand, FourBitWidthFiveUsesFourByteSourceRows) {
  const Bytes source = {0x12, 0x34, 0x5F, 0, 0x67, 0x89, 0xAB, 0};
  const Bytes out = Run(4, 5, 2, source);
  const int expected[2][5] = {{1, 2, 3, 4, 5}, {6, 7, 8, 9, 10}};
  for (int y = 0; y < 2; ++y) {
    for (int x = 0; x < 5; ++x) {
      EXPECT_EQ(Bytes(out.begin() + y * 16 + x * 3, out.begin() + y * 16 + x * 3 + 3),
                Colour(expected[y][x]))
          << y << "," << x;
    }
  }
}

TEST_F(Expand, NeverWrittenPaletteEntriesGiveBlack) {
  const Bytes out = Run(8, 1, 1, {200, 0, 0, 0});
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 3), (Bytes{0, 0, 0}));
}

TEST_F(Expand, OtherBitCountsLeaveTheBlockZero) {
  for (uint16_t bits : {uint16_t{1}, uint16_t{24}}) {
    const Bytes out = Run(bits, 4, 2, Bytes(32, 0x11));
    for (uint8_t b : out) ASSERT_EQ(b, 0);
    platform::UnlockBlock(slot);
    platform::FreeBlock(slot);
    slot = nullptr;
  }
}

TEST_F(Expand, ShortSourceAndHostileSizesStayInsideTheBlocks) {
  // Only the first row's bytes are there: the second row stays zero.
  const Bytes out = Run(8, 4, 2, {1, 2, 3, 4});
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 3), Colour(1));
  for (size_t i = 12; i < 24; ++i) EXPECT_EQ(out[i], 0);
  platform::UnlockBlock(slot);
  platform::FreeBlock(slot);
  slot = nullptr;

  for (auto [w, h] : {std::pair{0, 5}, {5, 0}, {-5, 3}, {3, -5}, {-7, -7}}) {
    const Bytes none = Run(8, w, h, Bytes(64, 1));
    EXPECT_EQ(none.size(), 16u);
    platform::UnlockBlock(slot);
    platform::FreeBlock(slot);
    slot = nullptr;
  }
  BitmapInfoHeader huge{};
  InitRgb24Header(&huge, INT32_MAX, INT32_MAX);
  huge.biBitCount = 8;
  const uint8_t one = 1;
  EXPECT_EQ(ExpandToRgb24(&one, 1, &huge, &slot), nullptr);
  EXPECT_EQ(slot, nullptr);
}

TEST(InitRgb24Header, FillsEveryFieldWith96PixelsPerMetre) {
  BitmapInfoHeader h;
  std::memset(&h, 0xCC, sizeof h);
  EXPECT_EQ(InitRgb24Header(&h, 7, -3), &h);
  EXPECT_EQ(h.biSize, 40u);
  EXPECT_EQ(h.biWidth, 7);
  EXPECT_EQ(h.biHeight, -3);
  EXPECT_EQ(h.biPlanes, 1);
  EXPECT_EQ(h.biBitCount, 24);
  EXPECT_EQ(h.biCompression, 0u);
  EXPECT_EQ(h.biSizeImage, 0u);
  EXPECT_EQ(h.biXPelsPerMeter, 96);
  EXPECT_EQ(h.biYPelsPerMeter, 96);
  EXPECT_EQ(h.biClrUsed, 0u);
  EXPECT_EQ(h.biClrImportant, 0u);
}

}  // namespace
}  // namespace diffmark
