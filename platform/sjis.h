// Shift_JIS (code page 932) to UTF-8, for the places where a stored
// Japanese message has to be shown on a UTF-8 terminal.
#pragma once

#include <string>

namespace diffmark::platform {

// Converts ASCII, half-width katakana, the full-width punctuation, digits,
// letters, hiragana and katakana of JIS X 0208, and the kanji of the tool's
// own messages.  Any other double-byte character, and a lead byte without a
// trail byte, becomes U+FFFD.
std::string ShiftJisToUtf8(const char* text);

}  // namespace diffmark::platform
