// oklab_slack MAX_M: for m = 1 .. MAX_M, the largest OKLab HyAB distance
// (|dL| + sqrt(da^2 + db^2), as the perceptual comparison computes it)
// between any two 24-bit colours whose channels differ by at most m.
// Brute force over all 2^24 colours; the results are the kOklabSlackBound
// table of compare/perceptual.cpp (a pixel whose channels differ by at most
// m is within every threshold above that bound).
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "compare/perceptual.cpp"  // the colour functions themselves, internals included

int main(int argc, char** argv) {
  const int maxM = argc > 1 ? std::atoi(argv[1]) : 3;
  struct Point {
    double l, m, s, light;
  };
  std::vector<Point> all(size_t{1} << 24);
  for (uint32_t c = 0; c < (1u << 24); ++c) {
    const auto r = static_cast<uint8_t>(c >> 16);
    const auto g = static_cast<uint8_t>(c >> 8);
    const auto b = static_cast<uint8_t>(c);
    const diffmark::Cones k = diffmark::ToCones(r, g, b);
    all[c] = Point{k.l, k.m, k.s, diffmark::Lightness(k)};
  }
  for (int m = 1; m <= maxM; ++m) {
    double worst = 0;
    for (uint32_t c = 0; c < (1u << 24); ++c) {
      const int r = static_cast<int>(c >> 16), g = static_cast<int>((c >> 8) & 255), b = static_cast<int>(c & 255);
      const Point& p = all[c];
      for (int dr = 0; dr <= m; ++dr) {  // the other colour: red not below (the distance is symmetric)
        if (r + dr > 255) break;
        for (int dg = -m; dg <= m; ++dg) {
          if (g + dg < 0 || g + dg > 255) continue;
          for (int db = -m; db <= m; ++db) {
            if (b + db < 0 || b + db > 255) continue;
            const Point& q = all[static_cast<size_t>((r + dr) << 16 | (g + dg) << 8 | (b + db))];
            const double dl = p.l - q.l, dm = p.m - q.m, ds = p.s - q.s;
            const double da = 1.9779984951 * dl - 2.4285922050 * dm + 0.4505937099 * ds;
            const double dbb = 0.0259040371 * dl + 0.7827717662 * dm - 0.8086757660 * ds;
            const double d = std::fabs(p.light - q.light) + std::sqrt(da * da + dbb * dbb);
            if (d > worst) worst = d;
          }
        }
      }
    }
    std::printf("%d %.17g\n", m, worst);
    std::fflush(stdout);
  }
}
