// Path joining, the same on every platform: "dir\name", bounded to the
// 260-byte path buffers.
#include <cstring>

#include "platform/platform.h"

namespace diffmark::platform {

bool JoinPath(char (&out)[kMaxPath], const char* dir, const char* name) {
  const size_t a = std::strlen(dir);
  const size_t b = std::strlen(name);
  out[0] = '\0';
  if (a + 1 + b >= kMaxPath) return false;
  std::memcpy(out, dir, a);
  out[a] = '\\';
  std::memcpy(out + a + 1, name, b + 1);
  return true;
}

}  // namespace diffmark::platform
