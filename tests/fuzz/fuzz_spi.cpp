// GetPicture of one format plug-in on arbitrary bytes; built once for each
// plug-in (DIFFMARK_FUZZ_SPI names it).  The plug-in is a variant built for
// fuzzing whose pixel limit is 2^20 instead of 2^28, so that a few bytes
// cannot make every run decode a quarter of a billion pixels; the code is
// otherwise the same.
//
// Checks the contract the host relies on: success hands back both blocks,
// the 40-byte header the library makes for a 24-bit image of a size within
// the limit, and rows that fill it (all read, so ASan sees them) with zero
// padding; failure
// is one of the named SPI_ERROR_ results, and every handle it leaves names
// a live block (the host frees it).
#include <cstdint>
#include <cstring>

#define SPI_HOST
#include <diffmark/bitmap.h>
#include <diffmark/spi.h>
#include "fuzz_common.h"
#include "platform/platform.h"

namespace {

constexpr uint64_t kFuzzPixelLimit = uint64_t{1} << 20;

volatile unsigned gTouched;  // every pixel byte is read into it

struct Plugin {
  diffmark::platform::LibraryHandle library = nullptr;
  SpiGetPictureFn getPicture = nullptr;
  Plugin() {
    library = diffmark::platform::OpenLibrary(DIFFMARK_FUZZ_PLUGIN_DIR "/fuzz-" DIFFMARK_FUZZ_SPI ".spi");
    getPicture = reinterpret_cast<SpiGetPictureFn>(diffmark::platform::LookupSymbol(library, "GetPicture"));
    if (getPicture == nullptr) fuzz::Fail("plug-in not loadable");
  }
};

void CheckPicture(SpiHandle info, SpiHandle pixels) {
  using namespace diffmark;
  if (info == nullptr || pixels == nullptr) fuzz::Fail("success without both blocks");
  const auto* head = static_cast<const uint8_t*>(platform::LockBlock(info));
  if (head == nullptr || platform::BlockSize(info) < kInfoHeaderBytes) fuzz::Fail("info block");
  const BitmapInfoHeader got = DecodeInfoHeader(head);
  BitmapInfoHeader want{};
  InitRgb24Header(&want, got.biWidth, got.biHeight);
  if (std::memcmp(&got, &want, sizeof want) != 0) fuzz::Fail("not the library's 24-bit header");
  if (got.biWidth <= 0 || got.biHeight <= 0 ||
      static_cast<uint64_t>(got.biWidth) * static_cast<uint64_t>(got.biHeight) > kFuzzPixelLimit) {
    fuzz::Fail("size outside the limit");
  }
  const auto* rows = static_cast<const uint8_t*>(platform::LockBlock(pixels));
  const uint64_t bytes = Rgb24ImageBytes(got.biWidth, got.biHeight);
  if (rows == nullptr || platform::BlockSize(pixels) < bytes) fuzz::Fail("pixel block smaller than its rows");
  const uint64_t width = static_cast<uint64_t>(got.biWidth);
  const uint64_t stride = bytes / static_cast<uint64_t>(got.biHeight);
  unsigned sum = 0;
  for (uint64_t i = 0; i < bytes; ++i) {
    if (i % stride >= 3 * width && rows[i] != 0) fuzz::Fail("row padding not zero");
    sum += rows[i];
  }
  gTouched = sum;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Plugin plugin;
  if (size > INT32_MAX) return 0;
  SpiHandle info = nullptr;
  SpiHandle pixels = nullptr;
  const int32_t result = plugin.getPicture(reinterpret_cast<const char*>(data), static_cast<int32_t>(size),
                                           SPI_FLAG_MEMORY, &info, &pixels, nullptr, 0);
  if (result == SPI_OK) {
    CheckPicture(info, pixels);
  } else if (result != SPI_ERROR_UNSUPPORTED && result != SPI_ERROR_CORRUPT && result != SPI_ERROR_NO_MEMORY &&
             result != SPI_ERROR_TOO_LARGE && result != SPI_ERROR_INTERNAL) {
    fuzz::Fail("a failure without a named reason");
  }
  for (SpiHandle handle : {info, pixels}) {
    if (handle != nullptr && !diffmark::platform::FreeBlock(handle)) fuzz::Fail("a handle to no live block");
  }
  return 0;
}
