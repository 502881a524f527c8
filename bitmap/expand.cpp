
#include <diffmark/bitmap.h>

#include "bitmap/load_error.h"
#include "platform/platform.h"

namespace diffmark {

namespace {

inline void PutPixel(uint8_t* out, const RgbQuad* palette, uint8_t index) {
  const RgbQuad& c = palette[index];
  out[0] = c.rgbBlue;
  out[1] = c.rgbGreen;
  out[2] = c.rgbRed;
}

// Source bytes of one row that lie before `sourceBytes`.
uint64_t Usable(uint64_t rowStart, uint64_t rowBytes, uint64_t sourceBytes) {
  if (rowStart >= sourceBytes) return 0;
  return sourceBytes - rowStart < rowBytes ? sourceBytes - rowStart : rowBytes;
}

}  // namespace

uint8_t* ExpandToRgb24(const uint8_t* source, uint64_t sourceBytes, const BitmapInfoHeader* header,
                       BlockHandle* slot) {
  const uint16_t bpp = header->biBitCount;
  const int32_t w = header->biWidth;
  const int32_t h = header->biHeight;
  const uint64_t imageBytes = Rgb24ImageBytes(w, h);  // 0 unless w, h > 0

  *slot = nullptr;
  if (imageBytes + 16 > platform::kMaxBlockBytes) {
    SetLoadError("image size not representable: %d x %d pixels", w, h);
    return nullptr;
  }
  BlockHandle block = platform::AllocBlock(imageBytes + 16);
  auto* out = static_cast<uint8_t*>(platform::LockBlock(block));
  if (out == nullptr) {
    platform::FreeBlock(block);
    char wanted[32];
    SetLoadError("out of memory: %s", FormatBytes(imageBytes + 16, wanted));
    return nullptr;
  }
  *slot = block;
  ClearLoadError();
  if (imageBytes == 0 || source == nullptr) return out;

  const auto stride = static_cast<uint64_t>(Rgb24Stride64(w));
  const auto rows = static_cast<uint64_t>(h);
  const RgbQuad* palette = Palette;  // this thread's, looked up once
  if (bpp == 8) {
    const auto sourceStride = static_cast<uint64_t>(PaddedRowBytes64(w));
    for (uint64_t y = 0; y < rows && y * sourceStride < sourceBytes; ++y) {
      const uint64_t n = Usable(y * sourceStride, static_cast<uint64_t>(w), sourceBytes);
      const uint8_t* in = source + y * sourceStride;
      uint8_t* row = out + y * stride;
      for (uint64_t x = 0; x < n; ++x) PutPixel(row + 3 * x, palette, in[x]);
    }
  } else if (bpp == 4) {
    const uint64_t perRow = (static_cast<uint64_t>(w) + 1) / 2;
    const auto sourceStride = static_cast<uint64_t>(PaddedRowBytes64(static_cast<int64_t>(perRow)));
    for (uint64_t y = 0; y < rows && y * sourceStride < sourceBytes; ++y) {
      const uint64_t n = Usable(y * sourceStride, perRow, sourceBytes);
      const uint8_t* in = source + y * sourceStride;
      uint8_t* row = out + y * stride;
      // For an odd width the last low nibble lands just after the row's last
      // pixel: in its padding, partly in the next row's start (overwritten
      // when that row is produced) or, after the last row, in the 16 spare
      // bytes.
      for (uint64_t x = 0; x < n; ++x) {
        PutPixel(row + 6 * x, palette, static_cast<uint8_t>(in[x] >> 4));
        PutPixel(row + 6 * x + 3, palette, static_cast<uint8_t>(in[x] & 15));
      }
    }
  }
  return out;
}

}  // namespace diffmark
