// The real program, run in a temporary directory on real files.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "support.h"

namespace {

using testsupport::BmpParts;
using testsupport::Bytes;
using testsupport::MakeBmp;
using testsupport::PatternRows;
using testsupport::ReadAll;
using testsupport::TempDir;
using testsupport::WriteAll;

const std::string kProgram = testsupport::BuildPath(DIFFMARK_EXE);

uint32_t U32(const Bytes& b, size_t at) {
  return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 | uint32_t{b[at + 3]} << 24;
}

int64_t Stride(int32_t w) { return 3 * int64_t{w} + w % 4; }

// What Image.bmp must hold for a valid pair: a fresh file header, the
// second file's info header, and the first file's rows with every
// differing pixel byte replaced by its channel's marker.
Bytes Expected(const BmpParts& base, const BmpParts& other) {
  const Bytes otherFile = MakeBmp(other);
  const int64_t stride = Stride(other.width);
  const size_t rowBytes = static_cast<size_t>(stride * other.height);
  Bytes rows(rowBytes, 0);
  std::memcpy(rows.data(), base.pixels.data(), std::min(rowBytes, base.pixels.size()));
  const uint8_t marker[3] = {255, 0, 255};
  for (int32_t y = 0; y < other.height; ++y) {
    for (int32_t x = 0; x < 3 * other.width; ++x) {
      const size_t o = static_cast<size_t>(y * stride + x);
      if (rows[o] != other.pixels[o]) rows[o] = marker[x % 3];
    }
  }
  Bytes out = {'B', 'M'};
  const auto size = static_cast<uint32_t>(54 + rowBytes);
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(size >> (8 * i)));
  out.insert(out.end(), {0, 0, 0, 0, 54, 0, 0, 0});
  out.insert(out.end(), otherFile.begin() + 14, otherFile.begin() + 54);
  out.insert(out.end(), rows.begin(), rows.end());
  return out;
}

class Run : public ::testing::Test {
 protected:
  testsupport::RunOutcome Go() {
    auto outcome = testsupport::RunProgram(kProgram, dir.path());
    EXPECT_EQ(outcome.exitCode, 0) << outcome.standardError;
    return outcome;
  }
  void Inputs(const BmpParts& base, const BmpParts& other) {
    WriteAll(dir / "Image0.bmp", MakeBmp(base));
    WriteAll(dir / "Image1.bmp", MakeBmp(other));
  }
  bool HasResult() const { return std::filesystem::exists(dir / "Image.bmp"); }
  TempDir dir;
};

BmpParts Parts(int32_t w, int32_t h, Bytes pixels) {
  BmpParts s;
  s.width = w;
  s.height = h;
  s.pixels = std::move(pixels);
  return s;
}

TEST_F(Run, IdenticalImagesGiveTheFirstRowsBehindTheSecondHeader) {
  BmpParts base = Parts(2, 2, PatternRows(2, 2, 1));
  BmpParts other = base;
  other.xPels = 1234;  // the info header comes from the second file
  Inputs(base, other);
  Go();
  const Bytes out = ReadAll(dir / "Image.bmp");
  ASSERT_EQ(out.size(), 70u);  // 14 + 40 + 2 rows of 8
  EXPECT_EQ(U32(out, 2), 70u);
  EXPECT_EQ(U32(out, 14 + 24), 1234u);
  EXPECT_EQ(out, Expected(base, other));
}

TEST_F(Run, MarksEveryDifferingChannelByteForManySizes) {
  std::mt19937 random(99);
  for (auto [w, h] : {std::pair{1, 1}, {2, 2}, {3, 2}, {5, 3}, {4, 4}, {61, 7}, {100, 9}}) {
    BmpParts base = Parts(w, h, PatternRows(w, h, 3));
    BmpParts other = base;
    for (auto& b : other.pixels) {
      if (random() % 4 == 0) b = static_cast<uint8_t>(random());  // padding too
    }
    Inputs(base, other);
    Go();
    ASSERT_EQ(ReadAll(dir / "Image.bmp"), Expected(base, other)) << w << "x" << h;
  }
}

TEST_F(Run, ChannelRulesOnSinglePixels) {
  // Pixels: blue differs only; blue already 255 and differs; equal 255/0/255
  // untouched; red differs; all three differ.  Width 5, padding 1 byte.
  Bytes a = {10, 20, 30, 255, 20, 30, 255, 0, 255, 1, 2, 3, 4, 5, 6, 9};
  Bytes b = {11, 20, 30, 254, 20, 30, 255, 0, 255, 1, 2, 4, 7, 8, 9, 8};
  Inputs(Parts(5, 1, a), Parts(5, 1, b));
  Go();
  const Bytes out = ReadAll(dir / "Image.bmp");
  const Bytes rows(out.begin() + 54, out.end());
  EXPECT_EQ(rows, (Bytes{255, 20, 30, 255, 20, 30, 255, 0, 255, 1, 2, 255, 255, 0, 255, 9}));
}

TEST_F(Run, ExistingResultIsOverwrittenInFull) {
  WriteAll(dir / "Image.bmp", Bytes(5000, 0xEE));
  const BmpParts base = Parts(1, 1, {1, 2, 3, 4});
  Inputs(base, base);
  Go();
  EXPECT_EQ(ReadAll(dir / "Image.bmp"), Expected(base, base));
}

struct MessageCase {
  const char* name;
  bool base, other;
  const char* message;
};

TEST_F(Run, MissingInputsShowTheirMessageAndWriteNothing) {
  const MessageCase cases[] = {
      {"no Image0", false, true, "通知: Image0.bmpが見つかりません。\n終了します。\n"},
      {"no Image1", true, false, "通知: Image1.bmpが見つかりません。\n終了します。\n"},
      {"neither", false, false, "通知: Image0.bmpが見つかりません。\n終了します。\n"},
  };
  const Bytes previous(77, 0x42);
  for (const MessageCase& c : cases) {
    std::filesystem::remove(dir / "Image0.bmp");
    std::filesystem::remove(dir / "Image1.bmp");
    const Bytes image = MakeBmp(Parts(1, 1, {1, 2, 3, 0}));
    if (c.base) WriteAll(dir / "Image0.bmp", image);
    if (c.other) WriteAll(dir / "Image1.bmp", image);
    WriteAll(dir / "Image.bmp", previous);
    const auto outcome = Go();
#if !defined(_WIN32)
    EXPECT_EQ(outcome.standardError, c.message) << c.name;
#endif
    EXPECT_EQ(ReadAll(dir / "Image.bmp"), previous) << c.name;
  }
}

TEST_F(Run, InputsThatAreDirectoriesOrTooShortCountAsMissing) {
  std::filesystem::create_directories(dir / "Image0.bmp");
  WriteAll(dir / "Image1.bmp", MakeBmp(Parts(1, 1, {1, 2, 3, 0})));
  auto outcome = Go();
#if !defined(_WIN32)
  EXPECT_NE(outcome.standardError.find("Image0.bmp"), std::string::npos);
#endif
  std::filesystem::remove(dir / "Image0.bmp");
  WriteAll(dir / "Image0.bmp", MakeBmp(Parts(1, 1, {1, 2, 3, 0})));
  WriteAll(dir / "Image1.bmp", Bytes(53, 0));
  outcome = Go();
#if !defined(_WIN32)
  EXPECT_NE(outcome.standardError.find("Image1.bmp"), std::string::npos);
#endif
  EXPECT_FALSE(HasResult());
}

TEST_F(Run, ResultThatCannotBeCreatedShowsTheWarning) {
  const BmpParts image = Parts(1, 1, {1, 2, 3, 0});
  Inputs(image, image);
  std::filesystem::create_directories(dir / "Image.bmp");
  const auto outcome = Go();
#if !defined(_WIN32)
  EXPECT_EQ(outcome.standardError, "警告: ファイルが作れません。\n");
#endif
  EXPECT_TRUE(std::filesystem::is_directory(dir / "Image.bmp"));
}

TEST_F(Run, LargerFirstImageIsReadWithTheSecondImagesLayout) {
  // 6x4 then 4x3: the first block holds the 4x3 rows, so its first
  // Rgb24Stride(4) * 3 = 36 bytes are compared and written as they lie.
  BmpParts base = Parts(6, 4, PatternRows(6, 4, 5));
  BmpParts other = Parts(4, 3, PatternRows(4, 3, 6));
  Inputs(base, other);
  Go();
  EXPECT_EQ(ReadAll(dir / "Image.bmp"), Expected(base, other));
}

TEST_F(Run, SmallerFirstImageComparesWhatBothHoldAndPadsWithZero) {
  // The first block (2x2: Rgb24Stride(18) * 18 = 1008 bytes) is smaller than
  // the 40x30 rows of the second image (3600 bytes).
  BmpParts base = Parts(2, 2, PatternRows(2, 2, 8));
  BmpParts other = Parts(40, 30, PatternRows(40, 30, 9));
  Inputs(base, other);
  Go();
  const Bytes out = ReadAll(dir / "Image.bmp");
  ASSERT_EQ(out.size(), 54u + 3600u);
  EXPECT_EQ(U32(out, 2), out.size());
  EXPECT_EQ(0, std::memcmp(out.data() + 14, MakeBmp(other).data() + 14, 40));
  for (size_t i = 54 + 1008; i < out.size(); ++i) ASSERT_EQ(out[i], 0) << i;
  // Within the first block every pixel byte of a row is either the base
  // byte (equal) or a marker.
  EXPECT_EQ(out[54], base.pixels[0] == other.pixels[0] ? base.pixels[0] : 255);
}

// Hostile or odd headers: the run never crashes, always exits 0, and any
// Image.bmp it writes has a bfSize equal to its length.
TEST_F(Run, HostileHeadersNeverCrashAndWriteConsistentFiles) {
  struct Case {
    const char* name;
    int32_t w0, h0, w1, h1;
    uint16_t bits1;
    uint32_t clr1;
    size_t pixels0, pixels1;
  };
  const Case cases[] = {
      {"zero width", 0, 5, 0, 5, 24, 0, 16, 16},
      {"zero height", 4, 0, 4, 0, 24, 0, 16, 16},
      {"small negative height", 4, -3, 4, -3, 24, 0, 48, 48},
      {"large negative height", 4, -300, 4, -300, 24, 0, 48, 48},
      {"both negative", -5, -5, -5, -5, 24, 0, 80, 80},
      {"INT32_MIN", INT32_MIN, INT32_MIN, INT32_MIN, INT32_MIN, 24, 0, 16, 16},
      {"INT32_MAX width", 4, 4, INT32_MAX, 1, 24, 0, 48, 16},
      {"block overflows 32 bits", 4, 4, 70000, 70000, 24, 0, 48, 16},
      {"50000 x 50000 on a short file", 4, 4, 50000, 50000, 24, 0, 48, 6},
      {"20000 x 2000 on a short file", 4, 4, 20000, 2000, 24, 0, 48, 6},
      {"clrUsed 2^32-1", 4, 4, 4, 4, 8, 0xFFFFFFFFu, 48, 48},
      {"clrUsed 257 at 1 bit", 4, 4, 4, 4, 1, 257, 48, 48},
      {"32 bits per pixel", 4, 4, 4, 4, 32, 0, 48, 64},
      {"sizes differ", 3, 3, 9, 9, 24, 0, 36, 252},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(dir / "Image.bmp");
    BmpParts base = Parts(c.w0, c.h0, Bytes(c.pixels0, 0x10));
    BmpParts other = Parts(c.w1, c.h1, Bytes(c.pixels1, 0x20));
    other.bitCount = c.bits1;
    other.clrUsed = c.clr1;
    Inputs(base, other);
    Go();
    if (HasResult()) {
      const Bytes out = ReadAll(dir / "Image.bmp");
      ASSERT_GE(out.size(), 54u) << c.name;
      EXPECT_EQ(U32(out, 2), out.size()) << c.name;
      EXPECT_LT(out.size(), 1u << 24) << c.name;
    }
  }
}

}  // namespace
