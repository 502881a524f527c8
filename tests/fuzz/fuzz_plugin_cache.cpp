// The plug-in cache file's reader on arbitrary bytes.  Whatever it accepts
// stays within its limits and reads back the same once written again.
#include <string>

#include "fuzz_common.h"
#include "imageload/plugin_cache.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  diffmark::PluginCache cache;
  if (!diffmark::ParsePluginCache(reinterpret_cast<const char*>(data), size, &cache)) return 0;
  if (cache.folder.empty() || cache.folder.size() > diffmark::kMaxCachedFolderBytes) fuzz::Fail("folder out of bounds");
  if (cache.plugins.size() > static_cast<size_t>(diffmark::kMaxPlugins)) fuzz::Fail("too many entries");
  for (const diffmark::CachedPlugin& p : cache.plugins) {
    if (p.name.empty() || p.name.size() >= diffmark::kMaxPath) fuzz::Fail("name out of bounds");
    if (p.filter.size() > diffmark::kMaxCachedFilterBytes) fuzz::Fail("filter out of bounds");
  }
  const std::string again = diffmark::FormatPluginCache(cache);
  diffmark::PluginCache back;
  if (!diffmark::ParsePluginCache(again.data(), again.size(), &back)) fuzz::Fail("written cache not read back");
  if (diffmark::FormatPluginCache(back) != again) fuzz::Fail("cache changed on the way back");
  return 0;
}
