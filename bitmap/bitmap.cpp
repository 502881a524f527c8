#include <diffmark/bitmap.h>

#include <cstring>

#include "bitmap/examine.h"
#include "bitmap/le.h"
#include "bitmap/load_error.h"
#include "platform/platform.h"

namespace diffmark {

thread_local RgbQuad Palette[256] = {};

void EncodeFileHeader(const BitmapFileHeader& header, uint8_t (&out)[kFileHeaderBytes]) {
  WriteU16(out + 0, header.bfType);
  WriteU32(out + 2, header.bfSize);
  WriteU16(out + 6, header.bfReserved1);
  WriteU16(out + 8, header.bfReserved2);
  WriteU32(out + 10, header.bfOffBits);
}

void EncodeInfoHeader(const BitmapInfoHeader& header, uint8_t (&out)[kInfoHeaderBytes]) {
  WriteU32(out + 0, header.biSize);
  WriteI32(out + 4, header.biWidth);
  WriteI32(out + 8, header.biHeight);
  WriteU16(out + 12, header.biPlanes);
  WriteU16(out + 14, header.biBitCount);
  WriteU32(out + 16, header.biCompression);
  WriteU32(out + 20, header.biSizeImage);
  WriteI32(out + 24, header.biXPelsPerMeter);
  WriteI32(out + 28, header.biYPelsPerMeter);
  WriteU32(out + 32, header.biClrUsed);
  WriteU32(out + 36, header.biClrImportant);
}

bool IsLongerInfoHeader(uint32_t biSize) {
  switch (biSize) {
    case 52:   // V2: 40 bytes and the red, green and blue masks
    case 56:   // V3: and the alpha mask
    case 64:   // OS/2 2.x
    case 108:  // V4: colour space
    case 124:  // V5: rendering intent, profile
      return true;
    default:
      return false;
  }
}

uint64_t InfoHeaderEnd(const BitmapInfoHeader& header) {
  return kFileHeaderBytes + (IsLongerInfoHeader(header.biSize) ? header.biSize : kInfoHeaderBytes);
}

bool EncodeRgb24Headers(const BitmapInfoHeader& header, uint8_t (&out)[kHeadersBytes]) {
  const uint64_t total = kHeadersBytes + Rgb24ImageBytes(header);
  if (total > UINT32_MAX) return false;
  // Only 40 bytes of info header are written: a longer one becomes a
  // 40-byte one, so that the rows do lie where the header says.
  BitmapInfoHeader written = header;
  if (IsLongerInfoHeader(written.biSize)) written.biSize = kInfoHeaderBytes;
  uint8_t fileBytes[kFileHeaderBytes];
  uint8_t infoBytes[kInfoHeaderBytes];
  EncodeFileHeader({kBitmapType, static_cast<uint32_t>(total), 0, 0, kHeadersBytes}, fileBytes);
  EncodeInfoHeader(written, infoBytes);
  std::memcpy(out, fileBytes, sizeof fileBytes);
  std::memcpy(out + sizeof fileBytes, infoBytes, sizeof infoBytes);
  return true;
}

BitmapInfoHeader DecodeInfoHeader(const uint8_t* bytes) {
  BitmapInfoHeader h{};
  h.biSize = ReadU32(bytes + 0);
  h.biWidth = ReadI32(bytes + 4);
  h.biHeight = ReadI32(bytes + 8);
  h.biPlanes = ReadU16(bytes + 12);
  h.biBitCount = ReadU16(bytes + 14);
  h.biCompression = ReadU32(bytes + 16);
  h.biSizeImage = ReadU32(bytes + 20);
  h.biXPelsPerMeter = ReadI32(bytes + 24);
  h.biYPelsPerMeter = ReadI32(bytes + 28);
  h.biClrUsed = ReadU32(bytes + 32);
  h.biClrImportant = ReadU32(bytes + 36);
  return h;
}

RgbQuad DecodeColourEntry(const uint8_t* bytes) {
  return RgbQuad{bytes[0], bytes[1], bytes[2], bytes[3]};
}

// C++ remainder takes the dividend's sign, as the row rules want.
int64_t PaddedRowBytes64(int64_t n) { return n + (3 * n) % 4; }
int64_t Rgb24Stride64(int64_t w) { return 3 * w + w % 4; }

// The 32-bit forms wrap as two's complement where the exact value does not fit.
int32_t PaddedRowBytes(int32_t n) {
  return static_cast<int32_t>(static_cast<uint32_t>(PaddedRowBytes64(n)));
}
int32_t Rgb24Stride(int32_t w) {
  return static_cast<int32_t>(static_cast<uint32_t>(Rgb24Stride64(w)));
}

uint64_t Rgb24ImageBytes(int32_t width, int32_t height) {
  if (width <= 0 || height <= 0) return 0;
  return static_cast<uint64_t>(Rgb24Stride64(width)) * static_cast<uint64_t>(height);
}

bool GetRowLayout(const BitmapInfoHeader& header, RowLayout* layout) {
  if (header.biBitCount != 24 || header.biHeight >= 0) {
    *layout = RowLayout{header.biHeight, false};
    return true;
  }
  if (header.biHeight == INT32_MIN) {  // -INT32_MIN does not fit
    *layout = RowLayout{0, true};
    return false;
  }
  *layout = RowLayout{-header.biHeight, true};
  return true;
}

uint64_t Rgb24ImageBytes(const BitmapInfoHeader& header) {
  RowLayout layout{};
  if (!GetRowLayout(header, &layout)) return 0;
  return Rgb24ImageBytes(header.biWidth, layout.rows);
}

bool PixelBlockBytes(const BitmapInfoHeader& header, uint64_t* bytes) {
  *bytes = 0;
  RowLayout layout{};
  if (!GetRowLayout(header, &layout)) return false;
  // As large as a 24-bit image 16 pixels wider and 16 rows taller needs.
  int64_t n = 0;
  if (__builtin_mul_overflow(Rgb24Stride64(int64_t{header.biWidth} + 16), int64_t{layout.rows} + 16, &n) ||
      n <= 0 || static_cast<uint64_t>(n) > platform::kMaxBlockBytes) {
    return false;
  }
  *bytes = static_cast<uint64_t>(n);
  return true;
}

uint64_t JustifiedPixelBytes(uint64_t available, uint16_t bitCount) {
  // Rows are read as 24-bit rows whatever the bit count, so a file of fewer
  // bits per pixel justifies proportionally more.  The slack keeps files
  // with a short or missing final row, and tiny images, working.
  constexpr uint64_t kSlack = 4096;
  const uint64_t factor = bitCount >= 24 ? 1 : bitCount == 0 ? 24 : (24u + bitCount - 1) / bitCount;
  if (available > (UINT64_MAX - kSlack) / 64) return UINT64_MAX;  // no real file is this large
  return factor * available + kSlack;
}

namespace {

constexpr uint64_t kBlockSlack = 1u << 20;

struct FileCloser {
  platform::FileHandle file;
  ~FileCloser() { platform::CloseFile(file); }
};

}  // namespace

bool ExamineBitmapHeaders(const uint8_t (&headers)[kHeadersBytes], uint64_t fileSize,
                          BitmapFileLayout* plan) {
  plan->header = DecodeInfoHeader(headers + kFileHeaderBytes);
  const BitmapInfoHeader& h = plan->header;
  plan->pixelOffset = InfoHeaderEnd(h);
  if (h.biBitCount < 24) plan->pixelOffset += static_cast<uint64_t>(h.biClrUsed) * kColourEntryBytes;

  // A top-down file holds |biHeight| rows, and is sized as the bottom-up
  // file of that height would be.
  if (!GetRowLayout(h, &plan->order)) {
    SetLoadError("top-down height %d does not fit", h.biHeight);
    return false;
  }
  if (!PixelBlockBytes(h, &plan->blockBytes)) {
    SetLoadError("image size not representable: %d x %d pixels", h.biWidth, h.biHeight);
    return false;
  }
  plan->rowBytes = Rgb24ImageBytes(h.biWidth, plan->order.rows);
  plan->available = fileSize > plan->pixelOffset ? fileSize - plan->pixelOffset : 0;
  // The rows, and the block around them, must be justified by the file.
  // For any w, h >= 1 the block is at most 29 times the rows plus 768
  // bytes, so this never refuses an image whose rows pass; it stops headers
  // of no rows (h of -15..0) from asking for a huge block.
  const uint64_t justified = JustifiedPixelBytes(plan->available, h.biBitCount);
  const bool blockJustified = justified > (UINT64_MAX - kBlockSlack) / 32 ||
                              plan->blockBytes <= 32 * justified + kBlockSlack;
  if (plan->rowBytes > justified || !blockJustified) {
    char claimed[32];
    char held[32];
    SetLoadError("header claims %s, file holds %s",
                 FormatBytes(plan->rowBytes > justified ? plan->rowBytes : plan->blockBytes, claimed),
                 FormatBytes(plan->available, held));
    return false;
  }
  return true;
}

uint8_t* ReadBitmapFile(const char* path, BlockHandle* slot, BitmapInfo* info) {
  platform::FileError openError = platform::FileError::None;
  FileCloser file{platform::OpenForReading(path, &openError)};
  if (file.file == nullptr) {
    SetLoadError("%s", DescribeFileError(openError));
    return nullptr;
  }

  uint64_t fileSize = 0;
  if (!platform::FileSize(file.file, &fileSize)) {
    SetLoadError("file size cannot be read");
    return nullptr;
  }
  uint8_t headers[kFileHeaderBytes + kInfoHeaderBytes];
  uint64_t got = 0;
  if (!platform::ReadBytes(file.file, headers, sizeof headers, &got)) {
    SetLoadError("read error");
    return nullptr;
  }
  if (got < sizeof headers) {
    SetLoadError("header too short: %llu of the 54 header bytes", static_cast<unsigned long long>(got));
    return nullptr;
  }
  // The file header is not examined: no check of "BM", bfOffBits unused.
  // Of a longer info header only the first 40 bytes are kept.
  info->bmiHeader = DecodeInfoHeader(headers + kFileHeaderBytes);
  const BitmapInfoHeader& h = info->bmiHeader;

  if (h.biBitCount < 24) {
    const uint64_t entries = h.biClrUsed < 256 ? h.biClrUsed : 256;
    uint8_t table[256 * kColourEntryBytes];
    uint64_t tableGot = 0;
    if (entries > 0 && platform::SeekTo(file.file, InfoHeaderEnd(h)) &&
        platform::ReadBytes(file.file, table, entries * kColourEntryBytes, &tableGot)) {
      for (uint64_t i = 0; i < tableGot / kColourEntryBytes; ++i) {
        Palette[i] = DecodeColourEntry(table + i * kColourEntryBytes);
      }
    }
  }

  *slot = nullptr;
  BitmapFileLayout plan;
  if (!ExamineBitmapHeaders(headers, fileSize, &plan)) return nullptr;
  const uint64_t pixelOffset = plan.pixelOffset;
  const uint64_t blockBytes = plan.blockBytes;
  const uint64_t rowBytes = plan.rowBytes;
  const uint64_t available = plan.available;

  BlockHandle block = platform::AllocBlockForRead(blockBytes, pixelOffset);
  auto* pixels = static_cast<uint8_t*>(platform::LockBlock(block));
  if (pixels == nullptr) {
    platform::FreeBlock(block);
    char wanted[32];
    SetLoadError("out of memory: %s", FormatBytes(blockBytes, wanted));
    return nullptr;
  }
  *slot = block;
  // rowBytes <= blockBytes for every positive size.  A short file leaves the
  // rest of the block as allocated: zero.
  if (rowBytes > 0 && available > 0 && platform::SeekTo(file.file, pixelOffset)) {
    (void)platform::ReadBytes(file.file, pixels, rowBytes, &got);
  }
  ClearLoadError();
  return pixels;
}

BitmapInfoHeader* InitRgb24Header(BitmapInfoHeader* header, int32_t width, int32_t height) {
  header->biSize = kInfoHeaderBytes;
  header->biWidth = width;
  header->biHeight = height;
  header->biPlanes = 1;
  header->biBitCount = 24;
  header->biCompression = 0;
  header->biSizeImage = 0;
  header->biXPelsPerMeter = 96;
  header->biYPelsPerMeter = 96;
  header->biClrUsed = 0;
  header->biClrImportant = 0;
  return header;
}

}  // namespace diffmark
