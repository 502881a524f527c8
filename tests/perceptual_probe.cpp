// perceptual_probe PLUGIN_DIR BASE OTHER [--metric yiq|oklab] [--threshold T]
//                  [--aa] [--alpha A] [--darker-blue] [--band ROWS] [--overlay OUT.ppm]
//
// Loads two images of one size through the library (plug-ins for PNG and
// the rest), classifies them with the perceptual comparison and prints the
// counts as one JSON object; --overlay writes the overlay picture as a
// binary PPM.  --band classifies in bands of that many rows, each band
// view holding only its rows and the context rows around them, as a
// streaming caller would.  For the oracle test against pixelmatch.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <diffmark/imageload.h>

#include "compare/perceptual.h"

using namespace diffmark;

namespace {

struct Loaded {
  BlockHandle block = nullptr;
  BlockHandle expanded = nullptr;
  Picture picture;
  Loaded() = default;
  Loaded(const Loaded&) = delete;
  Loaded& operator=(const Loaded&) = delete;
  ~Loaded() {
    ReleaseBlock(expanded);
    ReleaseBlock(block);
  }
};

bool Load(const char* path, Loaded* image) {
  BitmapInfo info{};
  const uint8_t* rows = LoadImageFile(path, &image->block, &info);
  if (rows == nullptr) {
    std::fprintf(stderr, "%s: %s\n", path, LastLoadError());
    return false;
  }
  const BitmapInfoHeader& h = info.bmiHeader;
  const bool topDown = h.biHeight < 0;
  if (h.biWidth < 0 || h.biHeight == INT32_MIN) {
    std::fprintf(stderr, "%s: unusable size\n", path);
    return false;
  }
  Picture& p = image->picture;
  p.width = h.biWidth;
  p.height = topDown ? -h.biHeight : h.biHeight;
  p.bottomUp = !topDown;
  p.stride = Rgb24Stride64(p.width);
  if ((h.biBitCount == 8 || h.biBitCount == 4) && !topDown) {
    rows = ExpandToRgb24(rows, BlockBytes(image->block), &h, &image->expanded);
    if (rows == nullptr) {
      std::fprintf(stderr, "%s: %s\n", path, LastLoadError());
      return false;
    }
  } else if (h.biBitCount != 24) {
    std::fprintf(stderr, "%s: %u bits per pixel are not compared\n", path, unsigned{h.biBitCount});
    return false;
  } else if (static_cast<uint64_t>(p.stride) * static_cast<uint64_t>(p.height) > BlockBytes(image->block)) {
    std::fprintf(stderr, "%s: pixel rows missing\n", path);
    return false;
  }
  p.rows = const_cast<uint8_t*>(rows);
  return true;
}

// The view of picture rows [first, first + count) alone.
Band BandOf(const Picture& whole, int32_t first, int32_t count) {
  Band band;
  band.rows = whole;
  band.rows.height = count;
  band.rows.rows = whole.Row(whole.bottomUp ? first + count - 1 : first);
  band.first = first;
  band.imageHeight = whole.height;
  return band;
}

bool WritePpm(const char* path, const std::vector<uint8_t>& bgr, int32_t width, int32_t height) {
  std::FILE* f = std::fopen(path, "wb");
  if (f == nullptr) return false;
  std::fprintf(f, "P6\n%d %d\n255\n", width, height);
  std::vector<uint8_t> rgb(bgr.size());
  for (size_t i = 0; i + 2 < bgr.size(); i += 3) {
    rgb[i] = bgr[i + 2];
    rgb[i + 1] = bgr[i + 1];
    rgb[i + 2] = bgr[i];
  }
  bool ok = std::fwrite(rgb.data(), 1, rgb.size(), f) == rgb.size();
  ok = std::fclose(f) == 0 && ok;
  return ok;
}

int Run(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr,
                 "usage: %s PLUGIN_DIR BASE OTHER [--metric yiq|oklab] [--threshold T] [--aa] [--alpha A]"
                 " [--darker-blue] [--band ROWS] [--overlay OUT.ppm]\n",
                 argv[0]);
    return 2;
  }
  PerceptualSettings settings;
  OverlayColours colours;
  int32_t bandRows = 0;
  const char* overlayPath = nullptr;
  for (int i = 4; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--metric" && hasValue) {
      const std::string m = argv[++i];
      settings.metric = m == "oklab" ? Metric::Oklab : Metric::Yiq;
    } else if (arg == "--threshold" && hasValue) {
      settings.threshold = std::strtod(argv[++i], nullptr);
    } else if (arg == "--aa") {
      settings.antialiasing = true;
    } else if (arg == "--alpha" && hasValue) {
      colours.alpha = std::strtod(argv[++i], nullptr);
    } else if (arg == "--darker-blue") {
      colours.darker[0] = 0;
      colours.darker[2] = 255;
    } else if (arg == "--band" && hasValue) {
      bandRows = static_cast<int32_t>(std::strtol(argv[++i], nullptr, 10));
    } else if (arg == "--overlay" && hasValue) {
      overlayPath = argv[++i];
    } else {
      std::fprintf(stderr, "unknown argument %s\n", arg.c_str());
      return 2;
    }
  }
  if (!SetPluginDirectory(argv[1])) return 2;
  ScanPlugins();
  Loaded base;
  Loaded other;
  if (!Load(argv[2], &base) || !Load(argv[3], &other)) return 1;
  const Picture& a = base.picture;
  const Picture& b = other.picture;
  if (a.width != b.width || a.height != b.height) {
    std::fprintf(stderr, "sizes differ\n");
    return 1;
  }
  const int32_t step = bandRows > 0 ? bandRows : (a.height > 0 ? a.height : 1);
  std::vector<uint8_t> overlay(static_cast<size_t>(a.width) * 3 * static_cast<size_t>(a.height));
  Picture out{overlay.data(), int64_t{a.width} * 3, a.width, a.height, false};
  PerceptualCounts counts;
  for (int32_t from = 0; from < a.height; from += step) {
    const int32_t to = from + step < a.height ? from + step : a.height;
    const int32_t first = from - kAntialiasContextRows < 0 ? 0 : from - kAntialiasContextRows;
    const int32_t last = to + kAntialiasContextRows > a.height ? a.height : to + kAntialiasContextRows;
    const Band ba = BandOf(a, first, last - first);
    const Band bb = BandOf(b, first, last - first);
    const Band bo = BandOf(out, from, to - from);
    if (!OverlayRows(settings, colours, ba, bb, from, to, bo, &counts)) {
      std::fprintf(stderr, "classification refused rows %d to %d\n", from, to);
      return 1;
    }
  }
  std::printf("{\"width\": %d, \"height\": %d, \"differing\": %llu, \"antialiased\": %llu, \"box\": [%d, %d, %d, %d]}\n",
              a.width, a.height, static_cast<unsigned long long>(counts.differing),
              static_cast<unsigned long long>(counts.antialiased), counts.left, counts.top, counts.right,
              counts.bottom);
  if (overlayPath != nullptr && !WritePpm(overlayPath, overlay, a.width, a.height)) {
    std::fprintf(stderr, "%s: cannot be written\n", overlayPath);
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const int status = Run(argc, argv);
  ReleasePlugins();
  return status;
}
