// PNG output: 8-bit RGB, written into an open file.  One implementation a
// system: zlib (png_zlib.cpp) where it is found, the Windows Imaging
// Component on Windows (png_wic.cpp).
#pragma once

#include <string>

#include "compare/picture.h"
#include "platform/platform.h"

namespace diffmark::cli {

// Encodes `picture` as PNG into `out`; false with the reason.
[[nodiscard]] bool EncodePng(const Picture& picture, platform::FileHandle out, std::string* error);

}  // namespace diffmark::cli
