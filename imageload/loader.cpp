#include <cstring>

#include <diffmark/imageload.h>

#include "bitmap/load_error.h"
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

int32_t FindPluginFor(const char* ext) {
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

uint8_t* LoadImageFile(const char* path, BlockHandle* slot, BitmapInfo* info) {
  char ext[kMaxPath];
  GetExtension(path, ext);
  if (CompareNames(0, ext, "bmp", 0) == 0) return ReadBitmapFile(path, slot, info);
  return LoadWithPlugin(path, slot, info);
}

namespace {

// Everything LoadWithPlugin holds while it works; released on every path.
// A handle that names no live block (a plug-in freed it and left it) is
// refused by the block calls, so releasing it is harmless.
struct Decode {
  platform::FileHandle file = nullptr;
  BlockHandle fileBlock = nullptr;
  platform::LibraryHandle library = nullptr;
  BlockHandle infoBlock = nullptr;
  ~Decode() {
    platform::CloseFile(file);
    platform::CloseLibrary(library);
    ReleaseBlock(fileBlock);
    ReleaseBlock(infoBlock);
  }
};

// GetPicture's failure codes in words.
const char* DescribePluginResult(int32_t result) {
  switch (result) {
    case SPI_ERROR_UNSUPPORTED:
      return "unsupported file or variant";
    case SPI_ERROR_CORRUPT:
      return "corrupt or truncated data";
    case SPI_ERROR_NO_MEMORY:
      return "out of memory";
    case SPI_ERROR_TOO_LARGE:
      return "image too large";
    default:
      return "decoding failed";
  }
}

// Bytes the rows of an image of this header take at its own bit depth
// (as many rows as its RowLayout counts, top-down ones included),
// compared with what the block holds.
bool PixelBlockHoldsRows(const BitmapInfoHeader& h, uint64_t blockBytes) {
  RowLayout layout{};
  if (!GetRowLayout(h, &layout)) return false;
  if (h.biWidth <= 0 || layout.rows <= 0) return true;
  const uint64_t bits = static_cast<uint64_t>(h.biWidth) * h.biBitCount;
  const auto row = static_cast<uint64_t>(PaddedRowBytes64(static_cast<int64_t>((bits + 7) / 8)));
  return row == 0 || static_cast<uint64_t>(layout.rows) <= blockBytes / row;
}

}  // namespace

uint8_t* LoadWithPlugin(const char* path, BlockHandle* slot, BitmapInfo* info) {
  char ext[kMaxPath];
  GetExtension(path, ext);
  const int32_t match = FindPluginFor(ext);
  if (match < 0) {
    if (PluginScanProblem()[0] != '\0') {
      SetLoadError("no plug-in for extension \"%s\" (%s)", ext, PluginScanProblem());
    } else {
      SetLoadError("no plug-in for extension \"%s\"", ext);
    }
    return nullptr;
  }
  const PluginEntry& entry = PluginTable.entries[match];

  Decode d;
  // The whole file, in a block 16 bytes longer (zero) than its contents.
  platform::FileError openError = platform::FileError::None;
  d.file = platform::OpenForReading(path, &openError);
  if (d.file == nullptr) {
    SetLoadError("%s", DescribeFileError(openError));
    return nullptr;
  }
  uint64_t size = 0;
  if (!platform::FileSize(d.file, &size)) {
    SetLoadError("file size cannot be read");
    return nullptr;
  }
  if (size > platform::kMaxBlockBytes - 16) {  // GetPicture takes a 32-bit length
    char held[32];
    SetLoadError("file too large for a plug-in: %s (at most 2 GB)", FormatBytes(size, held));
    return nullptr;
  }
  d.fileBlock = platform::AllocBlock(size + 16);
  auto* data = static_cast<char*>(platform::LockBlock(d.fileBlock));
  if (data == nullptr) {
    char wanted[32];
    SetLoadError("out of memory: %s", FormatBytes(size + 16, wanted));
    return nullptr;
  }
  uint64_t got = 0;
  if (!platform::ReadBytes(d.file, data, size, &got)) {
    SetLoadError("read error");
    return nullptr;
  }
  platform::CloseFile(d.file);
  d.file = nullptr;

  char libraryPath[kMaxPath];
  if (!platform::JoinPath(libraryPath, PluginDirectory, entry.fileName)) {
    SetLoadError("plug-in %s: path too long", entry.fileName);
    return nullptr;
  }
  char loaderText[256] = {};
  d.library = OpenPluginLibrary(libraryPath, loaderText, sizeof loaderText);
  if (d.library == nullptr) {
    SetLoadError("plug-in %s could not be loaded: %s", entry.fileName, loaderText);
    return nullptr;
  }
  const auto getInfo = LookupFunction<SpiGetPluginInfoFn>(d.library, "GetPluginInfo");
  if (getInfo == nullptr) {
    SetLoadError("plug-in %s does not export GetPluginInfo", entry.fileName);
    return nullptr;
  }
  char text[SPI_INFO_BUFFER_BYTES];
  QueryFilter(getInfo, text);
  const auto getPicture = LookupFunction<SpiGetPictureFn>(d.library, "GetPicture");
  if (getPicture == nullptr) {
    SetLoadError("plug-in %s does not export GetPicture", entry.fileName);
    return nullptr;
  }

  BlockHandle pixelBlock = nullptr;
  const int32_t result = getPicture(data, static_cast<int32_t>(got), SPI_FLAG_MEMORY, &d.infoBlock,
                                    &pixelBlock, nullptr, 0);
  *slot = nullptr;
  if (result != 0) {
    // Whatever a failed plug-in hands back is ours to free (the info block
    // goes with `d`).
    ReleaseBlock(pixelBlock);
    SetLoadError("plug-in %s reported failure: %s (result %d)", entry.fileName,
                 DescribePluginResult(result), result);
    return nullptr;
  }

  const auto* infoBytes = static_cast<const uint8_t*>(platform::LockBlock(d.infoBlock));
  const uint64_t infoSize = platform::BlockSize(d.infoBlock);
  auto* pixels = static_cast<uint8_t*>(platform::LockBlock(pixelBlock));
  const BitmapInfoHeader header =
      infoBytes != nullptr && infoSize >= kInfoHeaderBytes ? DecodeInfoHeader(infoBytes) : BitmapInfoHeader{};
  const char* unusable = infoBytes == nullptr             ? "no info block"
                         : infoSize < kInfoHeaderBytes    ? "info block shorter than the 40-byte header"
                         : pixels == nullptr              ? "no pixel block"
                         : !PixelBlockHoldsRows(header, platform::BlockSize(pixelBlock))
                             ? "pixel block smaller than its rows"
                             : nullptr;
  if (unusable != nullptr) {
    ReleaseBlock(pixelBlock);
    SetLoadError("plug-in %s returned an unusable result: %s", entry.fileName, unusable);
    return nullptr;
  }
  *slot = pixelBlock;

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
  ClearLoadError();
  return pixels;
}

}  // namespace diffmark
