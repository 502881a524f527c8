// A shared library with the diffmark library inside, for a process that
// loads it with local scope (as plug-in hosts of scripting languages do).
#include <diffmark/imageload.h>

extern "C" __attribute__((visibility("default"))) int LoadFirstPixel(const char* pluginDir, const char* image) {
  using namespace diffmark;
  if (!SetPluginDirectory(pluginDir)) return -1;
  ScanPlugins();
  BlockHandle block = nullptr;
  BitmapInfo info{};
  const uint8_t* pixels = LoadImageFile(image, &block, &info);
  const int red = pixels != nullptr && info.bmiHeader.biBitCount == 24 ? pixels[2] : -1;
  ReleaseBlock(block);
  ReleasePlugins();
  return red;
}
