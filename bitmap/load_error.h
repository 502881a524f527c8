// The reason behind the last failed load, kept per thread for
// LastLoadError(): every loader sets it when it fails and clears it when it
// succeeds.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace diffmark {

// The text, or nullptr when the last load on this thread succeeded.
const char* CurrentLoadError();
void ClearLoadError();

// printf-style; the text is cut to a few hundred bytes.
void SetLoadError(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Why a file could not be opened, in words: "file not found", ...
const char* DescribeFileError(platform::FileError error);

// A byte count as people read it: "60 bytes", "12.3 kB", "1.2 GB" (powers
// of 1000).  Written into `out`, which is returned.
const char* FormatBytes(uint64_t bytes, char (&out)[32]);

}  // namespace diffmark
