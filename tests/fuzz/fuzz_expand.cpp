// ExpandToRgb24 with fuzzer-chosen headers, palettes and source rows: 40
// header bytes, then 1024 palette bytes, then the rows (what is short is
// zero, except the rows, which stay short).
#include <cstring>

#include <diffmark/bitmap.h>
#include "platform/platform.h"
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint8_t header[diffmark::kInfoHeaderBytes] = {};
  std::memcpy(header, data, std::min(size, sizeof header));
  diffmark::BitmapInfoHeader h = diffmark::DecodeInfoHeader(header);
  const size_t paletteAt = sizeof header;
  uint8_t palette[1024] = {};
  if (size > paletteAt) std::memcpy(palette, data + paletteAt, std::min(size - paletteAt, sizeof palette));
  std::memcpy(diffmark::Palette, palette, sizeof palette);
  const size_t rowsAt = paletteAt + sizeof palette;
  const uint8_t* rows = size > rowsAt ? data + rowsAt : nullptr;
  const uint64_t rowBytes = size > rowsAt ? size - rowsAt : 0;

  diffmark::BlockHandle slot = nullptr;
  uint8_t* out = diffmark::ExpandToRgb24(rows, rowBytes, &h, &slot);
  if (out != nullptr) {
    const uint64_t block = diffmark::platform::BlockSize(slot);
    if (block != diffmark::Rgb24ImageBytes(h.biWidth, h.biHeight) + 16) fuzz::Fail("block size");
    out[block - 1] ^= 1;
    diffmark::platform::UnlockBlock(slot);
    diffmark::platform::FreeBlock(slot);
  } else if (slot != nullptr) {
    fuzz::Fail("a failed expansion left a block in the slot");
  }
  return 0;
}
