// The largest group of touching differing pixels, found a row at a time
// and joined across bands handed in any order, is the one a flood fill of
// the whole mask finds.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <random>
#include <tuple>
#include <vector>

#include "compare/clusters.h"

namespace diffmark {
namespace {

auto Fields(const Cluster& c) { return std::make_tuple(c.pixels, c.minX, c.minY, c.maxX, c.maxY); }

// Breadth-first flood fill over the eight neighbours of every pixel.
Cluster FloodLargest(const std::vector<uint8_t>& mask, int w, int h) {
  std::vector<uint8_t> seen(mask.size(), 0);
  Cluster best;
  for (int y0 = 0; y0 < h; ++y0) {
    for (int x0 = 0; x0 < w; ++x0) {
      if (!mask[static_cast<size_t>(y0 * w + x0)] || seen[static_cast<size_t>(y0 * w + x0)]) continue;
      Cluster c{0, x0, y0, x0, y0};
      std::deque<std::pair<int, int>> queue{{x0, y0}};
      seen[static_cast<size_t>(y0 * w + x0)] = 1;
      while (!queue.empty()) {
        const auto [x, y] = queue.front();
        queue.pop_front();
        ++c.pixels;
        c.minX = std::min(c.minX, x);
        c.maxX = std::max(c.maxX, x);
        c.minY = std::min(c.minY, y);
        c.maxY = std::max(c.maxY, y);
        for (int dy = -1; dy <= 1; ++dy) {
          for (int dx = -1; dx <= 1; ++dx) {
            const int nx = x + dx, ny = y + dy;
            if (nx < 0 || ny < 0 || nx >= w || ny >= h) continue;
            const auto i = static_cast<size_t>(ny * w + nx);
            if (!mask[i] || seen[i]) continue;
            seen[i] = 1;
            queue.emplace_back(nx, ny);
          }
        }
      }
      if (LargerCluster(c, best)) best = c;
    }
  }
  return best;
}

std::vector<int32_t> RowXs(const std::vector<uint8_t>& mask, int w, int y) {
  std::vector<int32_t> xs;
  for (int x = 0; x < w; ++x) {
    if (mask[static_cast<size_t>(y * w + x)]) xs.push_back(x);
  }
  return xs;
}

TEST(Clusters, RowByRowAndInBandsAsAFloodFillFindsThem) {
  std::mt19937 rng(7);
  struct Case {
    int w, h;
    double density;
  };
  // Sparse to dense: single pixels, diagonal chains (corners touch), one
  // group over everything; 600 x 400 at 0.1 makes tens of thousands of
  // groups, so finished ones are dropped on the way.
  for (const Case c : {Case{1, 1, 1.0}, Case{7, 5, 0.5}, Case{64, 48, 0.1}, Case{64, 48, 0.45}, Case{64, 48, 0.6},
                       Case{200, 150, 0.02}, Case{33, 300, 0.5}, Case{600, 400, 0.1}}) {
    for (int rep = 0; rep < 4; ++rep) {
      SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " at " << c.density << ", " << rep);
      std::vector<uint8_t> mask(static_cast<size_t>(c.w * c.h));
      std::bernoulli_distribution on(c.density);
      for (uint8_t& m : mask) m = on(rng) ? 1 : 0;
      if (rep % 2 == 1) {  // a diagonal line: one group through its corners alone
        for (int k = 0; k < std::min(c.w, c.h); ++k) mask[static_cast<size_t>(k * c.w + k)] = 1;
      }
      const Cluster expected = FloodLargest(mask, c.w, c.h);

      ClusterScan whole;
      for (int y = 0; y < c.h; ++y) {
        const std::vector<int32_t> xs = RowXs(mask, c.w, y);
        whole.AddRow(y, xs.data(), xs.size());
      }
      EXPECT_EQ(Fields(whole.Largest()), Fields(expected));

      // Bands of random heights, scanned apart and handed in shuffled.
      std::vector<ClusterScan> bands;
      for (int y = 0; y < c.h;) {
        const int rows = std::uniform_int_distribution<int>(1, 9)(rng);
        ClusterScan band;
        for (int end = std::min(c.h, y + rows); y < end; ++y) {
          const std::vector<int32_t> xs = RowXs(mask, c.w, y);
          band.AddRow(y, xs.data(), xs.size());
        }
        bands.push_back(std::move(band));
      }
      std::shuffle(bands.begin(), bands.end(), rng);
      ClusterBands joined;
      for (ClusterScan& band : bands) joined.Add(std::move(band));
      EXPECT_EQ(Fields(joined.Largest()), Fields(expected));
    }
  }
  ClusterScan none;
  for (int y = 0; y < 3; ++y) none.AddRow(y, nullptr, 0);
  EXPECT_EQ(none.Largest().pixels, 0u);
}

}  // namespace
}  // namespace diffmark
