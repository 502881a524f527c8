// Shared by the fuzz targets: a private working directory, whole-file
// writes, and a hard stop when an invariant breaks.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include <unistd.h>

namespace fuzz {

// A directory of this process's own, made the current one on first use;
// the difference run works in the current directory.
inline const std::filesystem::path& WorkDir() {
  static const std::filesystem::path dir = [] {
    std::filesystem::path p = std::filesystem::temp_directory_path() /
                              ("diffmark-fuzz-" + std::to_string(static_cast<long>(getpid())));
    std::filesystem::create_directories(p);
    std::filesystem::current_path(p);
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::current_path("/", ignored);
      std::filesystem::remove_all(WorkDir(), ignored);
    });
    return p;
  }();
  return dir;
}

// A new file each time: truncating an existing one would make the file
// system flush it to disk on close, which costs more than the whole run.
inline void WriteFile(const std::string& name, const uint8_t* data, size_t size) {
  std::remove(name.c_str());
  FILE* f = std::fopen(name.c_str(), "wb");
  if (f == nullptr) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
  std::fclose(f);
}

[[noreturn]] inline void Fail(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

}  // namespace fuzz
