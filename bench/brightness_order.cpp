// brightness_order: checks what the anti-aliasing rule of
// compare/perceptual.cpp relies on when it compares brightness as exact
// integers: for every triple of channel differences (dr, dg, db) in
// [-255, 255]^3, pixelmatch's brightness difference (YIQ's Y of the
// differences, in doubles) orders the triples exactly as the integer
// dr * 29889531 + dg * 58662247 + db * 11448223 does, no two triples share
// a value, and only (0, 0, 0) gives 0.  Needs about 2 GiB and half a minute;
// prints the smallest gap between neighbours in that order.
#include <algorithm>
#include <cstdio>
#include <vector>

#include "compare/perceptual.cpp"  // YiqY and the integer weights themselves

int main() {
  struct Entry {
    int64_t exact;
    double y;
  };
  std::vector<Entry> all;
  all.reserve(size_t{511} * 511 * 511);
  for (int r = -255; r <= 255; ++r) {
    for (int g = -255; g <= 255; ++g) {
      for (int b = -255; b <= 255; ++b) {
        const auto exact = static_cast<int64_t>(r * diffmark::kBrightRed + g * diffmark::kBrightGreen +
                                                b * diffmark::kBrightBlue);
        all.push_back({exact, diffmark::YiqY(r, g, b)});
      }
    }
  }
  std::sort(all.begin(), all.end(), [](const Entry& p, const Entry& q) { return p.exact < q.exact; });
  uint64_t wrong = 0;
  double gap = 1e300;
  for (size_t k = 0; k < all.size(); ++k) {
    if ((all[k].y == 0) != (all[k].exact == 0)) ++wrong;
    if (k == 0) continue;
    if (!(all[k].exact > all[k - 1].exact) || !(all[k].y > all[k - 1].y)) ++wrong;
    gap = std::min(gap, all[k].y - all[k - 1].y);
  }
  std::printf("%zu triples, %llu out of order or tied, smallest gap %g\n", all.size(),
              static_cast<unsigned long long>(wrong), gap);
  return wrong == 0 ? 0 : 1;
}
