// Plug-ins: discovery and release of the table, and decoding through
// LoadWithPlugin with the test plug-ins built beside this suite.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include <diffmark/imageload.h>
#include "platform/platform.h"
#include "support.h"

namespace diffmark {
namespace {

using testsupport::Bytes;
using testsupport::TempDir;

const std::string kBuiltPlugins = testsupport::BuildPath(DIFFMARK_TEST_PLUGIN_DIR);

void Put32(Bytes& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// A file for the test plug-in: status, then the info and pixel blocks.
Bytes TestImage(uint32_t status, const Bytes& info, const Bytes& pixels) {
  Bytes out;
  Put32(out, status);
  Put32(out, static_cast<uint32_t>(info.size()));
  Put32(out, static_cast<uint32_t>(pixels.size()));
  out.insert(out.end(), info.begin(), info.end());
  out.insert(out.end(), pixels.begin(), pixels.end());
  return out;
}

// An info block: the 40-byte header and `entries` colour entries (i, i, i, 0xEE).
Bytes InfoBlock(int32_t w, int32_t h, uint16_t bits, int entries) {
  BitmapInfoHeader header{};
  InitRgb24Header(&header, w, h);
  header.biBitCount = bits;
  uint8_t bytes[kInfoHeaderBytes];
  EncodeInfoHeader(header, bytes);
  Bytes out(bytes, bytes + sizeof bytes);
  for (int i = 0; i < entries; ++i) {
    const auto v = static_cast<uint8_t>(i);
    out.insert(out.end(), {v, v, v, 0xEE});
  }
  return out;
}

class Plugins : public ::testing::Test {
 protected:
  void SetUp() override {
    ReleasePlugins();
    std::memset(Palette, 0, sizeof Palette);
    ASSERT_TRUE(SetPluginDirectory(dir.path().string().c_str()));
  }
  void TearDown() override {
    ReleasePlugins();
    ASSERT_TRUE(SetPluginDirectory(""));
    if (slot != nullptr) {
      platform::UnlockBlock(slot);
      platform::FreeBlock(slot);
    }
  }
  void Install(const char* plugin, const std::string& as = "") {
    std::filesystem::copy_file(kBuiltPlugins + "/" + plugin + ".spi",
                               dir / (as.empty() ? std::string(plugin) + ".spi" : as));
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (int32_t i = 0; i < PluginTable.count; ++i) names.emplace_back(PluginTable.entries[i].fileName);
    return names;
  }
  // The order the platform lists the directory in, for the given names.
  std::vector<std::string> Listed(const std::vector<std::string>& wanted) const {
    std::vector<std::string> order;
    platform::FindRecord record;
    const std::string pattern = dir.path().string() + "\\*.spi";
    platform::FindHandle find = platform::FindFirst(pattern.c_str(), &record);
    if (find == nullptr) return order;
    do {
      for (const auto& w : wanted) {
        if (w == record.cFileName) order.push_back(w);
      }
    } while (platform::FindNext(find, &record));
    platform::FindEnd(find);
    return order;
  }
  uint8_t* Load(const std::string& name, const Bytes& contents) {
    testsupport::WriteAll(images / name, contents);
    return LoadWithPlugin((images / name).string().c_str(), &slot, &info);
  }
  // Adds an entry by hand, as registration would, with the given filter.
  static void AddEntry(const char* fileName, const char* filter) {
    PluginEntry& e = PluginTable.entries[PluginTable.count++];
    e.fileNameBlock = platform::AllocBlock(std::strlen(fileName) + 2);
    e.fileName = static_cast<char*>(platform::LockBlock(e.fileNameBlock));
    std::strcpy(e.fileName, fileName);
    e.filterBlock = platform::AllocBlock(std::strlen(filter) + 2);
    e.filter = static_cast<char*>(platform::LockBlock(e.filterBlock));
    std::strcpy(e.filter, filter);
  }

  TempDir dir;
  TempDir images;
  BlockHandle slot = nullptr;
  BitmapInfo info{};
};

TEST_F(Plugins, ScanRegistersUsableLibrariesInListingOrderAndSkipsTheRest) {
  Install("tplain");
  Install("tnopicture");
  Install("tnoinfo");
  testsupport::WriteAll(dir / "notalib.spi", Bytes(300, 'x'));
  std::filesystem::create_directories(dir / "folder.spi");
  testsupport::WriteAll(dir / "other.dll", Bytes(4, 0));
  ScanPlugins();
  EXPECT_EQ(Names(), Listed({"tplain.spi", "tnopicture.spi"}));
  for (int32_t i = 0; i < PluginTable.count; ++i) {
    const PluginEntry& e = PluginTable.entries[i];
    const char* filter = std::string(e.fileName) == "tplain.spi" ? "*.tst;*.raw" : "*.tst";
    EXPECT_STREQ(e.filter, filter);
    EXPECT_EQ(platform::BlockSize(e.filterBlock), std::strlen(filter) + 2);
    EXPECT_EQ(platform::BlockSize(e.fileNameBlock), std::strlen(e.fileName) + 2);
  }

  ScanPlugins();  // a second scan appends
  ASSERT_EQ(PluginTable.count, 4);
  EXPECT_STREQ(PluginTable.entries[2].fileName, PluginTable.entries[0].fileName);

  ReleasePlugins();
  EXPECT_EQ(PluginTable.count, 0);
  ScanPlugins();  // starts again at entry 0
  EXPECT_EQ(Names(), Listed({"tplain.spi", "tnopicture.spi"}));
}

TEST_F(Plugins, EmptyOrMissingDirectoryRegistersNothing) {
  ScanPlugins();
  EXPECT_EQ(PluginTable.count, 0);
  ASSERT_TRUE(SetPluginDirectory((dir.path().string() + "\\missing").c_str()));
  ScanPlugins();
  EXPECT_EQ(PluginTable.count, 0);
  ReleasePlugins();  // on an empty table: nothing but count 0
  EXPECT_EQ(PluginTable.count, 0);
}

TEST_F(Plugins, FilterWithoutTerminatorIsCutAt255) {
  Install("tunterminated");
  ScanPlugins();
  ASSERT_EQ(PluginTable.count, 1);
  EXPECT_EQ(std::strlen(PluginTable.entries[0].filter), 255u);
  EXPECT_EQ(std::string(PluginTable.entries[0].filter, 6), "*.tst;");
}

TEST_F(Plugins, NamesThatDoNotFitAPathAreSkipped) {
  std::string name(kMaxPath - dir.path().string().size() - 1, 'n');  // one byte too long
  name.replace(name.size() - 4, 4, ".spi");
  FindRecord record{};
  std::memcpy(record.cFileName, name.c_str(), name.size() + 1);
  RegisterPlugin(record);
  EXPECT_EQ(PluginTable.count, 0);
}

TEST_F(Plugins, DecodesEightBitImagesIntoRecordAndPalette) {
  Install("tplain");
  ScanPlugins();
  const Bytes pixels = {0, 1, 2, 3, 4, 5, 6, 7};  // 2 rows of 4 indices
  const uint8_t* result = Load("a.RAW", TestImage(0, InfoBlock(4, 2, 8, 256), pixels));
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(0, std::memcmp(result, pixels.data(), pixels.size()));
  EXPECT_EQ(platform::BlockSize(slot), pixels.size());
  EXPECT_EQ(info.bmiHeader.biWidth, 4);
  EXPECT_EQ(info.bmiHeader.biBitCount, 8);
  EXPECT_EQ(info.bmiColors[0].rgbReserved, 0xEE);  // the first colour entry rides along
  EXPECT_EQ(Palette[200].rgbBlue, 200);
  EXPECT_EQ(Palette[255].rgbReserved, 0xEE);
}

TEST_F(Plugins, ColourCopyIsBoundedByTheBlockAndThePalette) {
  Install("tplain");
  ScanPlugins();
  struct Case {
    uint16_t bits;
    int entries;
    int expectWritten;
  };
  const Case cases[] = {
      {4, 3, 3},      // fewer entries than 1 << 4
      {1, 10, 2},     // more than 1 << 1
      {0, 5, 1},      // 1 << 0
      {12, 300, 256}, // 1 << 12 bounded by the Palette
      {24, 10, 0},    // no colour table at 24 bits
  };
  for (const Case& c : cases) {
    std::memset(Palette, 0x5A, sizeof Palette);
    const uint8_t* result = Load("a.tst", TestImage(0, InfoBlock(1, 1, c.bits, c.entries), Bytes(16, 0)));
    ASSERT_NE(result, nullptr) << c.bits;
    for (int i = 0; i < 256; ++i) {
      const uint8_t expected = i < c.expectWritten ? static_cast<uint8_t>(i) : 0x5A;
      ASSERT_EQ(Palette[i].rgbBlue, expected) << "bits " << c.bits << " entry " << i;
    }
    platform::UnlockBlock(slot);
    platform::FreeBlock(slot);
    slot = nullptr;
  }
}

TEST_F(Plugins, ShortInfoBlocksAndSmallPixelBlocks) {
  Install("tplain");
  ScanPlugins();
  // 40 to 43 bytes: the header is whole, the colour entry reads as zero.
  Bytes info42 = InfoBlock(2, 1, 24, 1);
  info42.resize(42);
  info.bmiColors[0].rgbBlue = 9;
  ASSERT_NE(Load("a.tst", TestImage(0, info42, Bytes(8, 1))), nullptr);
  EXPECT_EQ(info.bmiColors[0].rgbBlue, 0);
  platform::UnlockBlock(slot);
  platform::FreeBlock(slot);
  slot = nullptr;

  // Unusable results fail without touching the record or the Palette.
  Bytes info39 = InfoBlock(2, 1, 24, 0);
  info39.resize(39);
  const std::string unusable = "plug-in tplain.spi returned an unusable result: ";
  const std::string small = unusable + "pixel block smaller than its rows";
  const struct {
    Bytes file;
    const char* why;
    std::string reason;
  } failures[] = {
      {TestImage(0, info39, Bytes(8, 1)), "info block shorter than the header",
       unusable + "info block shorter than the 40-byte header"},
      {TestImage(0, InfoBlock(2, 1, 24, 0), Bytes(7, 1)), "pixel block smaller than one row", small},
      {TestImage(0, InfoBlock(5, 3, 8, 256), Bytes(23, 1)), "pixel block smaller than 3 rows of 8", small},
      {TestImage(0, InfoBlock(INT32_MAX, INT32_MAX, 32, 0), Bytes(8, 1)), "absurd geometry", small},
      {TestImage(0, InfoBlock(2, -3, 24, 0), Bytes(23, 1)), "top-down, pixel block smaller than 3 rows of 8", small},
      {TestImage(0, InfoBlock(2, INT32_MIN, 24, 0), Bytes(8, 1)), "top-down height that does not fit", small},
      {TestImage(7, InfoBlock(2, 1, 8, 256), Bytes(8, 1)), "GetPicture reports failure",
       "plug-in tplain.spi reported failure: decoding failed (result 7)"},
      {Bytes(5, 0), "GetPicture rejects the data", "plug-in tplain.spi reported failure: decoding failed (result 1)"},
  };
  for (const auto& f : failures) {
    info.bmiHeader.biWidth = 77;
    std::memset(Palette, 0x33, sizeof Palette);
    EXPECT_EQ(Load("b.tst", f.file), nullptr) << f.why;
    EXPECT_EQ(LastLoadError() != nullptr ? LastLoadError() : "", f.reason) << f.why;
    EXPECT_EQ(slot, nullptr) << f.why;
    EXPECT_EQ(info.bmiHeader.biWidth, 77) << f.why;
    EXPECT_EQ(Palette[0].rgbBlue, 0x33) << f.why;
  }
}

TEST_F(Plugins, EmptyTableOrUnmatchedExtensionFailsWithoutDecoding) {
  const Bytes file = TestImage(0, InfoBlock(1, 1, 24, 0), Bytes(4, 0));
  EXPECT_EQ(Load("a.tst", file), nullptr);
  Install("tplain");
  ScanPlugins();
  EXPECT_EQ(Load("a.png", file), nullptr);
  EXPECT_EQ(LoadWithPlugin((images / "missing.tst").string().c_str(), &slot, &info), nullptr);
}

TEST_F(Plugins, LibraryWithoutGetPictureRegistersButCannotDecode) {
  Install("tnopicture");
  ScanPlugins();
  ASSERT_EQ(PluginTable.count, 1);
  EXPECT_EQ(Load("a.tst", TestImage(0, InfoBlock(1, 1, 24, 0), Bytes(4, 0))), nullptr);
}

TEST_F(Plugins, TheLastMatchingEntryDecodes) {
  Install("tfirst");
  Install("tsecond");
  ScanPlugins();
  ASSERT_EQ(PluginTable.count, 2);
  const uint32_t lastTag = std::string(PluginTable.entries[1].fileName) == "tsecond.spi" ? 2 : 1;
  const Bytes file = TestImage(0, InfoBlock(1, 1, 24, 0), Bytes(4, 0));
  ASSERT_NE(Load("a.tst", file), nullptr);  // both accept tst
  EXPECT_EQ(info.bmiHeader.biClrImportant, lastTag);
  platform::UnlockBlock(slot);
  platform::FreeBlock(slot);
  slot = nullptr;
  ASSERT_NE(Load("a.one", file), nullptr);  // only the first accepts one
  EXPECT_EQ(info.bmiHeader.biClrImportant, 1u);
}

TEST_F(Plugins, FilterMatchingRules) {
  Install("tplain");
  struct Case {
    const char* filter;
    const char* name;
    bool accepted;
  };
  const Case cases[] = {
      {"*.jpg;*.jpeg", "a.jpg", true},  {"*.jpgx", "a.jpg", false},  {"*.jpg*", "a.jpg", true},
      {"*.ajpg", "a.jpg", true},        {"*.JPG", "a.jpg", true},    {"*.tst", "noext", false},
      {"*.jpg", "noext", true},  // no extension reads as jpg
      {"", "a.jpg", false},
  };
  const Bytes file = TestImage(0, InfoBlock(1, 1, 24, 0), Bytes(4, 0));
  for (const Case& c : cases) {
    ReleasePlugins();
    AddEntry("tplain.spi", c.filter);
    const uint8_t* result = Load(c.name, file);
    EXPECT_EQ(result != nullptr, c.accepted) << c.filter << " / " << c.name;
    if (result != nullptr) {
      platform::UnlockBlock(slot);
      platform::FreeBlock(slot);
      slot = nullptr;
    }
  }
}

// However a failed plug-in leaves its two handles (null, a live block, or
// blocks it freed), the host ends with nothing allocated, no double free and
// no use of freed memory; LeakSanitizer and AddressSanitizer watch this
// test.  A plug-in that claims success with freed blocks is refused.
TEST_F(Plugins, EveryShapeOfFailureLeavesNothingBehind) {
  Install("tplain");
  ScanPlugins();
  struct Case {
    uint32_t status;  // result | shape << 8
    const char* shape;
    const char* reason;
  };
  const Case cases[] = {
      {0x003, "nothing allocated", "reported failure: corrupt or truncated data (result 3)"},
      {0x102, "info block only", "reported failure: unsupported file or variant (result 2)"},
      {0x204, "both blocks", "reported failure: out of memory (result 4)"},
      {0x305, "both freed and nulled", "reported failure: image too large (result 5)"},
      {0x408, "both freed, stale handles left", "reported failure: decoding failed (result 8)"},
      {0x400, "success claimed with freed blocks", "returned an unusable result: no info block"},
  };
  for (const Case& c : cases) {
    info.bmiHeader.biWidth = 77;
    EXPECT_EQ(Load("a.tst", TestImage(c.status, InfoBlock(2, 1, 24, 0), Bytes(8, 1))), nullptr) << c.shape;
    EXPECT_EQ(slot, nullptr) << c.shape;
    EXPECT_EQ(info.bmiHeader.biWidth, 77) << c.shape;
    ASSERT_NE(LastLoadError(), nullptr) << c.shape;
    EXPECT_EQ(std::string(LastLoadError()), std::string("plug-in tplain.spi ") + c.reason) << c.shape;
  }
  // A success afterwards clears the reason.
  ASSERT_NE(Load("a.tst", TestImage(0, InfoBlock(2, 1, 24, 0), Bytes(8, 1))), nullptr);
  EXPECT_EQ(LastLoadError(), nullptr);
  ReleaseBlock(slot);
  slot = nullptr;
}

}  // namespace
}  // namespace diffmark
