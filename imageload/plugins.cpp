#include <cstdio>
#include <cstring>

#include <diffmark/imageload.h>

#include "imageload/plugin_cache.h"
#include "imageload/plugin_call.h"

namespace diffmark {

namespace {

// Libraries that scans skipped, and why the last one was.
int32_t gSkipped = 0;
char gSkipReason[320] = {};
char gScanProblem[400] = {};

void NoteSkipped(const char* fileName, const char* why) {
  ++gSkipped;
  std::snprintf(gSkipReason, sizeof gSkipReason, "%s %s", fileName, why);
  if (gSkipped == 1) {
    std::snprintf(gScanProblem, sizeof gScanProblem, "plug-in %s", gSkipReason);
  } else {
    std::snprintf(gScanProblem, sizeof gScanProblem, "%d plug-ins skipped, the last: %s",
                  static_cast<int>(gSkipped), gSkipReason);
  }
}

// A copy of `text` in a new locked block of its length + 2 bytes.
bool CopyToBlock(const char* text, BlockHandle* block, char** copy) {
  const size_t length = std::strlen(text);
  *block = platform::AllocBlock(length + 2);
  *copy = static_cast<char*>(platform::LockBlock(*block));
  if (*copy == nullptr) {
    platform::FreeBlock(*block);
    *block = nullptr;
    return false;
  }
  std::memcpy(*copy, text, length + 1);
  return true;
}

}  // namespace

platform::LibraryHandle OpenPluginLibrary(const char* path, char* error, size_t errorSize) {
  static const bool shared = [] {
    platform::ShareModuleSymbols(reinterpret_cast<const void*>(&ReleaseBlock));
    return true;
  }();
  (void)shared;
  return platform::OpenLibrary(path, error, errorSize);
}

const char* PluginScanProblem() { return gScanProblem; }

void ScanPlugins() {
  char pattern[kMaxPath];
  if (!platform::JoinPath(pattern, PluginDirectory, "*.spi")) return;
  platform::FindRecord found;
  platform::FindHandle find = platform::FindFirst(pattern, &found);
  if (find == nullptr) return;
  do {
    if (PluginTable.count >= kMaxPlugins) break;
    FindRecord record;
    static_assert(sizeof record.cFileName == sizeof found.cFileName);
    std::memcpy(record.cFileName, found.cFileName, sizeof record.cFileName);
    RegisterPlugin(record);  // every record, directories included
  } while (platform::FindNext(find, &found));
  platform::FindEnd(find);
}

void RegisterPlugin(FindRecord record) {
  if (PluginTable.count >= kMaxPlugins) return;
  record.cFileName[kMaxPath - 1] = '\0';
  char libraryPath[kMaxPath];
  if (!platform::JoinPath(libraryPath, PluginDirectory, record.cFileName)) {
    NoteSkipped(record.cFileName, "skipped: path too long");
    return;
  }
  char loaderText[256] = {};
  platform::LibraryHandle library = OpenPluginLibrary(libraryPath, loaderText, sizeof loaderText);
  if (library == nullptr) {
    char why[300];
    std::snprintf(why, sizeof why, "could not be loaded: %s", loaderText);
    NoteSkipped(record.cFileName, why);
    return;
  }
  const auto getInfo = LookupFunction<SpiGetPluginInfoFn>(library, "GetPluginInfo");
  if (getInfo == nullptr) {
    NoteSkipped(record.cFileName, "does not export GetPluginInfo");
    platform::CloseLibrary(library);
    return;
  }

  char text[SPI_INFO_BUFFER_BYTES];
  QueryFilter(getInfo, text);
  (void)AddPluginEntry(record.cFileName, text);
  platform::CloseLibrary(library);
}

bool AddPluginEntry(const char* fileName, const char* filter) {
  if (PluginTable.count >= kMaxPlugins) return false;
  PluginEntry entry{};
  if (!CopyToBlock(fileName, &entry.fileNameBlock, &entry.fileName)) return false;
  if (!CopyToBlock(filter, &entry.filterBlock, &entry.filter)) {
    ReleaseBlock(entry.fileNameBlock);
    return false;
  }
  PluginTable.entries[PluginTable.count++] = entry;
  return true;
}

void ReleasePlugins() {
  for (int32_t i = 0; i < PluginTable.count; ++i) {
    PluginEntry& entry = PluginTable.entries[i];
    ReleaseBlock(entry.fileNameBlock);
    ReleaseBlock(entry.filterBlock);
    entry = PluginEntry{};
  }
  PluginTable.count = 0;
  gSkipped = 0;
  gSkipReason[0] = '\0';
  gScanProblem[0] = '\0';
}

}  // namespace diffmark
