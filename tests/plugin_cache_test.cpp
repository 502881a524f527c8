// ScanPluginsCached: the same table as ScanPlugins, from a cache file that
// spares loading the libraries it remembers; the cache file's format and
// its refusal of anything damaged; several processes building it at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#endif

#include <diffmark/imageload.h>
#include "imageload/plugin_cache.h"
#include "platform/platform.h"
#include "support.h"

namespace diffmark {
namespace {

namespace fs = std::filesystem;
using testsupport::Bytes;
using testsupport::ReadAll;
using testsupport::TempDir;
using testsupport::WriteAll;

const std::string kBuiltPlugins = testsupport::BuildPath(DIFFMARK_TEST_PLUGIN_DIR);
const std::string kCli = testsupport::BuildPath(DIFFMARK_CLI_EXE);
const std::string kNetpbm = testsupport::BuildPath(DIFFMARK_NETPBM_PLUGIN);

using Table = std::vector<std::pair<std::string, std::string>>;  // file name, filter

Table CurrentTable() {
  Table table;
  for (int32_t i = 0; i < PluginTable.count; ++i) {
    table.emplace_back(PluginTable.entries[i].fileName, PluginTable.entries[i].filter);
  }
  return table;
}

std::string Text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }
Bytes BytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

// A built test plug-in's bytes, padded with zeros to `size` when given
// (trailing bytes do not stop a library from loading).
Bytes PluginBytes(const char* plugin, size_t size = 0) {
  Bytes bytes = ReadAll(kBuiltPlugins + "/" + plugin + ".spi");
  if (size > bytes.size()) bytes.resize(size, 0);
  return bytes;
}

// A file time some while ago, in whole seconds: what every platform's
// std::filesystem can set exactly (mingw's sets whole seconds only).
fs::file_time_type WholeSecondsAgo(std::chrono::hours ago) {
  return std::chrono::floor<std::chrono::seconds>(fs::file_time_type::clock::now() - ago);
}

class PluginCacheScan : public ::testing::Test {
 protected:
  void SetUp() override {
    ReleasePlugins();
    ASSERT_TRUE(SetPluginDirectory(dir.path().string().c_str()));
    ASSERT_TRUE(SetPluginCacheDirectory((cacheRoot / "c").string().c_str()));
  }
  void TearDown() override {
    ReleasePlugins();
    ASSERT_TRUE(SetPluginDirectory(""));
    ASSERT_TRUE(SetPluginCacheDirectory(""));
  }
  void Install(const char* plugin, const std::string& as = "") {
    fs::copy_file(kBuiltPlugins + "/" + plugin + ".spi", dir / (as.empty() ? std::string(plugin) + ".spi" : as));
  }
  // What ScanPlugins registers; the table is left empty.
  static Table Uncached() {
    ReleasePlugins();
    ScanPlugins();
    Table table = CurrentTable();
    ReleasePlugins();
    return table;
  }
  static Table Cached() {
    ReleasePlugins();
    ScanPluginsCached();
    Table table = CurrentTable();
    ReleasePlugins();
    return table;
  }
  // The cache file's path as std::filesystem takes it (the library joins with '\\').
  static std::string CacheFile() {
    std::string path = LocatePluginCache().cacheFile;
#if !defined(_WIN32)
    std::replace(path.begin(), path.end(), '\\', '/');
#endif
    return path;
  }
  // The cache file as ScanPluginsCached left it, parsed; false when missing or not valid.
  static bool ReadCacheFile(PluginCache* cache) {
    if (!fs::exists(CacheFile())) return false;
    const Bytes bytes = ReadAll(CacheFile());
    return ParsePluginCache(reinterpret_cast<const char*>(bytes.data()), bytes.size(), cache);
  }

  TempDir dir;
  TempDir cacheRoot;
};

TEST_F(PluginCacheScan, GivesWhatScanPluginsGivesWithAndWithoutACacheFile) {
  Install("tplain");
  Install("tfirst");
  Install("tsecond");
  Install("tnopicture");
  Install("tunterminated");  // a 255-byte filter
  Install("tnoinfo");
  WriteAll(dir / "notalib.spi", Bytes(300, 'x'));
  fs::create_directories(dir / "folder.spi");
  WriteAll(dir / "other.dll", Bytes(4, 0));
  const Table expected = Uncached();
  ASSERT_EQ(expected.size(), 5u);

  EXPECT_EQ(Cached(), expected);  // no cache file yet: every library loaded
  PluginCache cache;
  ASSERT_TRUE(ReadCacheFile(&cache));
  EXPECT_EQ(cache.folder, platform::FullPath(dir.path().string().c_str()));
  ASSERT_EQ(cache.plugins.size(), expected.size());  // the usable ones, in listing order
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(cache.plugins[i].name, expected[i].first);
    EXPECT_EQ(cache.plugins[i].filter, expected[i].second);
  }

  EXPECT_EQ(Cached(), expected);  // from the cache file
  // Entries made from the cache are the ones registration makes.
  ReleasePlugins();
  ScanPluginsCached();
  for (int32_t i = 0; i < PluginTable.count; ++i) {
    const PluginEntry& e = PluginTable.entries[i];
    EXPECT_EQ(platform::BlockSize(e.fileNameBlock), std::strlen(e.fileName) + 2);
    EXPECT_EQ(platform::BlockSize(e.filterBlock), std::strlen(e.filter) + 2);
  }
  ScanPluginsCached();  // a second scan appends, as ScanPlugins does
  Table twice = expected;
  twice.insert(twice.end(), expected.begin(), expected.end());
  EXPECT_EQ(CurrentTable(), twice);
}

TEST_F(PluginCacheScan, ALibraryItRemembersIsNotLoaded) {
  Install("tplain");
  const auto time = WholeSecondsAgo(std::chrono::hours(1));
  fs::last_write_time(dir / "tplain.spi", time);
  ASSERT_EQ(Cached(), (Table{{"tplain.spi", "*.tst;*.raw"}}));
  // The library is no library any more, but its size and time are as they
  // were: the cached scan takes the entry from the cache without loading it.
  WriteAll(dir / "tplain.spi", Bytes(static_cast<size_t>(fs::file_size(dir / "tplain.spi")), 'x'));
  fs::last_write_time(dir / "tplain.spi", time);
  EXPECT_EQ(Cached(), (Table{{"tplain.spi", "*.tst;*.raw"}}));
  EXPECT_EQ(Uncached(), Table{});
}

TEST_F(PluginCacheScan, AChangedLibraryIsReadAgain) {
  const size_t size = std::max(PluginBytes("tfirst").size(), PluginBytes("tsecond").size()) + 64;
  struct Case {
    const char* what;
    size_t newSize;  // of the replacement
    bool newTime;
  };
  const Case cases[] = {
      {"same size, another time", size, true},
      {"another size, same time", size + 16, false},
      {"another size and time", size + 32, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ReleasePlugins();
    fs::remove_all(cacheRoot / "c");
    fs::remove(dir / "x.spi");
    WriteAll(dir / "x.spi", PluginBytes("tfirst", size));
    const auto time = WholeSecondsAgo(std::chrono::hours(1));
    fs::last_write_time(dir / "x.spi", time);
    ASSERT_EQ(Cached(), (Table{{"x.spi", "*.tst;*.one"}}));

    WriteAll(dir / "x.spi", PluginBytes("tsecond", c.newSize));
    fs::last_write_time(dir / "x.spi", c.newTime ? time + std::chrono::seconds(1) : time);
    EXPECT_EQ(Cached(), (Table{{"x.spi", "*.tst;*.two"}}));
    PluginCache cache;
    ASSERT_TRUE(ReadCacheFile(&cache));  // rewritten with the new library
    ASSERT_EQ(cache.plugins.size(), 1u);
    EXPECT_EQ(cache.plugins[0].filter, "*.tst;*.two");
    EXPECT_EQ(cache.plugins[0].stamp.size, c.newSize);
  }
}

TEST_F(PluginCacheScan, NewAndRemovedLibrariesAreNoticed) {
  Install("tfirst");
  ASSERT_EQ(Cached(), Uncached());
  Install("tsecond");
  EXPECT_EQ(Cached(), Uncached());
  fs::remove(dir / "tfirst.spi");
  EXPECT_EQ(Cached(), (Table{{"tsecond.spi", "*.tst;*.two"}}));
  PluginCache cache;
  ASSERT_TRUE(ReadCacheFile(&cache));
  ASSERT_EQ(cache.plugins.size(), 1u);
  EXPECT_EQ(cache.plugins[0].name, "tsecond.spi");
}

TEST_F(PluginCacheScan, ADamagedCacheFileIsIgnoredAndRewritten) {
  Install("tplain");
  Install("tfirst");
  const Table expected = Uncached();
  ASSERT_EQ(Cached(), expected);
  const std::string good = Text(ReadAll(CacheFile()));
  // Each damage, put into a cache that otherwise tells the truth.
  std::string changedFilter = good;
  changedFilter[changedFilter.find("*.raw")] = '#';  // still a filter, but the hash no longer matches
  const size_t lengthAt = good.find("folder ") + 7;
  const std::string hugeLength =
      good.substr(0, lengthAt) + "99999999999999999999999999" + good.substr(good.find(':', lengthAt));
  const std::vector<std::pair<std::string, std::string>> damages = {
      {"empty", ""},
      {"cut in half", good.substr(0, good.size() / 2)},
      {"last byte missing", good.substr(0, good.size() - 1)},
      {"a filter byte changed", changedFilter},
      {"a huge length", hugeLength},
      {"bytes after the end", good + "plugin 1 1 1:a 1:b\n"},
      {"not text at all", std::string(4096, '\xff')},
      {"larger than any cache", std::string(kMaxPluginCacheBytes + 1, 'a')},
  };
  for (const auto& [what, bytes] : damages) {
    SCOPED_TRACE(what);
    WriteAll(CacheFile(), BytesOf(bytes));
    EXPECT_EQ(Cached(), expected);
    EXPECT_EQ(Text(ReadAll(CacheFile())), good);
  }
  // A directory where the file should be: no cache, the same table.
  fs::remove(CacheFile());
  fs::create_directories(CacheFile());
  EXPECT_EQ(Cached(), expected);
}

TEST_F(PluginCacheScan, TheCacheOfAnotherFolderIsNotUsed) {
  // Two folders with a library of one name, size and time each, but
  // different filters; only the folder named in the file tells them apart.
  TempDir other;
  const size_t size = std::max(PluginBytes("tfirst").size(), PluginBytes("tsecond").size());
  WriteAll(dir / "p.spi", PluginBytes("tfirst", size));
  WriteAll(other / "p.spi", PluginBytes("tsecond", size));
  const auto time = WholeSecondsAgo(std::chrono::hours(2));
  fs::last_write_time(dir / "p.spi", time);
  fs::last_write_time(other / "p.spi", time);
  ASSERT_EQ(Cached(), (Table{{"p.spi", "*.tst;*.one"}}));
  const Bytes firstCache = ReadAll(CacheFile());

  ASSERT_TRUE(SetPluginDirectory(other.path().string().c_str()));
  ASSERT_NE(CacheFile(), std::string());
  WriteAll(CacheFile(), firstCache);  // the first folder's cache under the second's name
  EXPECT_EQ(Cached(), (Table{{"p.spi", "*.tst;*.two"}}));
  PluginCache cache;
  ASSERT_TRUE(ReadCacheFile(&cache));
  EXPECT_EQ(cache.folder, platform::FullPath(other.path().string().c_str()));

  // A relative name of the first folder finds its cache again.
  struct Back {
    fs::path to = fs::current_path();
    ~Back() { fs::current_path(to); }
  } back;
  fs::current_path(dir.path().parent_path());
  ASSERT_TRUE(SetPluginDirectory(dir.path().filename().string().c_str()));
  fs::remove(dir / "p.spi");
  WriteAll(dir / "p.spi", Bytes(size, 'x'));  // no library: only the cache can name its filter
  fs::last_write_time(dir / "p.spi", time);
  EXPECT_EQ(Cached(), (Table{{"p.spi", "*.tst;*.one"}}));
}

TEST_F(PluginCacheScan, WithoutAWritableCacheFolderEveryLibraryIsLoaded) {
  Install("tplain");
  Install("tsecond");
  const Table expected = Uncached();
  WriteAll(cacheRoot / "file", Bytes(3, 'x'));
  // Folders that cannot be made, by anyone (root included).
  for (const fs::path& folder : {cacheRoot / "file", cacheRoot / "file" / "below", cacheRoot / "no" / "such"}) {
    SCOPED_TRACE(folder.string());
    ASSERT_TRUE(SetPluginCacheDirectory(folder.string().c_str()));
    EXPECT_EQ(Cached(), expected);
    EXPECT_EQ(Cached(), expected);
  }
  EXPECT_FALSE(fs::exists(cacheRoot / "no"));
}

TEST_F(PluginCacheScan, AnEmptyOrMissingFolderWritesNoCache) {
  ScanPluginsCached();
  EXPECT_EQ(PluginTable.count, 0);
  ASSERT_TRUE(SetPluginDirectory((dir.path().string() + "\\missing").c_str()));
  ScanPluginsCached();
  EXPECT_EQ(PluginTable.count, 0);
  EXPECT_FALSE(fs::exists(cacheRoot / "c"));
}

// ------------------------------------------------------- the file format

PluginCache Sample() {
  PluginCache cache;
  cache.folder = "/opt/diffmark plug-ins/\xc3\xa4";
  cache.plugins.push_back({"png.spi", {16960, 1796983210439193221}, "*.png"});
  cache.plugins.push_back({"odd name.spi", {0, -5}, std::string("a:b\nc 12:d\x01\xff;*.x")});
  cache.plugins.push_back({"big.spi", {UINT64_MAX, INT64_MIN}, std::string(kMaxCachedFilterBytes, 'f')});
  cache.plugins.push_back({"none.spi", {1, INT64_MAX}, ""});
  return cache;
}

bool Parses(const std::string& text, PluginCache* out = nullptr) {
  PluginCache ignored;
  return ParsePluginCache(text.data(), text.size(), out != nullptr ? out : &ignored);
}

TEST(PluginCacheFormat, WhatIsWrittenReadsBackTheSame) {
  const PluginCache cache = Sample();
  PluginCache back;
  ASSERT_TRUE(Parses(FormatPluginCache(cache), &back));
  EXPECT_EQ(back.folder, cache.folder);
  ASSERT_EQ(back.plugins.size(), cache.plugins.size());
  for (size_t i = 0; i < cache.plugins.size(); ++i) {
    EXPECT_EQ(back.plugins[i].name, cache.plugins[i].name);
    EXPECT_EQ(back.plugins[i].stamp.size, cache.plugins[i].stamp.size);
    EXPECT_EQ(back.plugins[i].stamp.modified, cache.plugins[i].stamp.modified);
    EXPECT_EQ(back.plugins[i].filter, cache.plugins[i].filter);
  }
  PluginCache empty;
  empty.folder = "/p";
  EXPECT_TRUE(Parses(FormatPluginCache(empty), &back));
  EXPECT_TRUE(back.plugins.empty());
}

TEST(PluginCacheFormat, EveryCutAndEveryFlippedBitIsRefused) {
  const std::string good = FormatPluginCache(Sample());
  for (size_t n = 0; n < good.size(); ++n) {
    EXPECT_FALSE(Parses(good.substr(0, n))) << "cut to " << n << " bytes";
  }
  for (size_t i = 0; i < good.size(); ++i) {
    for (int bit = 0; bit < 8; ++bit) {
      std::string s = good;
      s[i] = static_cast<char>(s[i] ^ (1 << bit));
      EXPECT_FALSE(Parses(s)) << "byte " << i << " bit " << bit;
    }
  }
}

TEST(PluginCacheFormat, WellFormedFilesBeyondTheLimitsAreRefused) {
  auto with = [](auto change) {
    PluginCache cache = Sample();
    change(cache);
    return FormatPluginCache(cache);
  };
  const std::string good = FormatPluginCache(Sample());
  const std::pair<const char*, std::string> cases[] = {
      {"a name twice", with([](PluginCache& c) { c.plugins[1].name = "png.spi"; })},
      {"a name with a slash", with([](PluginCache& c) { c.plugins[0].name = "../png.spi"; })},
      {"a name with a backslash", with([](PluginCache& c) { c.plugins[0].name = "a\\png.spi"; })},
      {"an empty name", with([](PluginCache& c) { c.plugins[0].name = ""; })},
      {"a name too long for a path", with([](PluginCache& c) { c.plugins[0].name = std::string(kMaxPath, 'n'); })},
      {"a NUL in a filter", with([](PluginCache& c) { c.plugins[0].filter = std::string("*.p\0ng", 6); })},
      {"a filter longer than a plug-in can give",
       with([](PluginCache& c) { c.plugins[0].filter = std::string(kMaxCachedFilterBytes + 1, 'f'); })},
      {"no folder", with([](PluginCache& c) { c.folder.clear(); })},
      {"more entries than the table holds", with([](PluginCache& c) {
         c.plugins.clear();
         for (int32_t i = 0; i <= kMaxPlugins; ++i) c.plugins.push_back({std::to_string(i) + ".spi", {1, 1}, "*.x"});
       })},
      {"another version", "diffmark plug-in cache 2" + good.substr(good.find('\n'))},
  };
  for (const auto& [what, text] : cases) {
    EXPECT_FALSE(Parses(text)) << what;
  }
  // Numbers out of range, with the hash made right again.
  const std::string line = "plugin 16960 1796983210439193221 7:png.spi 5:*.png\n";
  const std::pair<const char*, const char*> numbers[] = {
      {"18446744073709551616 1", "a size past 64 bits"},
      {"1 9223372036854775808", "a time past 63 bits"},
      {"1 -9223372036854775809", "a time below the least"},
      {"-1 1", "a negative size"},
      {"1 +1", "a plus sign"},
      {"1  1", "two spaces"},
      {"000000000000000000001 1", "21 digits"},
  };
  const std::string head = good.substr(0, good.find("plugin "));
  for (const auto& [fields, what] : numbers) {
    const std::string body = head + "plugin " + fields + " 7:png.spi 5:*.png\n";
    // Built by hand: FormatPluginCache cannot write these.
    uint64_t hash = 0xcbf29ce484222325u;
    for (char ch : body) hash = (hash ^ static_cast<unsigned char>(ch)) * 0x100000001b3u;
    char end[64];
    std::snprintf(end, sizeof end, "end 1 %016llx\n", static_cast<unsigned long long>(hash));
    EXPECT_FALSE(Parses(body + end)) << what;
  }
  // The same construction with good numbers is accepted (the cases above fail for their numbers alone).
  {
    const std::string body = head + line;
    uint64_t hash = 0xcbf29ce484222325u;
    for (char ch : body) hash = (hash ^ static_cast<unsigned char>(ch)) * 0x100000001b3u;
    char end[64];
    std::snprintf(end, sizeof end, "end 1 %016llx\n", static_cast<unsigned long long>(hash));
    EXPECT_TRUE(Parses(body + end));
  }
}

// ---------------------------------------------- processes at the same time

// Sets an environment variable of this process while alive (its children
// inherit it), and puts the old value back.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const std::string& value) : name_(name) {
    const char* old = std::getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    Set(value.c_str());
  }
  ~ScopedVariable() { Set(had_ ? old_.c_str() : nullptr); }
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;

 private:
  void Set(const char* value) {
#if defined(_WIN32)
    SetEnvironmentVariableA(name_, value);
    _putenv_s(name_, value != nullptr ? value : "");
#else
    if (value != nullptr) {
      setenv(name_, value, 1);
    } else {
      unsetenv(name_);
    }
#endif
  }
  const char* name_;
  std::string old_;
  bool had_ = false;
};

TEST(PluginCacheProcesses, ProgramsBuildingTheCacheAtOnceLeaveOneWholeFile) {
  TempDir work;
  TempDir cache;
  fs::create_directories(work / "spi");
  fs::copy_file(kNetpbm, work / "spi" / "netpbm.spi");
  const std::string ppm = "P6\n2 1\n255\n";
  Bytes a(ppm.begin(), ppm.end());
  a.insert(a.end(), {10, 20, 30, 10, 20, 30});
  Bytes b = a;
  b.back() = 31;
  // Inputs of each program's own: Windows opens an input for reading
  // without sharing, so programs reading one file at once would collide.
  constexpr int kAtOnce = 3;
  for (int i = 0; i < kAtOnce; ++i) {
    WriteAll(work / ("a" + std::to_string(i) + ".ppm"), a);
    WriteAll(work / ("b" + std::to_string(i) + ".ppm"), b);
  }
  // The programs' cache folder: the default one, under a cache root of the test's own.
  const ScopedVariable xdg("XDG_CACHE_HOME", cache.path().string());
  const ScopedVariable local("LOCALAPPDATA", cache.path().string());
  const fs::path folder = cache / "diffmark";

  constexpr int kRounds = 4;
  std::string first;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    // Rounds 0 and 2 start without a cache; 1 and 3 with a stale one that
    // every program rewrites.
    if (round % 2 == 0) {
      fs::remove_all(folder);
    } else {
      WriteAll(work / "spi" / "netpbm.spi", ReadAll(kNetpbm));  // a new time
      fs::last_write_time(work / "spi" / "netpbm.spi",
                          fs::file_time_type::clock::now() - std::chrono::minutes(10 + round));
    }
    std::vector<testsupport::RunOutcome> outcomes(kAtOnce);
    std::vector<std::thread> threads;
    for (int i = 0; i < kAtOnce; ++i) {
      threads.emplace_back([&, i] {
        outcomes[static_cast<size_t>(i)] =
            testsupport::RunProgram(kCli, work.path(), {"--plugins", (work / "spi").string(),
                                                        "a" + std::to_string(i) + ".ppm", "b" + std::to_string(i) + ".ppm"});
      });
    }
    for (std::thread& t : threads) t.join();
    for (const auto& o : outcomes) {
      EXPECT_EQ(o.exitCode, 1) << o.standardError;
      EXPECT_EQ(o.standardError, "");
    }
    // One whole cache file, nothing half-written beside it.
    std::vector<fs::path> files;
    std::string names;
    for (const auto& entry : fs::directory_iterator(folder)) {
      files.push_back(entry.path());
      names += entry.path().filename().string() + " ";
    }
    ASSERT_EQ(files.size(), 1u) << names;
    const Bytes bytes = ReadAll(files[0]);
    PluginCache parsed;
    ASSERT_TRUE(ParsePluginCache(reinterpret_cast<const char*>(bytes.data()), bytes.size(), &parsed));
    ASSERT_EQ(parsed.plugins.size(), 1u);
    EXPECT_EQ(parsed.plugins[0].name, "netpbm.spi");
    EXPECT_EQ(parsed.plugins[0].stamp.size, fs::file_size(work / "spi" / "netpbm.spi"));
  }
}

}  // namespace
}  // namespace diffmark
