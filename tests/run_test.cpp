// The real program, run in a temporary directory on real files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <thread>

#include "support.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif

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

// The rows of a picture in the opposite order (rows of Stride(w) bytes).
Bytes Flipped(const Bytes& rows, int32_t w) {
  const auto stride = static_cast<size_t>(Stride(w));
  Bytes out;
  for (size_t end = rows.size(); end >= stride; end -= stride) {
    out.insert(out.end(), rows.begin() + static_cast<long>(end - stride), rows.begin() + static_cast<long>(end));
  }
  return out;
}

// A 24-bit file of a picture given bottom row first, stored either way.
BmpParts Stored(int32_t w, int32_t h, const Bytes& bottomUp, bool topDown) {
  return Parts(w, topDown ? -h : h, topDown ? Flipped(bottomUp, w) : bottomUp);
}

TEST_F(Run, TopDownAndBottomUpFilesCompareTheSameRowsOfThePicture) {
  const int32_t w = 5;
  const int32_t h = 4;
  const Bytes picture0 = PatternRows(w, h, 21);
  Bytes picture1 = picture0;
  picture1[0] ^= 1;                                             // bottom row, first pixel, blue
  picture1[static_cast<size_t>(Stride(w) * (h - 1) + 8)] ^= 64;  // top row, third pixel, red
  picture1[static_cast<size_t>(Stride(w) + 4)] ^= 2;             // second row from the bottom
  // The marked picture, bottom row first, as a pair of bottom-up files gives it.
  const Bytes marked = Expected(Parts(w, h, picture0), Parts(w, h, picture1));
  for (bool baseTopDown : {false, true}) {
    for (bool otherTopDown : {false, true}) {
      const BmpParts base = Stored(w, h, picture0, baseTopDown);
      const BmpParts other = Stored(w, h, picture1, otherTopDown);
      Inputs(base, other);
      Go();
      // The second file's header, so its orientation, and the marked rows in that order.
      Bytes expected(marked.begin(), marked.begin() + 14);
      const Bytes otherFile = MakeBmp(other);
      expected.insert(expected.end(), otherFile.begin() + 14, otherFile.begin() + 54);
      const Bytes rows(marked.begin() + 54, marked.end());
      const Bytes ordered = otherTopDown ? Flipped(rows, w) : rows;
      expected.insert(expected.end(), ordered.begin(), ordered.end());
      EXPECT_EQ(ReadAll(dir / "Image.bmp"), expected) << "base top-down " << baseTopDown
                                                      << ", other top-down " << otherTopDown;
    }
  }
  // A top-down height whose magnitude does not fit is refused.
  BmpParts refused = Parts(w, INT32_MIN, picture1);
  std::filesystem::remove(dir / "Image.bmp");
  Inputs(Parts(w, h, picture0), refused);
  const auto outcome = Go();
#if !defined(_WIN32)
  EXPECT_EQ(outcome.standardError, "通知: Image1.bmpが見つかりません。\n終了します。\n");
#endif
  EXPECT_FALSE(HasResult());
}

// Longer info headers (V4, V5, ...) give the result a pair of 40-byte
// headers would give; other biSize values pass through as they always did.
TEST_F(Run, LongerInfoHeadersGiveTheResultOfFortyByteHeaders) {
  struct Case {
    uint32_t baseSize, otherSize;
  };
  const Case cases[] = {{124, 124}, {40, 124}, {124, 40}, {108, 56}, {64, 52}, {40, 12}, {124, 0xFFFFFFFFu}};
  const BmpParts base = Parts(7, 3, PatternRows(7, 3, 31));
  BmpParts other = base;
  for (size_t i = 0; i < other.pixels.size(); i += 5) other.pixels[i] ^= 0x11;
  for (const Case& c : cases) {
    BmpParts longBase = base;
    BmpParts longOther = other;
    longBase.infoSize = c.baseSize;
    longOther.infoSize = c.otherSize;
    longBase.headerTail = Bytes(c.baseSize > 40 ? c.baseSize - 40 : 0, 0xEE);
    longOther.headerTail = Bytes(c.otherSize > 40 && c.otherSize < 0xFFFF ? c.otherSize - 40 : 0, 0xEE);
    Inputs(longBase, longOther);
    Go();
    // Only a longer header's size becomes 40; 12 and hostile sizes stay.
    BmpParts plainOther = other;
    plainOther.infoSize = c.otherSize > 40 && c.otherSize < 0xFFFF ? 40 : c.otherSize;
    EXPECT_EQ(ReadAll(dir / "Image.bmp"), Expected(base, plainOther)) << c.baseSize << " " << c.otherSize;
  }
}

#if !defined(_WIN32)
// Inputs that are FIFOs, sockets or devices are never opened for reading
// (no waiting for a writer, no endless device); the result file as a FIFO
// without a reader fails at once, and a write that fails part-way (a full
// device) gives the warning.
class SpecialFile {
 public:
  enum Kind { Fifo, Socket, Device };
  SpecialFile(Kind kind, const std::filesystem::path& path) : fd_(-1) {
    switch (kind) {
      case Fifo:
        EXPECT_EQ(mkfifo(path.c_str(), 0600), 0) << path;
        break;
      case Socket: {
        fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const std::string name = path.string();
        EXPECT_LT(name.size(), sizeof address.sun_path);
        std::memcpy(address.sun_path, name.c_str(), std::min(name.size(), sizeof address.sun_path - 1));
        EXPECT_EQ(bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0) << path;
        break;
      }
      case Device:
        std::filesystem::create_symlink("/dev/zero", path);
        break;
    }
  }
  ~SpecialFile() {
    if (fd_ >= 0) close(fd_);
  }
  SpecialFile(const SpecialFile&) = delete;
  SpecialFile& operator=(const SpecialFile&) = delete;

 private:
  int fd_;
};

TEST_F(Run, InputsThatAreNotRegularFilesCountAsMissing) {
  const Bytes image = MakeBmp(Parts(1, 1, {1, 2, 3, 0}));
  const Bytes previous(77, 0x42);
  const struct {
    SpecialFile::Kind kind;
    const char* what;
  } kinds[] = {{SpecialFile::Fifo, "FIFO"}, {SpecialFile::Socket, "socket"}, {SpecialFile::Device, "/dev/zero"}};
  for (const auto& k : kinds) {
    for (const char* name : {"Image0.bmp", "Image1.bmp"}) {
      std::filesystem::remove(dir / "Image0.bmp");
      std::filesystem::remove(dir / "Image1.bmp");
      WriteAll(dir / (std::string(name) == "Image0.bmp" ? "Image1.bmp" : "Image0.bmp"), image);
      WriteAll(dir / "Image.bmp", previous);
      const SpecialFile special(k.kind, dir / name);
      const auto outcome = Go();
      EXPECT_EQ(outcome.standardError,
                "通知: " + std::string(name) + "が見つかりません。\n終了します。\n") << k.what << " " << name;
      EXPECT_EQ(ReadAll(dir / "Image.bmp"), previous) << k.what << " " << name;
    }
  }
}

TEST_F(Run, ResultThatIsAFifoWithoutReaderOrAFullDeviceGivesTheWarning) {
  const BmpParts image = Parts(40, 30, PatternRows(40, 30, 4));
  Inputs(image, image);
  ASSERT_EQ(mkfifo((dir / "Image.bmp").c_str(), 0600), 0);
  auto outcome = Go();  // would wait for ever for a reader if the open blocked
  EXPECT_EQ(outcome.standardError, "警告: ファイルが作れません。\n");
  EXPECT_TRUE(std::filesystem::is_fifo(dir / "Image.bmp"));

  std::filesystem::remove(dir / "Image.bmp");
  std::filesystem::create_symlink("/dev/full", dir / "Image.bmp");  // every write fails: no space
  outcome = Go();
  EXPECT_EQ(outcome.standardError, "警告: ファイルが作れません。\n");
}

// A reader that goes away part-way makes the write fail: the warning, and
// exit status 0, not death by SIGPIPE.
TEST_F(Run, ResultFifoWhoseReaderLeavesEarlyGivesTheWarning) {
  const BmpParts image = Parts(300, 300, PatternRows(300, 300, 4));  // far more than a pipe holds
  Inputs(image, image);
  const std::string fifo = (dir / "Image.bmp").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::thread reader([&] {
    const int fd = ::open(fifo.c_str(), O_RDONLY);  // waits for the run to open it
    char some[100];
    if (fd >= 0) {
      (void)::read(fd, some, sizeof some);
      ::close(fd);
    }
  });
  const auto outcome = Go();
  reader.join();
  EXPECT_EQ(outcome.standardError, "警告: ファイルが作れません。\n");
}
#endif

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
      {"top-down, first smaller", 2, -2, 40, -30, 24, 0, 16, 3600},
      {"mixed orientation, first smaller", 2, 2, 40, -30, 24, 0, 16, 3600},
      {"mixed orientation, first larger", 9, -9, 4, 3, 24, 0, 252, 36},
      {"top-down, INT32_MIN height", 4, 4, 4, INT32_MIN, 24, 0, 48, 48},
      {"top-down at 32 bits", 4, -4, 4, -4, 32, 0, 48, 64},
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
