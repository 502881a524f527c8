// make_pair WIDTH HEIGHT PERCENT DIR [top-down]: writes DIR/Image0.bmp and
// DIR/Image1.bmp, 24-bit, random pixels, with PERCENT % of the second's
// pixels changed in one channel.  With "top-down" the second file holds
// the same picture top row first (negative height).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <diffmark/bitmap.h>

namespace {

bool Write(const std::string& path, int32_t w, int32_t h, const std::vector<uint8_t>& rows) {
  diffmark::BitmapInfoHeader info;
  diffmark::InitRgb24Header(&info, w, h);
  uint8_t headers[diffmark::kHeadersBytes];
  if (!diffmark::EncodeRgb24Headers(info, headers)) return false;
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = std::fwrite(headers, 1, sizeof headers, f) == sizeof headers &&
            std::fwrite(rows.data(), 1, rows.size(), f) == rows.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  const bool topDown = argc == 6 && std::string(argv[5]) == "top-down";
  if (argc != 5 && !topDown) {
    std::fprintf(stderr, "usage: make_pair WIDTH HEIGHT PERCENT DIR [top-down]\n");
    return 2;
  }
  const int32_t w = std::atoi(argv[1]);
  const int32_t h = std::atoi(argv[2]);
  const double percent = std::atof(argv[3]);
  const std::string dir = argv[4];
  const uint64_t bytes = diffmark::Rgb24ImageBytes(w, h);
  std::vector<uint8_t> rows(bytes);
  std::mt19937_64 random(42);
  for (auto& b : rows) b = static_cast<uint8_t>(random() >> 56);
  if (!Write(dir + "/Image0.bmp", w, h, rows)) return 1;
  const auto stride = static_cast<uint64_t>(diffmark::Rgb24Stride(w));
  std::bernoulli_distribution changed(percent / 100.0);
  for (int64_t y = 0; y < h; ++y) {
    for (int64_t x = 0; x < w; ++x) {
      if (changed(random)) rows[static_cast<uint64_t>(y) * stride + static_cast<uint64_t>(3 * x) + random() % 3] ^= 0x5A;
    }
  }
  if (topDown) {
    std::vector<uint8_t> flipped(rows.size());
    for (uint64_t y = 0; y < static_cast<uint64_t>(h); ++y) {
      std::copy_n(rows.begin() + static_cast<int64_t>(y * stride), stride,
                  flipped.begin() + static_cast<int64_t>((static_cast<uint64_t>(h) - 1 - y) * stride));
    }
    return Write(dir + "/Image1.bmp", w, -h, flipped) ? 0 : 1;
  }
  return Write(dir + "/Image1.bmp", w, h, rows) ? 0 : 1;
}
