// perceptual_bench [RAW_DIR [PAIR]]
//
// Times the perceptual classification (yiq and oklab, with anti-aliasing
// detection, and the overlay painted as well) on decoded screenshot-like
// pairs of 1280 x 800 and 4096 x 4096 pixels, against a plain byte-equality
// scan of the same pair (memcmp per row, pixels compared in rows that
// differ) and against the channel pass (ComparePictures with the default
// options: bytes counted and marked), and prints the ratios.  Then the whole
// comparison as diffmark-cli runs it on decoded pictures (ComparePictures,
// the metric with anti-aliasing, on 1 and 2 threads), in wall time.  With RAW_DIR, also writes each pair as
// raw RGBA files (NAME-a.rgba, NAME-b.rgba) for perceptual_bench.mjs, which
// times pixelmatch on the same pixels; perceptual_bench.py runs both.  RAW_DIR
// "-" writes nothing; PAIR times that pair alone.
//
// Pairs: "same" (identical), "edit" (a block of text lines moved by one
// pixel and a box recoloured, as a page change looks), "noise" (every pixel
// of a third of the rows off by one or two steps, as a JPEG re-save looks).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "compare/compare.h"
#include "compare/perceptual.h"

using namespace diffmark;

namespace {

struct Image {
  int32_t width = 0;
  int32_t height = 0;
  std::vector<uint8_t> bytes;  // top-down rows of blue, green, red, no padding
  Picture View() { return Picture{bytes.data(), int64_t{width} * 3, width, height, false}; }
};

uint32_t Next(uint32_t* state) {
  *state ^= *state << 13;
  *state ^= *state >> 17;
  *state ^= *state << 5;
  return *state;
}

void Fill(Image* im, int32_t x0, int32_t y0, int32_t w, int32_t h, uint8_t r, uint8_t g, uint8_t b) {
  for (int32_t y = std::max(0, y0); y < std::min(im->height, y0 + h); ++y) {
    for (int32_t x = std::max(0, x0); x < std::min(im->width, x0 + w); ++x) {
      uint8_t* p = im->bytes.data() + (static_cast<size_t>(y) * static_cast<size_t>(im->width) + static_cast<size_t>(x)) * 3;
      p[0] = b;
      p[1] = g;
      p[2] = r;
    }
  }
}

// White page, lines of "glyphs" (dark cores with grey anti-aliased edges),
// a few coloured boxes.
Image Page(int32_t width, int32_t height) {
  Image im{width, height, std::vector<uint8_t>(static_cast<size_t>(width) * static_cast<size_t>(height) * 3, 255)};
  uint32_t seed = 12345;
  for (int32_t line = 16; line + 14 < height; line += 22) {
    int32_t x = 16 + static_cast<int32_t>(Next(&seed) % 20);
    const int32_t end = width - 16 - static_cast<int32_t>(Next(&seed) % static_cast<uint32_t>(width / 3 + 1));
    while (x + 10 < end) {
      const auto glyph = static_cast<int32_t>(4 + Next(&seed) % 6);
      if (Next(&seed) % 7 != 0) {
        Fill(&im, x, line, glyph, 12, 190, 190, 190);
        Fill(&im, x + 1, line + 1, glyph - 2, 10, 40, 40, 40);
        Fill(&im, x + 1, line + 1 + static_cast<int32_t>(Next(&seed) % 8), glyph - 2, 1, 120, 120, 120);
      }
      x += glyph + 1;
    }
  }
  for (int k = 0; k < 6; ++k) {
    Fill(&im, static_cast<int32_t>(Next(&seed) % static_cast<uint32_t>(width)),
         static_cast<int32_t>(Next(&seed) % static_cast<uint32_t>(height)), 160, 50, 232, 163, 60);
  }
  return im;
}

Image Edited(const Image& base) {
  Image im = base;
  const int32_t top = base.height / 3;
  const int32_t rows = std::max(1, base.height / 20);
  const size_t rowBytes = static_cast<size_t>(base.width) * 3;
  for (int32_t y = top; y < top + rows && y < base.height; ++y) {
    uint8_t* row = im.bytes.data() + static_cast<size_t>(y) * rowBytes;
    std::memmove(row + 3, base.bytes.data() + static_cast<size_t>(y) * rowBytes, rowBytes - 3);
  }
  Fill(&im, base.width / 2, base.height / 2, 200, 60, 60, 120, 220);
  return im;
}

Image Noisy(const Image& base) {
  Image im = base;
  uint32_t seed = 777;
  const size_t rowBytes = static_cast<size_t>(base.width) * 3;
  for (int32_t y = 0; y < base.height; y += 3) {
    uint8_t* row = im.bytes.data() + static_cast<size_t>(y) * rowBytes;
    for (size_t i = 0; i < rowBytes; ++i) {
      const int v = row[i] + static_cast<int>(Next(&seed) % 5) - 2;
      row[i] = static_cast<uint8_t>(std::clamp(v, 0, 255));
    }
  }
  return im;
}

// The machine is shared: time on this thread's processor clock where there
// is one (time spent waiting for a core does not count), the best of runs.
double WallMs() {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double NowMs() {
#if defined(CLOCK_THREAD_CPUTIME_ID)
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
#else
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
#endif
}

template <typename F>
double BestMs(int runs, F&& f) {
  double best = 1e30;
  for (int i = 0; i < runs; ++i) {
    const double t0 = NowMs();
    f();
    best = std::min(best, NowMs() - t0);
  }
  return best;
}

// The floor: byte equality per row, pixel by pixel only where a row differs.
uint64_t PlainScan(const Picture& a, const Picture& b) {
  uint64_t differing = 0;
  const size_t rowBytes = static_cast<size_t>(a.width) * 3;
  for (int32_t y = 0; y < a.height; ++y) {
    const uint8_t* p = a.Row(y);
    const uint8_t* q = b.Row(y);
    if (std::memcmp(p, q, rowBytes) == 0) continue;
    for (size_t i = 0; i < rowBytes; i += 3) {
      differing += (p[i] != q[i]) | (p[i + 1] != q[i + 1]) | (p[i + 2] != q[i + 2]);
    }
  }
  return differing;
}

bool WriteRgba(const std::string& path, const Image& im) {
  std::vector<uint8_t> rgba(static_cast<size_t>(im.width) * static_cast<size_t>(im.height) * 4);
  for (size_t i = 0, j = 0; i < im.bytes.size(); i += 3, j += 4) {
    rgba[j] = im.bytes[i + 2];
    rgba[j + 1] = im.bytes[i + 1];
    rgba[j + 2] = im.bytes[i];
    rgba[j + 3] = 255;
  }
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = std::fwrite(rgba.data(), 1, rgba.size(), f) == rgba.size();
  ok = std::fclose(f) == 0 && ok;
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string rawDir = argc > 1 ? argv[1] : "";
  const std::string only = argc > 2 ? argv[2] : "";  // time this pair alone
  std::printf("%-6s %-10s %-6s %10s %10s %10s %10s %10s %8s %8s %8s %10s %10s %9s %9s\n", "pair", "size", "metric", "scan_ms",
              "chan_ms", "class_ms", "aa_ms", "overlay_ms", "aa/scan", "aa/chan", "ov/scan", "differing", "antialias", "cmp1_ms",
              "cmp2_ms");
  for (const auto& size : {std::pair{1280, 800}, std::pair{4096, 4096}}) {
    const Image base = Page(size.first, size.second);
    const Image edited = Edited(base);
    const Image noisy = Noisy(base);
    const Image* others[] = {&base, &edited, &noisy};
    const char* names[] = {"same", "edit", "noise"};
    const int runs = size.first > 2000 ? 3 : 15;
    Image overlay = base;
    for (int k = 0; k < 3; ++k) {
      if (!only.empty() && only != names[k]) continue;
      const std::string label = std::to_string(size.first) + "x" + std::to_string(size.second);
      if (!rawDir.empty() && rawDir != "-") {
        const std::string stem = rawDir + "/" + names[k] + "-" + label;
        if (!WriteRgba(stem + "-a.rgba", base) || !WriteRgba(stem + "-b.rgba", *others[k])) {
          std::fprintf(stderr, "%s: cannot be written\n", stem.c_str());
          return 1;
        }
      }
      Image a = base;
      Image b = *others[k];
      const Picture pa = a.View();
      const Picture pb = b.View();
      volatile uint64_t plain = 0;
      const double scan = BestMs(runs, [&] { plain = PlainScan(pa, pb); });
      // The channel pass marks the base in place: each run gets a fresh copy.
      double channel = 1e30;
      for (int r = 0; r < runs; ++r) {
        Image marked = base;
        const double t0 = NowMs();
        const Stats s = ComparePictures(marked.View(), pb, CompareOptions{});
        channel = std::min(channel, NowMs() - t0);
        plain = plain + s.differentPixels;
      }
      for (Metric metric : {Metric::Yiq, Metric::Oklab}) {
        PerceptualCounts counts;
        const double classify = BestMs(runs, [&] {
          PerceptualCounts c;
          if (!ClassifyRows({metric, 0.1, false}, WholePicture(pa), WholePicture(pb), 0, pa.height, &c, nullptr,
                            nullptr)) {
            std::abort();
          }
        });
        const double aa = BestMs(runs, [&] {
          counts = PerceptualCounts{};
          if (!ClassifyRows({metric, 0.1, true}, WholePicture(pa), WholePicture(pb), 0, pa.height, &counts, nullptr,
                            nullptr)) {
            std::abort();
          }
        });
        const Picture po = overlay.View();
        const double painted = BestMs(runs, [&] {
          PerceptualCounts c;
          if (!OverlayRows({metric, 0.1, true}, OverlayColours{}, WholePicture(pa), WholePicture(pb), 0, pa.height,
                           WholePicture(po), &c)) {
            std::abort();
          }
        });
        double whole[2] = {1e30, 1e30};
        for (unsigned threads : {1u, 2u}) {
          CompareOptions options;
          options.metric = metric;
          options.antialiasing = true;
          options.threads = threads;
          for (int r = 0; r < runs; ++r) {
            Image marked = base;
            const double t0 = WallMs();
            const Stats s = ComparePictures(marked.View(), pb, options);
            whole[threads - 1] = std::min(whole[threads - 1], WallMs() - t0);
            if (s.differentPixels != counts.differing) std::abort();
          }
        }
        std::printf("%-6s %-10s %-6s %10.3f %10.3f %10.3f %10.3f %10.3f %8.2f %8.2f %8.2f %10llu %10llu %9.3f %9.3f\n",
                    names[k], label.c_str(), metric == Metric::Yiq ? "yiq" : "oklab", scan, channel, classify, aa,
                    painted, aa / scan, aa / channel, painted / scan, static_cast<unsigned long long>(counts.differing),
                    static_cast<unsigned long long>(counts.antialiased), whole[0], whole[1]);
      }
      (void)plain;
    }
  }
  return 0;
}
