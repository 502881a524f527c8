// MarkDifferences: the marking rules on small cases, and agreement of the
// fast form with the plain reference loop on random rows.
#include <gtest/gtest.h>

#include <random>

#include "app/difference.h"
#include "support.h"

namespace diffmark {
namespace {

using testsupport::Bytes;

TEST(MarkDifferences, EachChannelIsTestedAndMarkedOnItsOwn) {
  // One row of 4 pixels (12 bytes, no padding).
  Bytes base = {10, 20, 30, 255, 0, 255, 1, 2, 3, 7, 7, 7};
  Bytes other = {11, 20, 30, 254, 1, 254, 1, 2, 4, 0, 0, 0};
  MarkDifferences(base.data(), base.size(), other.data(), other.size(), 4, 1);
  const Bytes expected = {255, 20, 30, 255, 0, 255, 1, 2, 255, 255, 0, 255};
  EXPECT_EQ(base, expected);
}

TEST(MarkDifferences, PaddingIsNeitherComparedNorChanged) {
  // Width 5: 15 pixel bytes and 1 padding byte per row, 2 rows.
  Bytes base(32, 1);
  Bytes other(32, 2);
  MarkDifferences(base.data(), base.size(), other.data(), other.size(), 5, 2);
  for (size_t row = 0; row < 2; ++row) {
    for (size_t i = 0; i < 15; ++i) EXPECT_EQ(base[row * 16 + i], i % 3 == 1 ? 0 : 255);
    EXPECT_EQ(base[row * 16 + 15], 1);
  }
}

TEST(MarkDifferences, NothingHappensForNonPositiveSizes) {
  Bytes base(64, 1);
  const Bytes other(64, 2);
  for (auto [w, h] : {std::pair{0, 4}, {4, 0}, {-3, 4}, {4, -3}, {-4, -4}, {INT32_MIN, INT32_MIN}}) {
    MarkDifferences(base.data(), base.size(), other.data(), other.size(), w, h);
    EXPECT_EQ(base, Bytes(64, 1));
  }
}

TEST(MarkDifferences, StopsAtTheEndOfTheShorterBlock) {
  // The geometry asks for 3 rows of 16 bytes; the blocks hold 40 and 36.
  Bytes base(40, 1);
  Bytes other(36, 2);
  MarkDifferences(base.data(), base.size(), other.data(), other.size(), 5, 3);
  for (size_t i = 0; i < 36; ++i) {
    if (i % 16 == 15) continue;
    EXPECT_NE(base[i], 1) << i;
  }
  for (size_t i = 36; i < 40; ++i) EXPECT_EQ(base[i], 1) << i;
}

// Every vector loop must give the reference loop's bytes for every width
// (every tail length and phase), with differences at random places and in
// the padding.
TEST(MarkDifferences, EveryKernelAgreesWithTheReferenceOnRandomRows) {
  std::mt19937 random(12345);
  for (MarkKernel kernel : {MarkKernel::Sse2, MarkKernel::Avx2}) {
    for (int32_t w = 1; w <= 70; ++w) {
      for (int32_t h : {1, 3}) {
        for (int density : {1, 10, 50, 100}) {
          const size_t size = static_cast<size_t>(Rgb24Stride(w) * h);
          Bytes base(size);
          for (auto& b : base) b = static_cast<uint8_t>(random());
          Bytes other = base;
          for (auto& b : other) {
            if (static_cast<int>(random() % 100) < density) b = static_cast<uint8_t>(random());
          }
          Bytes expected = base;
          MarkDifferencesReference(expected.data(), size, other.data(), size, w, h);
          if (!MarkDifferencesWith(kernel, base.data(), size, other.data(), size, w, h)) {
            MarkDifferences(base.data(), size, other.data(), size, w, h);  // not here: the default
          }
          ASSERT_EQ(base, expected) << "kernel " << static_cast<int>(kernel) << " w=" << w << " h=" << h
                                    << " density=" << density;
        }
      }
    }
  }
}

}  // namespace
}  // namespace diffmark
