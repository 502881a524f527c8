// The difference run's two paths, rows streamed and whole images in
// blocks, on the same pairs: Image.bmp, what failed and the inputs must
// come out byte for byte the same, and the stream must be taken exactly
// where it may be.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <random>
#include <string>

#include "compare/pair.h"
#include "support.h"

namespace diffmark {
namespace {

using testsupport::BmpParts;
using testsupport::Bytes;
using testsupport::MakeBmp;
using testsupport::PatternRows;
using testsupport::ReadAll;
using testsupport::TempDir;
using testsupport::WriteAll;

struct Outcome {
  bool hasResult = false;
  Bytes result;          // Image.bmp, when it is a regular file
  Bytes base, other;     // the inputs afterwards
  std::string failed;    // which of the run's three messages it would show, if any
  bool streamed = false;
};

BmpParts Parts(int32_t w, int32_t h, uint32_t seed) {
  BmpParts p;
  p.width = w;
  p.height = h;
  p.pixels = PatternRows(w, h < 0 ? -h : h, seed);
  return p;
}

// `other` with about one byte in `every` changed.
BmpParts Changed(BmpParts other, uint32_t seed, int every) {
  std::mt19937 random(seed);
  for (auto& b : other.pixels) {
    if (static_cast<int>(random() % static_cast<uint32_t>(every)) == 0) b = static_cast<uint8_t>(random());
  }
  return other;
}

class Stream : public ::testing::Test {
 protected:
  // Sets the folder up with `setup`, runs there (streaming allowed or not), and reports.
  Outcome RunBy(bool stream, const std::function<void(const std::filesystem::path&)>& setup) {
    std::filesystem::remove_all(dir / "work");
    std::filesystem::create_directories(dir / "work");
    const std::filesystem::path work = dir / "work";
    setup(work);
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(work);
    Outcome o;
    // What diffmark does, with the stream allowed or not.
    PairRequest request;
    request.base = "Image0.bmp";
    request.other = "Image1.bmp";
    request.reading = PairReading::RawRows;
    request.output.path = "Image.bmp";
    request.output.inPlace = true;
    request.stream = stream;
    const PairResult result = ComparePair(request, CompareOptions{});
    o.streamed = result.streamed;
    o.failed = !result.baseError.empty() ? "base" : !result.otherError.empty() ? "other"
               : !result.outputError.empty() ? "output" : "";
    std::filesystem::current_path(previous);
    o.hasResult = std::filesystem::is_regular_file(work / "Image.bmp");
    if (o.hasResult) o.result = ReadAll(work / "Image.bmp");
    o.base = ReadAll(work / "Image0.bmp");
    o.other = ReadAll(work / "Image1.bmp");
    return o;
  }

  // Both paths on one pair; the automatic one must stream exactly when
  // `streams` says.
  void Same(const char* name, bool streams, const std::function<void(const std::filesystem::path&)>& setup) {
    const Outcome blocks = RunBy(false, setup);
    const Outcome automatic = RunBy(true, setup);
    EXPECT_FALSE(blocks.streamed) << name;
    EXPECT_EQ(automatic.streamed, streams) << name;
    EXPECT_EQ(automatic.hasResult, blocks.hasResult) << name;
    EXPECT_TRUE(automatic.result == blocks.result) << name << ": Image.bmp differs";
    EXPECT_TRUE(automatic.base == blocks.base && automatic.other == blocks.other) << name << ": inputs differ";
    EXPECT_EQ(automatic.failed, blocks.failed) << name;
  }

  void Same(const char* name, bool streams, const Bytes& base, const Bytes& other) {
    Same(name, streams, [&](const std::filesystem::path& work) {
      WriteAll(work / "Image0.bmp", base);
      WriteAll(work / "Image1.bmp", other);
    });
  }

  TempDir dir;
};

TEST_F(Stream, GivesTheBlockPathsResultForEveryStreamablePair) {
  // 1001 pixels wide: rows of 3004 bytes, 349 to a chunk, so 700 rows make
  // two whole chunks and a part of one.
  const BmpParts wide = Parts(1001, 700, 1);
  const BmpParts small = Parts(5, 3, 2);
  const BmpParts square = Parts(64, 64, 3);
  BmpParts v5 = Changed(wide, 4, 50);
  v5.infoSize = 124;
  v5.headerTail = Bytes(84, 0x11);
  // Short files, within the 4096 bytes the reader lets a file lack.
  BmpParts shortBase = wide;
  shortBase.pixels.resize(shortBase.pixels.size() - 3001);  // the last row and a byte
  BmpParts shortOther = Changed(wide, 5, 9);
  shortOther.pixels.resize(shortOther.pixels.size() - 4096);
  BmpParts longer = Changed(square, 6, 20);
  longer.pixels.resize(longer.pixels.size() + 5000, 0xAB);  // more bytes than rows
  const BmpParts topDown = Parts(333, -257, 7);

  struct Case {
    const char* name;
    BmpParts base, other;
  };
  const Case cases[] = {
      {"odd width, padding", small, Changed(small, 8, 3)},
      {"identical", square, square},
      {"several chunks, 2 % of bytes differ", wide, Changed(wide, 9, 50)},
      {"every byte differs", wide, Changed(wide, 10, 1)},
      {"V5 header against 40 bytes", wide, v5},
      {"short first file", shortBase, Changed(wide, 11, 30)},
      {"short second file", wide, shortOther},
      {"more bytes than rows", square, longer},
      {"both top-down", topDown, Changed(topDown, 12, 10)},
      {"one row, one pixel", Parts(1, 1, 13), Parts(1, 1, 14)},
  };
  for (const Case& c : cases) Same(c.name, true, MakeBmp(c.base), MakeBmp(c.other));
}

TEST_F(Stream, EveryOtherPairTakesTheBlockPath) {
  const BmpParts image = Parts(40, 30, 20);
  BmpParts wider = Parts(41, 30, 21);
  BmpParts taller = Parts(40, 31, 22);
  BmpParts upsideDown = Parts(40, -30, 23);
  BmpParts thirtyTwo = image;
  thirtyTwo.bitCount = 32;
  BmpParts noWidth = Parts(0, 30, 24);
  noWidth.pixels = Bytes(64, 1);
  BmpParts noRows = Parts(40, 0, 25);
  noRows.pixels = Bytes(64, 1);

  // The reader's memory bound: 24-bit rows may be at most what the file
  // holds after its headers plus 4096 bytes.  Rgb24Stride(2000) = 6000, so
  // 2 rows (12000 bytes) are justified by 7904 bytes and not by 7903.
  BmpParts atLimit = Parts(2000, 2, 26);
  atLimit.pixels.resize(12000 - 4096);
  BmpParts pastLimit = atLimit;
  pastLimit.pixels.resize(12000 - 4096 - 1);

  struct Case {
    const char* name;
    bool streams;
    BmpParts base, other;
  };
  const Case cases[] = {
      {"widths differ", false, image, wider},
      {"heights differ", false, image, taller},
      {"orientations differ", false, image, upsideDown},
      {"32 bits", false, image, thirtyTwo},
      {"no width", false, noWidth, noWidth},
      {"no rows", false, noRows, noRows},
      {"rows just justified by the file", true, atLimit, atLimit},
      {"first file one byte short of justifying its rows", false, pastLimit, atLimit},
      {"second file one byte short of justifying its rows", false, atLimit, pastLimit},
  };
  for (const Case& c : cases) Same(c.name, c.streams, MakeBmp(c.base), MakeBmp(c.other));

  const Bytes a = MakeBmp(image);
  const Bytes b = MakeBmp(Changed(image, 27, 5));
  Same("second missing", false, [&](const std::filesystem::path& work) { WriteAll(work / "Image0.bmp", a); });
  Same("first shorter than its header", false, Bytes(53, 0), b);
  Same("result is a folder", false, [&](const std::filesystem::path& work) {
    WriteAll(work / "Image0.bmp", a);
    WriteAll(work / "Image1.bmp", b);
    std::filesystem::create_directories(work / "Image.bmp");
  });
  Same("result replaces a longer file", true, [&](const std::filesystem::path& work) {
    WriteAll(work / "Image0.bmp", a);
    WriteAll(work / "Image1.bmp", b);
    WriteAll(work / "Image.bmp", Bytes(100000, 0xEE));
  });
}

// Image.bmp that is the same file as an input must not destroy the input
// before it has been read: such pairs go the block path's way.
TEST_F(Stream, AResultThatIsAnInputIsNotStreamedOver) {
  const Bytes a = MakeBmp(Parts(300, 200, 30));
  const Bytes b = MakeBmp(Changed(Parts(300, 200, 30), 31, 7));
  Same("result is a hard link to the first input", false, [&](const std::filesystem::path& work) {
    WriteAll(work / "Image0.bmp", a);
    WriteAll(work / "Image1.bmp", b);
    std::filesystem::create_hard_link(work / "Image0.bmp", work / "Image.bmp");
  });
#if !defined(_WIN32)
  Same("result is a symbolic link to the second input", false, [&](const std::filesystem::path& work) {
    WriteAll(work / "Image0.bmp", a);
    WriteAll(work / "Image1.bmp", b);
    std::filesystem::create_symlink("Image1.bmp", work / "Image.bmp");
  });
#endif
}

}  // namespace
}  // namespace diffmark
