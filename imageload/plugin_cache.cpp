// ScanPluginsCached and its cache file: a scan that asks only the libraries
// that are new or changed since the last scan of the same folder.
#include <cstdio>
#include <cstring>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "imageload/plugin_cache.h"
#include "imageload/plugin_call.h"

namespace diffmark {

namespace {

constexpr std::string_view kFirstLine = "diffmark plug-in cache 1\n";

// Set by SetPluginCacheDirectory; empty: the user's cache folder.
char gCacheDirectory[kMaxPath] = {};

uint64_t Fnv1a(const char* data, size_t size) {
  uint64_t hash = 0xcbf29ce484222325u;
  for (size_t i = 0; i < size; ++i) {
    hash ^= static_cast<unsigned char>(data[i]);
    hash *= 0x100000001b3u;
  }
  return hash;
}

std::string Hex16(uint64_t value) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  return text;
}

void AppendText(std::string& out, const std::string& text) {
  out += std::to_string(text.size());
  out += ':';
  out += text;
}

// A cursor over the bytes of a cache file; every read is checked against
// the end and every number against its range.
class Reader {
 public:
  Reader(const char* data, size_t size) : start_(data), p_(data), end_(data + size) {}

  bool Literal(std::string_view text) {
    if (static_cast<size_t>(end_ - p_) < text.size() || std::memcmp(p_, text.data(), text.size()) != 0) return false;
    p_ += text.size();
    return true;
  }
  bool Peek(std::string_view text) const {
    return static_cast<size_t>(end_ - p_) >= text.size() && std::memcmp(p_, text.data(), text.size()) == 0;
  }
  // 1 to 20 decimal digits that fit in 64 bits.
  bool Unsigned(uint64_t* value) {
    uint64_t v = 0;
    size_t digits = 0;
    while (p_ < end_ && *p_ >= '0' && *p_ <= '9') {
      const auto d = static_cast<uint64_t>(*p_ - '0');
      if (++digits > 20 || v > (UINT64_MAX - d) / 10) return false;
      v = v * 10 + d;
      ++p_;
    }
    *value = v;
    return digits > 0;
  }
  bool Signed(int64_t* value) {
    const bool negative = Literal("-");
    uint64_t magnitude = 0;
    if (!Unsigned(&magnitude)) return false;
    constexpr uint64_t kLimit = static_cast<uint64_t>(INT64_MAX);
    if (magnitude > kLimit + (negative ? 1 : 0)) return false;
    if (negative) {
      *value = magnitude == kLimit + 1 ? INT64_MIN : -static_cast<int64_t>(magnitude);
    } else {
      *value = static_cast<int64_t>(magnitude);
    }
    return true;
  }
  // LENGTH:BYTES with LENGTH at most `limit`; no NUL among the bytes.
  bool Text(size_t limit, std::string* out) {
    uint64_t length = 0;
    if (!Unsigned(&length) || length > limit || !Literal(":")) return false;
    if (static_cast<uint64_t>(end_ - p_) < length) return false;
    if (std::memchr(p_, '\0', static_cast<size_t>(length)) != nullptr) return false;
    out->assign(p_, static_cast<size_t>(length));
    p_ += length;
    return true;
  }
  bool Hex64(uint64_t* value) {
    uint64_t v = 0;
    for (int i = 0; i < 16; ++i, ++p_) {
      if (p_ == end_) return false;
      const char c = *p_;
      unsigned d = 0;
      if (c >= '0' && c <= '9') {
        d = static_cast<unsigned>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        d = static_cast<unsigned>(c - 'a' + 10);
      } else {
        return false;
      }
      v = v << 4 | d;
    }
    *value = v;
    return true;
  }
  bool AtEnd() const { return p_ == end_; }
  size_t Offset() const { return static_cast<size_t>(p_ - start_); }

 private:
  const char* start_;
  const char* p_;
  const char* end_;
};

bool UsableFileName(const std::string& name) {
  return !name.empty() && name.size() < kMaxPath && name.find_first_of("/\\") == std::string::npos;
}

// The cache file for LocatePluginCache's folder, parsed; false when there
// is none, it cannot be read, or it is damaged or of another folder.
bool ReadCache(const PluginCacheLocation& where, PluginCache* cache, std::string* bytes) {
  platform::FileHandle file = platform::OpenForReading(where.cacheFile.c_str());
  if (file == nullptr) return false;
  uint64_t size = 0;
  uint64_t got = 0;
  bool ok = platform::FileSize(file, &size) && size <= kMaxPluginCacheBytes;
  if (ok) {
    bytes->resize(static_cast<size_t>(size));
    ok = platform::ReadBytes(file, bytes->data(), size, &got) && got == size;
  }
  platform::CloseFile(file);
  return ok && ParsePluginCache(bytes->data(), bytes->size(), cache) && cache->folder == where.folderKey;
}

// Writes the text beside the cache file and renames it into place, so a
// reader finds the old file or the new one, never a part.  Failures leave
// no file behind and are otherwise ignored: the next scan loads again.
void WriteCache(const PluginCacheLocation& where, const std::string& text) {
  if (!gCacheDirectory[0]) {
    const std::string parent = platform::UserCacheFolder();
    if (parent.empty() || !platform::MakeFolder(parent.c_str())) return;
  }
  if (!platform::MakeFolder(where.cacheFolder.c_str())) return;
  std::string ignored;
  (void)platform::ReplaceFileWith(where.cacheFile, text.data(), text.size(), &ignored);
}

}  // namespace

std::string FormatPluginCache(const PluginCache& cache) {
  std::string out(kFirstLine);
  out += "folder ";
  AppendText(out, cache.folder);
  out += '\n';
  for (const CachedPlugin& p : cache.plugins) {
    out += "plugin ";
    out += std::to_string(p.stamp.size);
    out += ' ';
    out += std::to_string(p.stamp.modified);
    out += ' ';
    AppendText(out, p.name);
    out += ' ';
    AppendText(out, p.filter);
    out += '\n';
  }
  const uint64_t hash = Fnv1a(out.data(), out.size());
  out += "end " + std::to_string(cache.plugins.size()) + ' ' + Hex16(hash) + '\n';
  return out;
}

bool ParsePluginCache(const char* data, size_t size, PluginCache* cache) {
  if (data == nullptr || size > kMaxPluginCacheBytes) return false;
  Reader in(data, size);
  cache->plugins.clear();
  if (!in.Literal(kFirstLine) || !in.Literal("folder ") || !in.Text(kMaxCachedFolderBytes, &cache->folder) ||
      cache->folder.empty() || !in.Literal("\n")) {
    return false;
  }
  std::unordered_set<std::string_view> names;
  while (in.Literal("plugin ")) {
    if (cache->plugins.size() >= static_cast<size_t>(kMaxPlugins)) return false;
    CachedPlugin p;
    if (!in.Unsigned(&p.stamp.size) || !in.Literal(" ") || !in.Signed(&p.stamp.modified) || !in.Literal(" ") ||
        !in.Text(kMaxPath - 1, &p.name) || !in.Literal(" ") || !in.Text(kMaxCachedFilterBytes, &p.filter) ||
        !in.Literal("\n") || !UsableFileName(p.name)) {
      return false;
    }
    cache->plugins.push_back(std::move(p));
  }
  // Names are checked for repeats once the vector no longer moves.
  for (const CachedPlugin& p : cache->plugins) {
    if (!names.insert(p.name).second) return false;
  }
  const size_t hashed = in.Offset();
  uint64_t count = 0;
  uint64_t hash = 0;
  if (!in.Peek("end ") || !in.Literal("end ") || !in.Unsigned(&count) || !in.Literal(" ") || !in.Hex64(&hash) ||
      !in.Literal("\n") || !in.AtEnd()) {
    return false;
  }
  return count == cache->plugins.size() && hash == Fnv1a(data, hashed);
}

PluginCacheLocation LocatePluginCache() {
  PluginCacheLocation where;
  // The empty directory names the root, as in the library paths "\name".
  where.folderKey = platform::FullPath(PluginDirectory[0] ? PluginDirectory : "\\");
  if (where.folderKey.empty() || where.folderKey.size() > kMaxCachedFolderBytes) {
    where.folderKey.clear();
    return where;
  }
  if (gCacheDirectory[0]) {
    where.cacheFolder = gCacheDirectory;
  } else {
    const std::string parent = platform::UserCacheFolder();
    if (parent.empty()) return where;
    where.cacheFolder = parent + "\\diffmark";
  }
  where.cacheFile = where.cacheFolder + "\\plugins-" +
                    Hex16(Fnv1a(where.folderKey.data(), where.folderKey.size())) + ".txt";
  return where;
}

bool SetPluginCacheDirectory(const char* directory) {
  const size_t length = std::strlen(directory);
  if (length >= sizeof gCacheDirectory) return false;
  std::memcpy(gCacheDirectory, directory, length + 1);
  return true;
}

void ScanPluginsCached() {
  char pattern[kMaxPath];
  if (!platform::JoinPath(pattern, PluginDirectory, "*.spi")) return;
  platform::FindRecord found;
  platform::FindHandle find = platform::FindFirst(pattern, &found);
  if (find == nullptr) return;  // nothing listed: no cache read or written

  const PluginCacheLocation where = LocatePluginCache();
  PluginCache old;
  std::string oldBytes;
  if (where.cacheFile.empty() || !ReadCache(where, &old, &oldBytes)) {
    old.plugins.clear();
    oldBytes.clear();
  }
  std::unordered_map<std::string_view, const CachedPlugin*> known;
  for (const CachedPlugin& p : old.plugins) known.emplace(p.name, &p);

  PluginCache now;
  now.folder = where.folderKey;
  bool complete = true;
  do {
    if (PluginTable.count >= kMaxPlugins) {
      complete = false;  // the rest of the folder was not looked at
      break;
    }
    FindRecord record;
    static_assert(sizeof record.cFileName == sizeof found.cFileName);
    std::memcpy(record.cFileName, found.cFileName, sizeof record.cFileName);
    record.cFileName[kMaxPath - 1] = '\0';
    char libraryPath[kMaxPath];
    platform::FileStamp stamp;
    // Stamped before it is loaded: a library that changes meanwhile is
    // stored with the older stamp and so loaded again next time.
    const bool stamped = platform::JoinPath(libraryPath, PluginDirectory, record.cFileName) &&
                         platform::StampOfFile(libraryPath, &stamp);
    const auto hit = stamped ? known.find(record.cFileName) : known.end();
    if (hit != known.end() && hit->second->stamp.size == stamp.size &&
        hit->second->stamp.modified == stamp.modified) {
      if (AddPluginEntry(record.cFileName, hit->second->filter.c_str())) now.plugins.push_back(*hit->second);
      continue;
    }
    // New, changed, or not usable last time (a library that failed to load
    // is not remembered: what it lacked may be there now).
    const int32_t before = PluginTable.count;
    RegisterPlugin(record);
    if (stamped && PluginTable.count > before) {
      now.plugins.push_back(CachedPlugin{record.cFileName, stamp, PluginTable.entries[before].filter});
    }
  } while (platform::FindNext(find, &found));
  platform::FindEnd(find);

  if (!complete || where.cacheFile.empty()) return;
  const std::string text = FormatPluginCache(now);
  if (text != oldBytes) WriteCache(where, text);
}

}  // namespace diffmark
