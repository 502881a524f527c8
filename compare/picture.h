// A view of a decoded picture as the comparison reads and marks it: 24-bit
// rows (blue, green, red bytes per pixel) at a fixed stride, in either
// order.  The view owns nothing.
#pragma once

#include <cstdint>

namespace diffmark {

struct Picture {
  uint8_t* rows = nullptr;
  int64_t stride = 0;      // bytes from one memory row to the next
  int32_t width = 0;
  int32_t height = 0;
  bool bottomUp = true;    // memory row 0 holds the bottom picture row

  // Picture row y, counted from the top as viewers show it.
  uint8_t* Row(int32_t y) const {
    return rows + stride * (bottomUp ? int64_t{height} - 1 - y : int64_t{y});
  }
};

}  // namespace diffmark
