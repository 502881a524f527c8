// The row plan of the run: which row of the first image meets which row of
// the second, and turning the first image's rows over inside its block.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

#include "compare/rows.h"
#include "support.h"

namespace diffmark {
namespace {

using testsupport::Bytes;

BitmapInfoHeader Header(int32_t width, int32_t height, uint16_t bits = 24) {
  BitmapInfoHeader h{};
  InitRgb24Header(&h, width, height);
  h.biBitCount = bits;
  return h;
}

TEST(RowPlan, TheSecondImageGivesTheGeometryAndOrientationsDecideTheOrder) {
  struct Case {
    BitmapInfoHeader base, other;
    int32_t width, rows;
    bool reverse;
  };
  const Case cases[] = {
      {Header(4, 3), Header(5, 2), 5, 2, false},
      {Header(4, -3), Header(5, -2), 5, 2, false},
      {Header(4, 3), Header(5, -2), 5, 2, true},
      {Header(4, -3), Header(5, 2), 5, 2, true},
      {Header(4, 3), Header(5, -2, 32), 5, -2, false},  // not top-down: no rows, as ever
      {Header(4, -3, 8), Header(5, 2), 5, 2, false},
  };
  for (const Case& c : cases) {
    const RowPlan plan = PlanRows(c.base, c.other);
    EXPECT_EQ(plan.width, c.width);
    EXPECT_EQ(plan.rows, c.rows);
    EXPECT_EQ(plan.reverseBase, c.reverse) << c.base.biHeight << " " << c.other.biHeight;
    if (c.rows > 0) {
      EXPECT_EQ(BaseRow(plan, 0), c.reverse ? c.rows - 1 : 0);
      EXPECT_EQ(BaseRow(plan, c.rows - 1), c.reverse ? 0 : c.rows - 1);
    }
  }
}

// Rows of 4 bytes (width 1), each filled with its row number + 1.
Bytes NumberedRows(size_t rows, size_t blockBytes) {
  Bytes b(blockBytes, 0xEE);
  for (size_t i = 0; i < blockBytes && i / 4 < rows; ++i) b[i] = static_cast<uint8_t>(i / 4 + 1);
  return b;
}

TEST(RowPlan, ArrangingTurnsTheRowsOverInsideTheBlockOnly) {
  RowPlan plan;
  plan.width = 1;
  plan.reverseBase = true;
  // Odd and even row counts, with spare bytes after the rows.
  for (int32_t rows : {1, 2, 5, 6}) {
    plan.rows = rows;
    Bytes block = NumberedRows(static_cast<size_t>(rows), 4 * static_cast<size_t>(rows) + 8);
    ArrangeBaseRows(plan, block.data(), block.size());
    for (int32_t y = 0; y < rows; ++y) {
      for (int i = 0; i < 4; ++i) ASSERT_EQ(block[static_cast<size_t>(4 * y + i)], rows - y) << rows;
    }
    EXPECT_EQ(block[block.size() - 1], 0xEE);  // spare bytes untouched
  }
  // A block that holds 2.5 of 5 rows: rows that would come from past its
  // end are zero, rows that would land past its end are dropped; the
  // middle row stays where it is.
  plan.rows = 5;
  Bytes block = NumberedRows(5, 10);
  ArrangeBaseRows(plan, block.data(), block.size());
  EXPECT_EQ(block, (Bytes{0, 0, 0, 0, 0, 0, 0, 0, 3, 3}));
  plan.rows = 3;  // 10 bytes: rows 0, 1 and half of row 2
  block = NumberedRows(3, 10);
  ArrangeBaseRows(plan, block.data(), block.size());
  EXPECT_EQ(block, (Bytes{3, 3, 0, 0, 2, 2, 2, 2, 1, 1}));
  // Nothing happens when the orders agree or there are no pixels.
  for (RowPlan same : {RowPlan{1, 3, false}, RowPlan{0, 3, true}, RowPlan{-1, 3, true}, RowPlan{1, -3, true}}) {
    block = NumberedRows(3, 12);
    ArrangeBaseRows(same, block.data(), block.size());
    EXPECT_EQ(block, NumberedRows(3, 12));
  }
}

TEST(RowPlan, ArrangingWideRowsSwapsEveryByte) {
  // Rows wider than the swap buffer.
  RowPlan plan{20000, 3, true};
  const size_t stride = static_cast<size_t>(Rgb24Stride(20000));
  Bytes block(3 * stride);
  std::iota(block.begin(), block.end(), uint8_t{0});
  const Bytes before = block;
  ArrangeBaseRows(plan, block.data(), block.size());
  EXPECT_TRUE(std::equal(block.begin(), block.begin() + static_cast<long>(stride),
                         before.begin() + static_cast<long>(2 * stride)));
  EXPECT_TRUE(std::equal(block.begin() + static_cast<long>(2 * stride), block.end(), before.begin()));
}

}  // namespace
}  // namespace diffmark
