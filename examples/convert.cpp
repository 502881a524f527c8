// diffmark_convert PLUGIN_DIR INPUT OUTPUT.bmp
//
// Loads any image the library can read (BMP directly, other formats through
// the plug-ins in PLUGIN_DIR), expands 8-bit and 4-bit images to 24 bits
// through the palette, and writes a 24-bit BMP, for instance to turn two
// PPM files into the Image0.bmp and Image1.bmp that diffmark compares.
#include <cstdio>
#include <cstring>

#include "bitmap/bitmap.h"
#include "imageload/imageload.h"

using namespace diffmark;

namespace {

bool WriteBmp(const char* path, int32_t width, int32_t height, const uint8_t* rows) {
  BitmapInfoHeader header;
  InitRgb24Header(&header, width, height);
  uint8_t headers[kHeadersBytes];
  if (!EncodeRgb24Headers(header, headers)) return false;
  platform::FileHandle file = platform::CreateAlways(path);
  if (file == nullptr) return false;
  const bool ok = platform::WriteBytes(file, headers, sizeof headers) &&
                  platform::WriteBytes(file, rows, Rgb24ImageBytes(width, height));
  platform::CloseFile(file);
  return ok;
}

void Release(BlockHandle block) {
  platform::UnlockBlock(block);
  platform::FreeBlock(block);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s PLUGIN_DIR INPUT OUTPUT.bmp\n", argv[0]);
    return 2;
  }
  if (!SetPluginDirectory(argv[1])) {
    std::fprintf(stderr, "plug-in directory name too long\n");
    return 2;
  }
  ScanPlugins();

  BlockHandle block = nullptr;
  BitmapInfo info{};
  const uint8_t* pixels = LoadImageFile(argv[2], &block, &info);
  if (pixels == nullptr) {
    std::fprintf(stderr, "%s: cannot be loaded\n", argv[2]);
    ReleasePlugins();
    return 1;
  }
  const BitmapInfoHeader& h = info.bmiHeader;
  int status = 0;
  if (h.biBitCount == 8 || h.biBitCount == 4) {
    BlockHandle rgb = nullptr;
    const uint8_t* rows = ExpandToRgb24(pixels, platform::BlockSize(block), &h, &rgb);
    status = rows != nullptr && WriteBmp(argv[3], h.biWidth, h.biHeight, rows) ? 0 : 1;
    Release(rgb);
  } else if (h.biBitCount == 24 && Rgb24ImageBytes(h.biWidth, h.biHeight) <= platform::BlockSize(block)) {
    status = WriteBmp(argv[3], h.biWidth, h.biHeight, pixels) ? 0 : 1;
  } else {
    std::fprintf(stderr, "%s: %u bits per pixel are not converted\n", argv[2], unsigned{h.biBitCount});
    status = 1;
  }
  if (status != 0) std::fprintf(stderr, "%s: cannot be written\n", argv[3]);
  Release(block);
  ReleasePlugins();
  return status;
}
