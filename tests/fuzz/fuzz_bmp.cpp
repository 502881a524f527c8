// The BMP reader on arbitrary bytes, read from a file as the program does.
#include <cstring>

#include <diffmark/bitmap.h>
#include "platform/platform.h"
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::WorkDir();
  fuzz::WriteFile("input.bmp", data, size);
  diffmark::BlockHandle slot = nullptr;
  diffmark::BitmapInfo info{};
  uint8_t* pixels = diffmark::ReadBitmapFile("input.bmp", &slot, &info);
  if (pixels != nullptr) {
    const uint64_t rows = diffmark::Rgb24ImageBytes(info.bmiHeader);  // top-down files too
    const uint64_t block = diffmark::platform::BlockSize(slot);
    if (rows > block) fuzz::Fail("rows larger than the block");
    // Every byte of the block may be read and written.
    volatile uint8_t sink = pixels[block - 1];
    (void)sink;
    pixels[0] ^= 1;
    diffmark::platform::UnlockBlock(slot);
    diffmark::platform::FreeBlock(slot);
  } else if (slot != nullptr) {
    fuzz::Fail("a failed read left a block in the slot");
  }
  return 0;
}
