// MarkDifferences: the marking rules on small cases, and agreement of the
// fast form with the plain reference loop on random rows.
#include <gtest/gtest.h>

#include <random>

#include <diffmark/bitmap.h>

#include "compare/kernels.h"
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

// Every set of loops must give the plain loops' bytes for every width
// (every tail length and phase), with differences at random places and in
// the padding: the marking, and the 64-byte test at every threshold.
TEST(Kernels, EverySetAgreesWithThePlainLoopsOnRandomRows) {
  const Kernels& plain = *KernelsOf(KernelSet::Scalar);
  std::mt19937 random(12345);
  int tried = 0;
  for (KernelSet set : {KernelSet::Sse2, KernelSet::Avx2}) {
    const Kernels* kernels = KernelsOf(set);
    if (kernels == nullptr) continue;  // not in this build or on this processor
    ++tried;
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
          MarkDifferences(expected.data(), size, other.data(), size, w, h, plain);
          MarkDifferences(base.data(), size, other.data(), size, w, h, *kernels);
          ASSERT_EQ(base, expected) << kernels->name << " w=" << w << " h=" << h << " density=" << density;
        }
      }
    }
    for (int round = 0; round < 2000; ++round) {
      uint8_t a[64];
      uint8_t b[64];
      for (int i = 0; i < 64; ++i) {
        a[i] = static_cast<uint8_t>(random());
        // Near and far values, and equal ones.
        const int step = static_cast<int>(random() % 5);
        b[i] = step == 0 ? a[i] : step == 1 ? static_cast<uint8_t>(random()) : static_cast<uint8_t>(a[i] + step - 3);
      }
      const int threshold = static_cast<int>(random() % 256);
      for (int t : {0, 1, threshold, 255}) {
        ASSERT_EQ(kernels->differ64(a, b, t), plain.differ64(a, b, t)) << kernels->name << " threshold " << t;
      }
    }
  }
#if defined(__x86_64__) || defined(__i386__)
  EXPECT_GE(tried, 1) << "no vector loops in an x86 build";
#endif
  EXPECT_NE(BestKernels().markRow, nullptr);
}

}  // namespace
}  // namespace diffmark
