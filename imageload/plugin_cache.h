// The cache of what each plug-in reads, behind ScanPluginsCached: one small
// text file per plug-in folder, named after a hash of the folder's full
// path and naming that path inside, with one line per usable library:
//
//   diffmark plug-in cache 1
//   folder 20:/usr/lib/diffmark/plugins
//   plugin 18432 1765450000123456789 7:png.spi 5:*.png
//   ...
//   end 6 89ab0123cdef4567
//
// A plugin line holds the library's size, its last-write time (platform
// units), its file name and the filter text its GetPluginInfo(2) returned,
// each text as LENGTH:BYTES, so any byte but NUL may appear in it.  The end
// line repeats the count of plugin lines and holds the FNV-1a 64 hash of
// every byte before it.  Anything else, a file cut short or a byte changed,
// is no cache at all.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <diffmark/imageload.h>

#include "platform/platform.h"

namespace diffmark {

struct CachedPlugin {
  std::string name;  // file name in the folder, without directory
  platform::FileStamp stamp;
  std::string filter;
};

struct PluginCache {
  std::string folder;  // the plug-in folder's full path
  std::vector<CachedPlugin> plugins;  // in listing order
};

// Limits a cache file is held to; a file beyond any of them is refused.
inline constexpr size_t kMaxPluginCacheBytes = 1u << 20;
inline constexpr size_t kMaxCachedFolderBytes = 4096;
inline constexpr size_t kMaxCachedFilterBytes = 255;  // what QueryFilter can give

[[nodiscard]] std::string FormatPluginCache(const PluginCache& cache);

// False, with *cache unspecified, for anything FormatPluginCache would not
// have written: a bad line, a number out of range, a text over its limit or
// holding NUL, a file name with a path separator or named twice, more than
// kMaxPlugins lines, a wrong count or hash, bytes after the end line.
[[nodiscard]] bool ParsePluginCache(const char* data, size_t size, PluginCache* cache);

// The full path of PluginDirectory (empty when it names nothing), and the
// cache file ScanPluginsCached uses for it (empty when there is no cache
// folder).
struct PluginCacheLocation {
  std::string folderKey;
  std::string cacheFolder;
  std::string cacheFile;
};
[[nodiscard]] PluginCacheLocation LocatePluginCache();

// Adds an entry to the table, with its own copies of the two texts, exactly
// as registration does; false when the table is full or a copy fails.
bool AddPluginEntry(const char* fileName, const char* filter);

}  // namespace diffmark
