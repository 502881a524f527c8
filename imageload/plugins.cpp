#include <cstring>

#include "imageload/imageload.h"
#include "imageload/plugin_call.h"

namespace diffmark {

namespace {

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

void ReleaseBlock(BlockHandle block) {
  platform::UnlockBlock(block);
  platform::FreeBlock(block);
}

}  // namespace

void ScanPlugins() {
  char pattern[kMaxPath];
  if (!platform::JoinPath(pattern, PluginDirectory, "*.spi")) return;
  platform::FindRecord record;
  platform::FindHandle find = platform::FindFirst(pattern, &record);
  if (find == nullptr) return;
  do {
    if (PluginTable.count >= kMaxPlugins) break;
    RegisterPlugin(record);  // every record, directories included
  } while (platform::FindNext(find, &record));
  platform::FindEnd(find);
}

void RegisterPlugin(platform::FindRecord record) {
  if (PluginTable.count >= kMaxPlugins) return;
  record.cFileName[kMaxPath - 1] = '\0';
  char libraryPath[kMaxPath];
  if (!platform::JoinPath(libraryPath, PluginDirectory, record.cFileName)) return;
  platform::LibraryHandle library = platform::OpenLibrary(libraryPath);
  if (library == nullptr) return;
  const auto getInfo = LookupFunction<SpiGetPluginInfoFn>(library, "GetPluginInfo");
  if (getInfo == nullptr) {
    platform::CloseLibrary(library);
    return;
  }

  PluginEntry entry{};
  char text[SPI_INFO_BUFFER_BYTES];
  bool ok = CopyToBlock(record.cFileName, &entry.fileNameBlock, &entry.fileName);
  if (ok) {
    QueryFilter(getInfo, text);
    ok = CopyToBlock(text, &entry.filterBlock, &entry.filter);
    if (!ok) ReleaseBlock(entry.fileNameBlock);
  }
  if (ok) PluginTable.entries[PluginTable.count++] = entry;
  platform::CloseLibrary(library);
}

void ReleasePlugins() {
  for (int32_t i = 0; i < PluginTable.count; ++i) {
    PluginEntry& entry = PluginTable.entries[i];
    ReleaseBlock(entry.fileNameBlock);
    ReleaseBlock(entry.filterBlock);
    entry = PluginEntry{};
  }
  PluginTable.count = 0;
}

}  // namespace diffmark
