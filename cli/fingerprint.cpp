#include "cli/fingerprint.h"

#include <cstdio>
#include <memory>
#include <vector>

#include "platform/platform.h"

namespace diffmark::cli {

uint64_t Fnv1a64(const void* data, uint64_t bytes, uint64_t hash) {
  const auto* p = static_cast<const unsigned char*>(data);
  for (uint64_t i = 0; i < bytes; ++i) {
    hash ^= p[i];
    hash *= 1099511628211ull;
  }
  return hash;
}

bool FingerprintFile(const std::string& path, Fingerprint* out, std::string* error) {
  platform::FileError why = platform::FileError::None;
  const std::unique_ptr<platform::File, void (*)(platform::File*)> file(
      platform::OpenForReading(path.c_str(), &why), platform::CloseFile);
  if (file == nullptr) {
    *error = why == platform::FileError::NotFound       ? "not found"
             : why == platform::FileError::AccessDenied ? "cannot be read (access denied)"
             : why == platform::FileError::NotRegular   ? "is not a regular file"
                                                        : "cannot be opened";
    return false;
  }
  std::vector<unsigned char> buffer(1 << 20);
  Fingerprint f;
  f.fnv1a64 = kFnvOffsetBasis;
  for (;;) {
    uint64_t got = 0;
    if (!platform::ReadBytes(file.get(), buffer.data(), buffer.size(), &got)) {
      *error = "cannot be read";
      return false;
    }
    f.fnv1a64 = Fnv1a64(buffer.data(), got, f.fnv1a64);
    f.bytes += got;
    if (got < buffer.size()) break;
  }
  *out = f;
  return true;
}

std::string HexOf(uint64_t hash) {
  char text[20];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

}  // namespace diffmark::cli
