// consumer PLUGIN_DIR IMAGE...
//
// Loads each image with the diffmark library (BMP directly, other formats
// through the plug-ins in PLUGIN_DIR), expands palette images to 24 bits,
// and prints one line per image: its size and first pixel, or the reason
// it did not load.
#include <cstdio>

#include <diffmark/imageload.h>

int main(int argc, char** argv) {
  using namespace diffmark;
  if (argc < 3 || !SetPluginDirectory(argv[1])) return 2;
  ScanPlugins();
  int failures = 0;
  for (int i = 2; i < argc; ++i) {
    BlockHandle block = nullptr;
    BitmapInfo info{};
    const uint8_t* pixels = LoadImageFile(argv[i], &block, &info);
    if (pixels == nullptr) {
      std::printf("%s: %s\n", argv[i], LastLoadError());
      ++failures;
      continue;
    }
    const BitmapInfoHeader& h = info.bmiHeader;
    BlockHandle rgbBlock = nullptr;
    const uint8_t* rgb = h.biBitCount == 24 ? pixels : ExpandToRgb24(pixels, BlockBytes(block), &h, &rgbBlock);
    if (rgb == nullptr) {
      std::printf("%s: %s\n", argv[i], LastLoadError());
      ++failures;
    } else {
      std::printf("%s: %d x %d, %u bits, first pixel B=%u G=%u R=%u\n", argv[i], h.biWidth, h.biHeight,
                  unsigned{h.biBitCount}, rgb[0], rgb[1], rgb[2]);
    }
    ReleaseBlock(rgbBlock);
    ReleaseBlock(block);
  }
  ReleasePlugins();
  return failures;
}
