// Loading an image for diffmark-cli through the library, and writing the
// marked result.
#pragma once

#include <string>

#include <diffmark/imageload.h>

#include "cli/compare.h"
#include "cli/png_write.h"  // CanWritePng

namespace diffmark::cli {

// A decoded image and the blocks behind it, released with the object.
class LoadedImage {
 public:
  LoadedImage() = default;
  ~LoadedImage();
  LoadedImage(const LoadedImage&) = delete;
  LoadedImage& operator=(const LoadedImage&) = delete;

  Picture picture;
  BitmapInfoHeader header{};  // as the loader gave it
  bool builtInBmp = false;    // 24-bit rows from the library's own BMP reader
  BlockHandle block = nullptr;
  BlockHandle expanded = nullptr;  // the 24-bit copy of a palette image
};

// Loads `path`: BMP files the library's own reader reads exactly (24 bits
// per pixel, uncompressed, a known header size) go to it; every other BMP
// to a plug-in that accepts "bmp" when one is registered (so palette, 16-
// and 32-bit, bit-field and OS/2 files compare correctly); other names to
// the plug-ins.  8- and 4-bit results are expanded to 24 bits.  False with
// the reason in `error`.
[[nodiscard]] bool LoadPicture(const std::string& path, LoadedImage* image, std::string* error);

// Finds plug-ins: `explicitDir` when given, else $DIFFMARK_PLUGINS, else
// the first of the program's folder, the installed plug-in folder (beside
// the program's, ../lib/diffmark/plugins) and the build tree's (../plugins)
// that holds a usable plug-in.  Returns the folder scanned ("" for none).
std::string FindPlugins(const std::string& explicitDir);

enum class Format { Bmp, Png };

// Writes `picture` as a 24-bit image to `path`: BMP through the same
// writer as the difference run (with `header` as its info header; rows in
// the header's orientation), or PNG.  A regular file is written under a
// temporary name in the same folder and renamed over `path` only when
// complete, so a failure leaves `path` as it was.  False with the reason.
[[nodiscard]] bool WritePicture(const std::string& path, Format format, const Picture& picture,
                                const BitmapInfoHeader& header, std::string* error);

// The format an output name asks for; false for a name that is neither.
[[nodiscard]] bool OutputFormat(const std::string& path, Format* format);

}  // namespace diffmark::cli
