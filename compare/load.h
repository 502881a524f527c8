// Loading a picture to compare, and writing the marked BMP result.
#pragma once

#include <string>

#include <diffmark/imageload.h>

#include "bitmap/examine.h"
#include "compare/picture.h"
#include "platform/platform.h"

namespace diffmark {

// Whether the library's own reader reads a BMP exactly as its writer meant
// it: 24 bits per pixel, uncompressed rows, behind an info header of a size
// it knows.  Every other BMP (palettes, 16 and 32 bits, bit fields, OS/2
// headers) is better read by a plug-in that accepts "bmp".
[[nodiscard]] bool ReaderTakesExactly(const BitmapFileLayout& bmp);

// Whether a path's extension is "bmp" (in any letter case), by the
// loader's own rule.
[[nodiscard]] bool HasBmpExtension(const std::string& path);

// A decoded picture and the blocks behind it, released with the object.
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

// Loads `path` for comparing: BMP files the library's own reader reads
// exactly go to it; every other BMP to a plug-in that accepts "bmp" when
// one is registered; other names to the plug-ins.  8- and 4-bit results
// are expanded to 24 bits.  False with the reason in `error`.
[[nodiscard]] bool LoadPicture(const std::string& path, LoadedImage* image, std::string* error);

// Writes a 24-bit BMP into an open file: a fresh 14-byte file header, the
// 40-byte `header` (EncodeRgb24Headers), and the Rgb24ImageBytes(header)
// bytes of rows from `pixels` in the order they lie, zero bytes where the
// block's `pixelBytes` are fewer, so the file's length always equals its
// bfSize.  False with the reason.
[[nodiscard]] bool WriteBmpInto(platform::FileHandle file, const BitmapInfoHeader& header, const uint8_t* pixels,
                                uint64_t pixelBytes, std::string* reason);

enum class WriteResult { Written, NotCreated, WriteFailed };

// Creates (or replaces) `path` in place and writes the BMP of WriteBmpInto
// (the difference run's Image.bmp).  NotCreated when the file cannot be created, WriteFailed when a write
// comes up short; `reason` (when given) then says why.
[[nodiscard]] WriteResult WriteResultFile(const char* path, const BitmapInfoHeader& header,
                                          const uint8_t* pixels, uint64_t pixelBytes,
                                          std::string* reason = nullptr);

}  // namespace diffmark
