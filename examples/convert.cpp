// diffmark_convert PLUGIN_DIR INPUT OUTPUT.bmp
//
// Loads any image the library can read (BMP directly, other formats through
// the plug-ins in PLUGIN_DIR), expands 8-bit and 4-bit images to 24 bits
// through the palette, and writes a 24-bit BMP, for instance to turn two
// PPM files into the Image0.bmp and Image1.bmp that diffmark compares.
#include <cstdio>
#include <cstring>

#include <diffmark/imageload.h>

using namespace diffmark;

namespace {

// Writes a 24-bit BMP of the rows (in the order a header of this height
// stores them: a negative height is a top-down file); false when the
// `available` bytes do not hold them or the file cannot be written.
bool WriteBmp(const char* path, int32_t width, int32_t height, const uint8_t* rows, uint64_t available) {
  BitmapInfoHeader header;
  InitRgb24Header(&header, width, height);
  uint8_t headers[kHeadersBytes];
  if (!EncodeRgb24Headers(header, headers) || Rgb24ImageBytes(header) > available) return false;
  std::FILE* file = std::fopen(path, "wb");
  if (file == nullptr) return false;
  const size_t rowBytes = static_cast<size_t>(Rgb24ImageBytes(header));
  bool ok = std::fwrite(headers, 1, sizeof headers, file) == sizeof headers &&
            std::fwrite(rows, 1, rowBytes, file) == rowBytes;
  ok = std::fclose(file) == 0 && ok;
  return ok;
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
    std::fprintf(stderr, "%s: %s\n", argv[2], LastLoadError());
    ReleasePlugins();
    return 1;
  }
  const BitmapInfoHeader& h = info.bmiHeader;
  int status = 0;
  if (h.biBitCount == 8 || h.biBitCount == 4) {
    BlockHandle rgb = nullptr;
    const uint8_t* rows = ExpandToRgb24(pixels, BlockBytes(block), &h, &rgb);
    status = rows != nullptr && WriteBmp(argv[3], h.biWidth, h.biHeight, rows, BlockBytes(rgb)) ? 0 : 1;
    ReleaseBlock(rgb);
  } else if (h.biBitCount == 24) {
    status = WriteBmp(argv[3], h.biWidth, h.biHeight, pixels, BlockBytes(block)) ? 0 : 1;
  } else {
    std::fprintf(stderr, "%s: %u bits per pixel are not converted\n", argv[2], unsigned{h.biBitCount});
    status = 1;
  }
  if (status != 0) std::fprintf(stderr, "%s: cannot be written\n", argv[3]);
  ReleaseBlock(block);
  ReleasePlugins();
  return status;
}
