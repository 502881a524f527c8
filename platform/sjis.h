// Shift_JIS (code page 932) to UTF-8, for the places where a stored
// Japanese message has to be shown on a UTF-8 terminal.
#pragma once

#include <string>

namespace diffmark::platform {

// Converts with the system's iconv (CP932).  A byte sequence that is not
// Shift_JIS, and a lead byte without its trail byte, becomes U+FFFD; where
// the system has no CP932 converter the bytes pass through unchanged.
std::string ShiftJisToUtf8(const char* text);

}  // namespace diffmark::platform
