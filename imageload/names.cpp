#include <cstring>

#include <diffmark/imageload.h>

namespace diffmark {

namespace {

// Folds 'A'..'Z' only; bytes from 0x80 up are negative as signed bytes and
// never fold.
int Fold(char c) {
  const auto s = static_cast<signed char>(c);
  return (s >= 'A' && s <= 'Z') ? s + 0x20 : s;
}

}  // namespace

int32_t CompareNames(int32_t mode, const char* a, const char* b, int32_t n) {
  if (n == 0) {
    const size_t la = std::strlen(a);
    const size_t lb = std::strlen(b);
    // Lengths are those of real strings, so they fit in 32 bits.
    if (lb > la) return static_cast<int32_t>(la);
    if (lb < la) return static_cast<int32_t>(lb);
    n = static_cast<int32_t>(la);
  }
  for (int32_t i = 0; i < n; ++i) {
    if (a[i] == b[i]) continue;
    if (mode == 1 || Fold(a[i]) != Fold(b[i])) return i + 1;
  }
  return 0;
}

void GetExtension(const char* name, char* out) {
  const size_t len = std::strlen(name);
  size_t dot = len;  // the search starts at the terminator, which is never '.'
  bool found = false;
  for (size_t i = len + 1; i-- > 0;) {
    if (name[i] == '.') {
      dot = i;
      found = true;
      break;
    }
  }
  out[0] = '\0';
  if (found && dot > 0 && len - dot < 8) std::memcpy(out, name + dot + 1, len - dot);
  if (CompareNames(0, out, "jpeg", 0) == 0) std::memcpy(out, "jpg", 4);
  if (CompareNames(0, out, "jpe", 0) == 0) std::memcpy(out, "jpg", 4);
}

}  // namespace diffmark
