#include "compare/rows.h"

#include <algorithm>
#include <cstring>

namespace diffmark {

RowPlan PlanRows(const BitmapInfoHeader& base, const BitmapInfoHeader& other) {
  RowLayout baseLayout{};
  RowLayout otherLayout{};
  // A height the reader refuses has no rows; either result is safe here.
  (void)GetRowLayout(base, &baseLayout);
  (void)GetRowLayout(other, &otherLayout);
  RowPlan plan;
  plan.width = other.biWidth;
  plan.rows = otherLayout.rows;
  plan.reverseBase = baseLayout.topDown != otherLayout.topDown;
  return plan;
}

namespace {

// Exchanges n bytes at a and b (ranges that do not overlap).
void SwapBytes(uint8_t* a, uint8_t* b, size_t n) {
  uint8_t buffer[16 * 1024];
  while (n > 0) {
    const size_t part = std::min(n, sizeof buffer);
    std::memcpy(buffer, a, part);
    std::memcpy(a, b, part);
    std::memcpy(b, buffer, part);
    a += part;
    b += part;
    n -= part;
  }
}

}  // namespace

void ArrangeBaseRows(const RowPlan& plan, uint8_t* base, uint64_t baseBytes) {
  if (!plan.reverseBase || plan.width <= 0 || plan.rows <= 1) return;
  const auto stride = static_cast<uint64_t>(Rgb24Stride64(plan.width));
  // The bytes of the row starting at `start` that lie inside the block.
  const auto inBlock = [&](uint64_t start) {
    return start >= baseBytes ? 0 : std::min(stride, baseBytes - start);
  };
  // stride < 2^33 and rows < 2^31: every offset fits in 64 bits, and one
  // inside the block fits in size_t.
  for (uint64_t top = 0, bottom = static_cast<uint64_t>(plan.rows) - 1; top < bottom; ++top, --bottom) {
    const uint64_t topBytes = inBlock(top * stride);
    if (topBytes == 0) break;  // so are all later rows
    const uint64_t bottomBytes = inBlock(bottom * stride);  // never more than topBytes
    uint8_t* upper = base + static_cast<size_t>(top * stride);
    if (bottomBytes > 0) {
      SwapBytes(upper, base + static_cast<size_t>(bottom * stride), static_cast<size_t>(bottomBytes));
    }
    // What would come from past the block is zero.
    std::memset(upper + bottomBytes, 0, static_cast<size_t>(topBytes - bottomBytes));
  }
}

}  // namespace diffmark
