#include "bitmap/load_error.h"

#include <cstdarg>
#include <cstdio>

namespace diffmark {

namespace {

// Per thread, so that loads on different threads keep their own reasons.
thread_local char tError[512];
thread_local bool tFailed = false;

}  // namespace

const char* CurrentLoadError() { return tFailed ? tError : nullptr; }

void ClearLoadError() { tFailed = false; }

void SetLoadError(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(tError, sizeof tError, format, args);
  va_end(args);
  tFailed = true;
}

const char* DescribeFileError(platform::FileError error) {
  switch (error) {
    case platform::FileError::NotFound:
      return "file not found";
    case platform::FileError::AccessDenied:
      return "permission denied";
    case platform::FileError::NotRegular:
      return "not a regular file";
    case platform::FileError::None:
    case platform::FileError::Other:
      break;
  }
  return "file cannot be opened";
}

const char* FormatBytes(uint64_t bytes, char (&out)[32]) {
  if (bytes < 1000) {
    std::snprintf(out, sizeof out, "%llu byte%s", static_cast<unsigned long long>(bytes),
                  bytes == 1 ? "" : "s");
    return out;
  }
  static const char* const kUnits[] = {"kB", "MB", "GB", "TB", "PB", "EB"};
  double value = static_cast<double>(bytes) / 1000.0;
  size_t unit = 0;
  while (value >= 999.95 && unit + 1 < sizeof kUnits / sizeof kUnits[0]) {
    value /= 1000.0;
    ++unit;
  }
  std::snprintf(out, sizeof out, "%.1f %s", value, kUnits[unit]);
  return out;
}

}  // namespace diffmark
