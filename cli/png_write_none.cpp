// PNG output where the build has no PNG encoder (no libspng, not Windows).
#include "cli/png_write.h"

namespace diffmark::cli {

bool WritePngFile(const std::string&, const Picture&, std::string* error) {
  *error = "PNG output is not available in this build";
  return false;
}

bool CanWritePng() { return false; }

}  // namespace diffmark::cli
