#include <cstring>

#include "imageload/imageload.h"
#include "imageload/plugin_call.h"

namespace diffmark {

PluginTableData PluginTable = {};
char PluginDirectory[kMaxPath] = {};

bool SetPluginDirectory(const char* directory) {
  const size_t length = std::strlen(directory);
  if (length >= kMaxPath) return false;
  std::memcpy(PluginDirectory, directory, length + 1);
  return true;
}

uint8_t* LoadImageFile(const char* path, BlockHandle* slot, BitmapInfo* info) {
  char ext[kMaxPath];
  GetExtension(path, ext);
  if (CompareNames(0, ext, "bmp", 0) == 0) return ReadBitmapFile(path, slot, info);
  return LoadWithPlugin(path, slot, info);
}

namespace {

// The last entry whose filter holds the extension followed by ';', '*' or
// the end of the text; -1 when none does.
int32_t FindPlugin(const char* ext) {
  const auto m = static_cast<int32_t>(std::strlen(ext));
  int32_t match = -1;
  for (int32_t e = 0; e < PluginTable.count; ++e) {
    const char* filter = PluginTable.entries[e].filter;
    const auto length = static_cast<int32_t>(std::strlen(filter));
    for (int32_t j = 0; j + m <= length; ++j) {
      const char next = filter[j + m];
      if (CompareNames(0, ext, filter + j, m) == 0 && (next == ';' || next == '*' || next == '\0')) {
        match = e;
      }
    }
  }
  return match;
}

// Everything LoadWithPlugin holds while it works; released on every path.
struct Decode {
  platform::FileHandle file = nullptr;
  BlockHandle fileBlock = nullptr;
  platform::LibraryHandle library = nullptr;
  BlockHandle infoBlock = nullptr;
  ~Decode() {
    platform::CloseFile(file);
    platform::CloseLibrary(library);
    Release(fileBlock);
    Release(infoBlock);
  }
  static void Release(BlockHandle block) {
    if (block == nullptr) return;
    platform::UnlockBlock(block);
    platform::FreeBlock(block);
  }
};

// Bytes the rows of an image of this header take at its own bit depth,
// compared with what the block holds.
bool PixelBlockHoldsRows(const BitmapInfoHeader& h, uint64_t blockBytes) {
  if (h.biWidth <= 0 || h.biHeight <= 0) return true;
  const uint64_t bits = static_cast<uint64_t>(h.biWidth) * h.biBitCount;
  const auto row = static_cast<uint64_t>(PaddedRowBytes64(static_cast<int64_t>((bits + 7) / 8)));
  return row == 0 || static_cast<uint64_t>(h.biHeight) <= blockBytes / row;
}

}  // namespace

uint8_t* LoadWithPlugin(const char* path, BlockHandle* slot, BitmapInfo* info) {
  char ext[kMaxPath];
  GetExtension(path, ext);
  const int32_t match = FindPlugin(ext);
  if (match < 0) return nullptr;
  const PluginEntry& entry = PluginTable.entries[match];

  Decode d;
  // The whole file, in a block 16 bytes longer (zero) than its contents.
  d.file = platform::OpenForReading(path);
  uint64_t size = 0;
  if (d.file == nullptr || !platform::FileSize(d.file, &size)) return nullptr;
  if (size > platform::kMaxBlockBytes - 16) return nullptr;  // GetPicture takes a 32-bit length
  d.fileBlock = platform::AllocBlock(size + 16);
  auto* data = static_cast<char*>(platform::LockBlock(d.fileBlock));
  uint64_t got = 0;
  if (data == nullptr || !platform::ReadBytes(d.file, data, size, &got)) return nullptr;
  platform::CloseFile(d.file);
  d.file = nullptr;

  char libraryPath[kMaxPath];
  if (!platform::JoinPath(libraryPath, PluginDirectory, entry.fileName)) return nullptr;
  d.library = platform::OpenLibrary(libraryPath);
  if (d.library == nullptr) return nullptr;
  const auto getInfo = LookupFunction<SpiGetPluginInfoFn>(d.library, "GetPluginInfo");
  if (getInfo == nullptr) return nullptr;
  char text[SPI_INFO_BUFFER_BYTES];
  QueryFilter(getInfo, text);
  const auto getPicture = LookupFunction<SpiGetPictureFn>(d.library, "GetPicture");
  if (getPicture == nullptr) return nullptr;

  BlockHandle pixelBlock = nullptr;
  const int32_t result = getPicture(data, static_cast<int32_t>(got), SPI_FLAG_MEMORY, &d.infoBlock,
                                    &pixelBlock, nullptr, 0);
  *slot = pixelBlock;
  if (result != 0) {
    *slot = nullptr;  // the plug-in keeps (and frees) its pixel block on failure
    return nullptr;
  }

  const auto* infoBytes = static_cast<const uint8_t*>(platform::LockBlock(d.infoBlock));
  const uint64_t infoSize = platform::BlockSize(d.infoBlock);
  auto* pixels = static_cast<uint8_t*>(platform::LockBlock(pixelBlock));
  const BitmapInfoHeader header =
      infoBytes != nullptr && infoSize >= kInfoHeaderBytes ? DecodeInfoHeader(infoBytes) : BitmapInfoHeader{};
  if (pixels == nullptr || infoBytes == nullptr || infoSize < kInfoHeaderBytes ||
      !PixelBlockHoldsRows(header, platform::BlockSize(pixelBlock))) {
    Decode::Release(pixelBlock);
    *slot = nullptr;
    return nullptr;
  }

  info->bmiHeader = header;
  info->bmiColors[0] = infoSize >= kBitmapInfoBytes ? DecodeColourEntry(infoBytes + kInfoHeaderBytes)
                                                    : RgbQuad{0, 0, 0, 0};
  if (header.biBitCount < 24) {
    // 1 << bits entries, bounded by the Palette and by what the block holds.
    uint64_t count = header.biBitCount >= 8 ? 256 : uint64_t{1} << header.biBitCount;
    const uint64_t held = (infoSize - kInfoHeaderBytes) / kColourEntryBytes;
    if (count > held) count = held;
    for (uint64_t i = 0; i < count; ++i) {
      Palette[i] = DecodeColourEntry(infoBytes + kInfoHeaderBytes + i * kColourEntryBytes);
    }
  }
  return pixels;
}

}  // namespace diffmark
