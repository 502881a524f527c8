// What diffmark-cli writes besides its text: marked copies and the
// report's pictures, as BMP or PNG.
#pragma once

#include <string>

#include "compare/pair.h"

namespace diffmark::cli {

// Whether this build writes PNG (libspng on Linux, WIC on Windows).
[[nodiscard]] bool CanWritePng();

// The PNG encoder of this build; nullptr where there is none.
[[nodiscard]] PngEncoder PngEncoderOfBuild();

// The format an output name asks for (.bmp or .png, any letter case);
// false for a name that is neither.
[[nodiscard]] bool OutputFormatOf(const std::string& path, OutputFormat* format);

// How an output of `format` is written in this build.
[[nodiscard]] PairOutput OutputOf(const std::string& path, OutputFormat format);

}  // namespace diffmark::cli
