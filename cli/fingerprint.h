// A file's length and FNV-1a 64 hash: what the report records of each file
// it shows, so that accepting a change later can tell whether the file is
// still the one that was reviewed.  FNV-1a is fast and well known; it is
// not a cryptographic hash and does not guard against a file made on
// purpose to collide, only against a file that changed in the meantime.
#pragma once

#include <cstdint>
#include <string>

namespace diffmark::cli {

struct Fingerprint {
  uint64_t bytes = 0;
  uint64_t fnv1a64 = 0;
};

// FNV-1a 64 of `bytes` bytes, continuing from `hash` (the offset basis
// to start).
inline constexpr uint64_t kFnvOffsetBasis = 14695981039346656037ull;
[[nodiscard]] uint64_t Fnv1a64(const void* data, uint64_t bytes, uint64_t hash = kFnvOffsetBasis);

// Reads the whole file once; false with the reason.
[[nodiscard]] bool FingerprintFile(const std::string& path, Fingerprint* out, std::string* error);

// The hash as 16 lower-case hex digits (JSON numbers lose 64-bit values).
[[nodiscard]] std::string HexOf(uint64_t hash);

}  // namespace diffmark::cli
