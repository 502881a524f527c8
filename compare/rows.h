// How the rows of the two images meet in the difference run.
//
// Both images are addressed with the second image's width and row count
// (its RowLayout), as the run always has.  Row y of the second image, in
// the order its file stores them, is compared with row BaseRow(plan, y) of
// the first image's block, and that row, marked, becomes row y of
// Image.bmp, which keeps the second image's header and so its orientation.
// When both files have the same orientation that is row y itself; when one
// is top-down and the other bottom-up, the first image's rows are taken in
// reverse order, so that the same rows of the picture meet.
//
// A byte at offset o of the first image's block (PixelBlockBytes of its
// header) exists only while o is below the block's size; Image.bmp's bytes
// from that offset on are zero.
// Every path through the run (whole images in memory, or rows streamed)
// must follow this one plan.
#pragma once

#include <cstdint>

#include <diffmark/bitmap.h>

namespace diffmark {

struct RowPlan {
  int32_t width = 0;         // the second image's biWidth; 0 or less: no pixels
  int32_t rows = 0;          // the second image's rows; 0 or less: none
  bool reverseBase = false;  // the orientations differ
};

// The plan for a first image of header `base` and a second of `other`
// (headers the reader accepted).
[[nodiscard]] RowPlan PlanRows(const BitmapInfoHeader& base, const BitmapInfoHeader& other);

// The first image's row that meets row y (0 <= y < plan.rows) of the second.
[[nodiscard]] inline int64_t BaseRow(const RowPlan& plan, int64_t y) {
  return plan.reverseBase ? int64_t{plan.rows} - 1 - y : y;
}

// Puts the first image's rows, within its block of `baseBytes` bytes, in
// the order the plan compares them (rows of Rgb24Stride(plan.width) bytes):
// afterwards row y of the block holds what was row BaseRow(plan, y), where
// that lay inside the block, and zero where it did not.  Bytes past
// `baseBytes` are never touched.  Does nothing unless plan.reverseBase.
void ArrangeBaseRows(const RowPlan& plan, uint8_t* base, uint64_t baseBytes);

}  // namespace diffmark
