// Writing a picture as PNG for diffmark-cli: through libspng where the build
// found it, through the Windows Imaging Component on Windows, else not at
// all (png_write_spng.cpp, png_write_wic.cpp, png_write_none.cpp).
#pragma once

#include <string>

#include "compare/picture.h"

namespace diffmark::cli {

// Writes `picture` (24-bit rows, blue green red) as an 8-bit RGB PNG to `path`, creating or replacing
// that file in place. False with the reason in `error`.
[[nodiscard]] bool WritePngFile(const std::string& path, const Picture& picture, std::string* error);

// Whether this build can write PNG.
bool CanWritePng();

}  // namespace diffmark::cli
