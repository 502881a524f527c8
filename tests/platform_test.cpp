// The platform layer behaves as the core relies on, on every backend.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support.h"
#if !defined(_WIN32)
#include "platform/sjis.h"
#endif

namespace diffmark::platform {
namespace {

using testsupport::TempDir;

TEST(Blocks, OwnSizeLockCountAndZeroedContents) {
  for (uint64_t size : {uint64_t{1}, uint64_t{100}, uint64_t{3} << 20}) {  // heap and mapping
    BlockHandle block = AllocBlock(size);
    ASSERT_NE(block, nullptr);
    EXPECT_GE(BlockSize(block), size);
    auto* p = static_cast<unsigned char*>(LockBlock(block));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(LockBlock(block), p);  // fixed while locked
    for (uint64_t i = 0; i < size; i += 4093) ASSERT_EQ(p[i], 0);
    EXPECT_EQ(p[size - 1], 0);
    p[size - 1] = 1;
    EXPECT_TRUE(UnlockBlock(block));   // still locked once
    EXPECT_FALSE(UnlockBlock(block));  // now unlocked
    FreeBlock(block);
  }
  EXPECT_EQ(AllocBlock(kMaxBlockBytes + 1), nullptr);
  EXPECT_EQ(LockBlock(nullptr), nullptr);
  EXPECT_EQ(BlockSize(nullptr), 0u);
}

// Handles that name no live block are refused by every call, without
// touching memory (AddressSanitizer would tell), as Windows refuses them.
TEST(Blocks, FreedForeignAndNullHandlesAreRefused) {
  BlockHandle freed = AllocBlock(64);
  ASSERT_NE(freed, nullptr);
  ASSERT_TRUE(FreeBlock(freed));
  std::vector<BlockHandle> refused = {freed, nullptr};
#if !defined(_WIN32)
  // Windows takes a plain pointer for a fixed block; here it names nothing.
  int local = 0;
  refused.push_back(&local);
#endif
  for (BlockHandle h : refused) {
    EXPECT_EQ(LockBlock(h), nullptr);
    EXPECT_FALSE(UnlockBlock(h));
    EXPECT_EQ(BlockSize(h), 0u);
    EXPECT_FALSE(FreeBlock(h));
  }
#if !defined(_WIN32)
  BlockHandle live = AllocBlock(16);  // a new block never takes an old handle
  EXPECT_NE(live, freed);
  EXPECT_TRUE(FreeBlock(live));
#endif
}

TEST(Blocks, BlocksForReadingAreZeroedAndLineMatchedWhereSupported) {
  for (uint64_t offset : {uint64_t{0}, uint64_t{54}, uint64_t{1078}}) {
    for (uint64_t size : {uint64_t{10}, uint64_t{4} << 20}) {
      BlockHandle block = AllocBlockForRead(size, offset);
      auto* p = static_cast<unsigned char*>(LockBlock(block));
      ASSERT_NE(p, nullptr);
      EXPECT_GE(BlockSize(block), size);
      EXPECT_EQ(p[0] | p[size - 1], 0);
#if !defined(_WIN32)
      if (size >= (1u << 20)) {  // large blocks
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 64, offset % 64);
      }
#endif
      UnlockBlock(block);
      FreeBlock(block);
    }
  }
}

// Large blocks freed are kept for the next ones of about their size: one
// taken again is as zeroed as a fresh one, whatever was written into it,
// at every size and offset a decoder asks for after a free.
TEST(Blocks, BlocksTakenAgainAfterAFreeAreZeroed) {
  const uint64_t big = uint64_t{3} << 20;
  for (int round = 0; round < 3; ++round) {
    for (const auto& [size, offset] : {std::pair<uint64_t, uint64_t>{big, 0}, {big - 1000, 54}, {big / 2 + 7, 1078},
                                       {2 * big, 0}, {big + 4096, 0}}) {
      BlockHandle used = AllocBlockForRead(size, offset);
      auto* u = static_cast<unsigned char*>(LockBlock(used));
      ASSERT_NE(u, nullptr);
      std::memset(u, 0xAB, static_cast<size_t>(size));
      FreeBlock(used);
      BlockHandle again = AllocBlockForRead(big, offset);
      auto* p = static_cast<unsigned char*>(LockBlock(again));
      ASSERT_NE(p, nullptr);
      EXPECT_EQ(BlockSize(again), big);
      std::vector<unsigned char> zeros(static_cast<size_t>(big), 0);
      EXPECT_EQ(std::memcmp(p, zeros.data(), zeros.size()), 0) << size << " then " << big << " at " << offset;
      std::memset(p, 0xCD, static_cast<size_t>(big));  // the next round takes this one
      FreeBlock(again);
    }
  }
}

TEST(Files, OpeningADirectoryForReadingFails) {
  TempDir dir;
  EXPECT_EQ(OpenForReading(dir.path().string().c_str()), nullptr);
  EXPECT_EQ(CreateAlways(dir.path().string().c_str()), nullptr);
}

TEST(Files, BackslashSeparatesPathParts) {
  TempDir dir;
  std::filesystem::create_directories(dir / "sub");
  testsupport::WriteAll(dir / "sub" / "f.bin", {1, 2, 3});
  const std::string path = dir.path().string() + "\\sub\\f.bin";
  FileHandle file = OpenForReading(path.c_str());
  ASSERT_NE(file, nullptr);
  uint64_t size = 0;
  EXPECT_TRUE(FileSize(file, &size));
  EXPECT_EQ(size, 3u);
  unsigned char bytes[8] = {};
  uint64_t got = 0;
  EXPECT_TRUE(SeekTo(file, 1));
  EXPECT_TRUE(ReadBytes(file, bytes, sizeof bytes, &got));
  EXPECT_EQ(got, 2u);
  EXPECT_EQ(bytes[0], 2);
  CloseFile(file);
}

TEST(Files, CreateAlwaysReplacesAndWritesEverything) {
  TempDir dir;
  testsupport::WriteAll(dir / "out.bin", testsupport::Bytes(100, 9));
  FileHandle file = CreateAlways((dir / "out.bin").string().c_str());
  ASSERT_NE(file, nullptr);
  EXPECT_TRUE(WriteBytes(file, "abc", 3));
  CloseFile(file);
  EXPECT_EQ(testsupport::ReadAll(dir / "out.bin"), (testsupport::Bytes{'a', 'b', 'c'}));
}

TEST(Files, StampsTellSizeAndWriteTimeOfRegularFilesOnly) {
  TempDir dir;
  const std::string file = (dir / "f.bin").string();
  testsupport::WriteAll(file, testsupport::Bytes(10, 1));
  const auto time = std::filesystem::last_write_time(file) - std::chrono::hours(3);
  std::filesystem::last_write_time(file, time);
  FileStamp a;
  ASSERT_TRUE(StampOfFile(file.c_str(), &a));
  EXPECT_EQ(a.size, 10u);
  // A second later, and then one byte longer: each shows in the stamp.
  std::filesystem::last_write_time(file, time + std::chrono::seconds(1));
  FileStamp b;
  ASSERT_TRUE(StampOfFile(file.c_str(), &b));
  EXPECT_EQ(b.size, 10u);
  EXPECT_GT(b.modified, a.modified);
  testsupport::WriteAll(file, testsupport::Bytes(11, 1));
  std::filesystem::last_write_time(file, time);
  FileStamp c;
  ASSERT_TRUE(StampOfFile(file.c_str(), &c));
  EXPECT_EQ(c.size, 11u);
  EXPECT_EQ(c.modified, a.modified);

  FileStamp none;
  EXPECT_FALSE(StampOfFile(dir.path().string().c_str(), &none));
  EXPECT_FALSE(StampOfFile((dir / "missing").string().c_str(), &none));
}

TEST(Files, MakeFolderMakesOneLevelAndAcceptsAnExistingFolder) {
  TempDir dir;
  const std::string made = (dir / "a").string();
  EXPECT_TRUE(MakeFolder(made.c_str()));
  EXPECT_EQ(KindOfPath(made.c_str()), PathKind::Directory);
  EXPECT_TRUE(MakeFolder(made.c_str()));  // already there
  EXPECT_TRUE(MakeFolder((dir.path().string() + "\\a\\b").c_str()));
  EXPECT_FALSE(MakeFolder((dir / "x" / "y").string().c_str()));  // no parent
  testsupport::WriteAll(dir / "file", testsupport::Bytes(1, 0));
  EXPECT_FALSE(MakeFolder((dir / "file").string().c_str()));
}

TEST(Paths, FullPathOfRelativeAndAbsoluteNames) {
  TempDir dir;
  std::filesystem::create_directories(dir / "sub");
  const std::string full = FullPath((dir / "sub").string().c_str());
  ASSERT_FALSE(full.empty());
  EXPECT_TRUE(std::filesystem::equivalent(full, dir / "sub"));
  struct Back {
    std::filesystem::path to = std::filesystem::current_path();
    ~Back() { std::filesystem::current_path(to); }
  } back;
  std::filesystem::current_path(dir.path());
  EXPECT_EQ(FullPath("sub"), full);
  EXPECT_EQ(FullPath("."), FullPath(dir.path().string().c_str()));
  EXPECT_EQ(FullPath("missing"), "");
  EXPECT_FALSE(UserCacheFolder().empty());  // HOME, XDG_CACHE_HOME or LOCALAPPDATA is set where tests run
}

TEST(Paths, JoinIsBoundedToThePathBuffer) {
  char out[kMaxPath];
  EXPECT_TRUE(JoinPath(out, "dir", "x.spi"));
  EXPECT_STREQ(out, "dir\\x.spi");
  EXPECT_TRUE(JoinPath(out, "", "x.spi"));
  EXPECT_STREQ(out, "\\x.spi");
  const std::string longest(kMaxPath - 1 - 2, 'a');  // + '\' + 1 char = 259
  EXPECT_TRUE(JoinPath(out, longest.c_str(), "b"));
  EXPECT_EQ(std::strlen(out), kMaxPath - 1);
  EXPECT_FALSE(JoinPath(out, longest.c_str(), "bc"));
  EXPECT_STREQ(out, "");
}

TEST(Find, ListsMatchingNamesIgnoringCase) {
  TempDir dir;
  for (const char* name : {"a.spi", "B.SPI", "c.txt", "d.spix"}) testsupport::WriteAll(dir / name, {0});
  std::filesystem::create_directories(dir / "e.spi");
  std::set<std::string> found;
  FindRecord record;
  const std::string pattern = dir.path().string() + "\\*.spi";
  FindHandle find = FindFirst(pattern.c_str(), &record);
  ASSERT_NE(find, nullptr);
  do {
    found.insert(record.cFileName);
  } while (FindNext(find, &record));
  FindEnd(find);
  std::set<std::string> expected{"a.spi", "B.SPI", "e.spi"};
#if defined(_WIN32)
  expected.insert("d.spix");  // Windows matches a 3-letter extension by its 8.3 short name too
#endif
  EXPECT_EQ(found, expected);
  EXPECT_EQ(FindFirst((dir.path().string() + "\\missing\\*.spi").c_str(), &record), nullptr);
}

#if !defined(_WIN32)
TEST(Messages, ShiftJisConvertsToUtf8) {
  // The program's own messages are checked, converted, by the tests that run
  // it; here the conversion itself, on the bytes of such texts.
  EXPECT_EQ(ShiftJisToUtf8("Image0.bmp\x82\xaa\x8c\xa9\x82\xc2\x82\xa9\x82\xe8\x82\xdc\x82\xb9\x82\xf1\x81"
                           "B\x0a\x8fI\x97\xb9\x82\xb5\x82\xdc\x82\xb7\x81"
                           "B"),
            "Image0.bmpが見つかりません。\n終了します。");
  EXPECT_EQ(ShiftJisToUtf8("\x83t\x83@\x83"
                           "C\x83\x8b\x82\xaa\x8d\xec\x82\xea\x82\xdc\x82\xb9\x82\xf1\x81"
                           "B"),
            "ファイルが作れません。");
  EXPECT_EQ(ShiftJisToUtf8("\x92\xca\x92m"), "通知");
  EXPECT_EQ(ShiftJisToUtf8("\x8cx\x8d\x90"), "警告");
  EXPECT_EQ(ShiftJisToUtf8("\xB1\x82"), "ｱ\xEF\xBF\xBD");  // half-width katakana; lone lead byte
}
#endif

}  // namespace
}  // namespace diffmark::platform
