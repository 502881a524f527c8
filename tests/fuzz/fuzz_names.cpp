// GetExtension and CompareNames on arbitrary names and lengths.  The input
// is split at its first 0xFF byte into two names; the first byte chooses
// the mode and the count n, which never exceeds what both buffers hold.
#include <cstring>
#include <string>

#include "fuzz_common.h"
#include <diffmark/imageload.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t control = data[0];
  const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  const size_t cut = rest.find('\xFF');
  const std::string a = rest.substr(0, cut);
  const std::string b = cut == std::string::npos ? std::string() : rest.substr(cut + 1);

  char ext[diffmark::kMaxPath];
  std::memset(ext, 0x7E, sizeof ext);
  diffmark::GetExtension(a.c_str(), ext);
  const size_t length = strnlen(ext, sizeof ext);
  if (length > 6) fuzz::Fail("extension longer than 6 characters");

  const int32_t mode = control & 3;
  const int32_t whole = diffmark::CompareNames(mode, a.c_str(), b.c_str(), 0);
  const size_t shorter = std::min(std::strlen(a.c_str()), std::strlen(b.c_str()));
  if (whole < 0 || static_cast<size_t>(whole) > shorter + 1) fuzz::Fail("whole comparison out of range");
  if (diffmark::CompareNames(mode, a.c_str(), a.c_str(), 0) != 0) fuzz::Fail("a name differs from itself");

  // Counted: n bytes of each buffer (terminators count as bytes).
  const size_t room = std::min(a.size(), b.size()) + 1;
  const auto n = static_cast<int32_t>(1 + (control >> 2) % room);  // 0 would mean "whole"
  const int32_t counted = diffmark::CompareNames(mode, a.c_str(), b.c_str(), n);
  if (counted < 0 || counted > n) fuzz::Fail("counted comparison out of range");
  return 0;
}
