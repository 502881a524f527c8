// make_screens COUNT WIDTH HEIGHT PERCENT DIR bmp|png: writes COUNT pairs
// of screenshot-like pictures, DIR/base/NNNN.EXT and DIR/other/NNNN.EXT, of
// which PERCENT % differ in a small part (a button's colour, a line of
// text), the rest are equal.  Each picture is a page of an application:
// a title bar, a side bar, cards with lines of "text" whose strokes are
// shaded like anti-aliased glyphs, so that PNG files compress as real
// screenshots do (these about 40 times).  PNG through libspng, where the
// benchmark build found it.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <diffmark/bitmap.h>

#if DIFFMARK_BENCH_PNG
#include <spng.h>
#endif

namespace {

struct Canvas {
  int32_t width;
  int32_t height;
  std::vector<uint8_t> rgb;  // top row first, 3 bytes a pixel (red, green, blue)

  void Fill(int32_t x0, int32_t y0, int32_t w, int32_t h, uint32_t colour) {
    for (int32_t y = std::max(0, y0); y < std::min(height, y0 + h); ++y) {
      for (int32_t x = std::max(0, x0); x < std::min(width, x0 + w); ++x) {
        uint8_t* p = &rgb[3 * (static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x))];
        p[0] = static_cast<uint8_t>(colour >> 16);
        p[1] = static_cast<uint8_t>(colour >> 8);
        p[2] = static_cast<uint8_t>(colour);
      }
    }
  }

  // A line of words: strokes of ink on the background, with a few shaded
  // edge pixels, as text looks after anti-aliasing.
  void Text(int32_t x0, int32_t y0, int32_t maxWidth, uint32_t ink, uint32_t paper, std::mt19937& random) {
    int32_t x = x0;
    while (x < x0 + maxWidth) {
      const int32_t word = 12 + static_cast<int32_t>(random() % 50);
      if (x + word > x0 + maxWidth) break;
      for (int32_t gx = x; gx < x + word; gx += 6) {
        const auto glyph = static_cast<uint32_t>(random());
        for (int32_t dy = 0; dy < 9; ++dy) {
          for (int32_t dx = 0; dx < 5; ++dx) {
            const uint32_t bit = (glyph >> ((dy * 5 + dx) % 31)) & 1u;
            if (bit == 0 || (dy % 4 == 1 && dx % 2 == 0)) continue;
            const bool edge = dx == 0 || dx == 4 || dy == 0 || dy == 8;
            Fill(gx + dx, y0 + dy, 1, 1, edge ? Mix(ink, paper) : ink);
          }
        }
      }
      x += word + 5;
    }
  }

  static uint32_t Mix(uint32_t a, uint32_t b) {
    uint32_t out = 0;
    for (int shift = 0; shift < 24; shift += 8) out |= (((a >> shift & 255u) + (b >> shift & 255u)) / 2u) << shift;
    return out;
  }
};

// Page `index` of the application; `changed` alters one small part of it.
Canvas Page(int32_t w, int32_t h, unsigned index, bool changed) {
  Canvas c{w, h, std::vector<uint8_t>(3 * static_cast<size_t>(w) * static_cast<size_t>(h))};
  std::mt19937 random(1234u + index);
  const uint32_t accent[] = {0x2f80c9, 0x3c9a5f, 0xd9822b, 0x8a63d2};
  const uint32_t brand = accent[index % 4];
  c.Fill(0, 0, w, h, 0xf4f5f7);
  c.Fill(0, 0, w, 56, 0x1d232a);
  c.Text(24, 22, 240, 0xffffff, 0x1d232a, random);
  c.Fill(0, 56, 200, h - 56, 0xe8eaee);
  for (int32_t y = 80; y < h - 20; y += 28) c.Text(20, y, 160, 0x3a4450, 0xe8eaee, random);
  const int32_t cards = 2 + static_cast<int32_t>(index % 3);
  const int32_t cardHeight = (h - 56 - 24 * (cards + 1)) / cards;
  int32_t changedCard = static_cast<int32_t>(random() % static_cast<unsigned>(cards));
  for (int32_t k = 0; k < cards; ++k) {
    const int32_t top = 56 + 24 + k * (cardHeight + 24);
    c.Fill(224, top, w - 248, cardHeight, 0xffffff);
    c.Fill(224, top, 6, cardHeight, brand);
    c.Text(248, top + 16, 400, 0x1d232a, 0xffffff, random);
    for (int32_t y = top + 44; y < top + cardHeight - 56; y += 20) c.Text(248, y, w - 300, 0x5c6670, 0xffffff, random);
    const uint32_t button = changed && k == changedCard ? 0xd1453b : brand;
    c.Fill(248, top + cardHeight - 44, 120, 30, button);
    c.Text(262, top + cardHeight - 34, 90, 0xffffff, button, random);
    if (changed && k == changedCard) {  // and a line of text reads differently
      std::mt19937 other(99u + index);
      c.Fill(248, top + 44, w - 300, 12, 0xffffff);
      c.Text(248, top + 44, w - 300, 0x5c6670, 0xffffff, other);
    }
  }
  return c;
}

bool WriteBmp(const std::string& path, const Canvas& c) {
  diffmark::BitmapInfoHeader info;
  diffmark::InitRgb24Header(&info, c.width, c.height);
  uint8_t headers[diffmark::kHeadersBytes];
  if (!diffmark::EncodeRgb24Headers(info, headers)) return false;
  const auto stride = static_cast<size_t>(diffmark::Rgb24Stride(c.width));
  std::vector<uint8_t> rows(stride * static_cast<size_t>(c.height));
  for (int32_t y = 0; y < c.height; ++y) {
    const uint8_t* in = &c.rgb[3 * static_cast<size_t>(y) * static_cast<size_t>(c.width)];
    uint8_t* out = &rows[stride * static_cast<size_t>(c.height - 1 - y)];
    for (int32_t x = 0; x < c.width; ++x) {
      out[3 * x] = in[3 * x + 2];
      out[3 * x + 1] = in[3 * x + 1];
      out[3 * x + 2] = in[3 * x];
    }
  }
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(headers, 1, sizeof headers, f) == sizeof headers &&
                  std::fwrite(rows.data(), 1, rows.size(), f) == rows.size();
  return std::fclose(f) == 0 && ok;
}

bool WritePng(const std::string& path, const Canvas& c) {
#if DIFFMARK_BENCH_PNG
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  spng_ctx* ctx = spng_ctx_new(SPNG_CTX_ENCODER);
  spng_ihdr ihdr{};
  ihdr.width = static_cast<uint32_t>(c.width);
  ihdr.height = static_cast<uint32_t>(c.height);
  ihdr.bit_depth = 8;
  ihdr.color_type = SPNG_COLOR_TYPE_TRUECOLOR;
  int status = spng_set_png_file(ctx, f);
  if (status == 0) status = spng_set_ihdr(ctx, &ihdr);
  if (status == 0) {
    status = spng_encode_image(ctx, c.rgb.data(), c.rgb.size(), SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE);
  }
  spng_ctx_free(ctx);
  return std::fclose(f) == 0 && status == 0;
#else
  (void)path;
  (void)c;
  std::fprintf(stderr, "make_screens: built without libspng, no PNG\n");
  return false;
#endif
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 7) {
    std::fprintf(stderr, "usage: make_screens COUNT WIDTH HEIGHT PERCENT DIR bmp|png\n");
    return 2;
  }
  const unsigned count = static_cast<unsigned>(std::atoi(argv[1]));
  const int32_t w = std::atoi(argv[2]);
  const int32_t h = std::atoi(argv[3]);
  const double percent = std::atof(argv[4]);
  const std::string dir = argv[5];
  const std::string ext = argv[6];
  const unsigned changed = static_cast<unsigned>(count * percent / 100.0 + 0.5);
  for (unsigned i = 0; i < count; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "/%04u.%s", i, ext.c_str());
    // Every tenth page (spread over the folder) differs.
    const bool differs = changed > 0 && i % (count / changed) == 0 && i / (count / changed) < changed;
    const Canvas base = Page(w, h, i, false);
    const Canvas other = differs ? Page(w, h, i, true) : base;
    auto write = ext == "png" ? WritePng : WriteBmp;
    if (!write(dir + "/base" + name, base) || !write(dir + "/other" + name, other)) {
      std::fprintf(stderr, "make_screens: cannot write %s\n", name);
      return 1;
    }
  }
  return 0;
}
