#include "platform/sjis.h"

#include <iconv.h>

#include <cerrno>
#include <cstring>

namespace diffmark::platform {

std::string ShiftJisToUtf8(const char* text) {
  iconv_t convert = ::iconv_open("UTF-8", "CP932");
  if (convert == reinterpret_cast<iconv_t>(-1)) return text;
  std::string out;
  char* in = const_cast<char*>(text);  // iconv's interface; the text is not changed
  size_t inLeft = std::strlen(text);
  char buffer[256];
  while (inLeft > 0) {
    char* next = buffer;
    size_t outLeft = sizeof buffer;
    const size_t result = ::iconv(convert, &in, &inLeft, &next, &outLeft);
    out.append(buffer, static_cast<size_t>(next - buffer));
    if (result != static_cast<size_t>(-1) || errno == E2BIG) continue;
    out += "\xEF\xBF\xBD";  // U+FFFD for the byte that does not convert
    if (errno != EILSEQ) break;  // EINVAL: a lead byte at the end of the text
    ++in;
    --inLeft;
  }
  ::iconv_close(convert);
  return out;
}

}  // namespace diffmark::platform
