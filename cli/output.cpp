#include "cli/output.h"

#include "cli/png.h"

namespace diffmark::cli {

bool CanWritePng() { return PngEncoderOfBuild() != nullptr; }

PngEncoder PngEncoderOfBuild() {
#if DIFFMARK_CLI_PNG
  return EncodePng;
#else
  return nullptr;
#endif
}

bool OutputFormatOf(const std::string& path, OutputFormat* format) {
  const size_t dot = path.find_last_of('.');
  const size_t slash = path.find_last_of("/\\");
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return false;
  std::string ext = path.substr(dot + 1);
  for (char& c : ext) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  if (ext == "bmp") {
    *format = OutputFormat::Bmp;
    return true;
  }
  if (ext == "png") {
    *format = OutputFormat::Png;
    return true;
  }
  return false;
}

PairOutput OutputOf(const std::string& path, OutputFormat format) {
  PairOutput output;
  output.path = path;
  output.format = format;
  output.encodePng = PngEncoderOfBuild();
  return output;
}

}  // namespace diffmark::cli
