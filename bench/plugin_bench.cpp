// plugin_bench [RUNS]: what the format plug-ins cost over their libraries.
//
// Writes a 4096 x 4096 photo-like picture as PNG (libspng, RGB, 8 bits)
// and JPEG (TurboJPEG, quality 90, 4:2:0) into a temporary folder, then
// decodes each file again and again, alternating two ways:
//   alone      read the file and decode it with the library into fresh
//              memory (RGB rows, top row first: the library's own layout),
//              with the reads and blocks the library's loader uses (so the
//              difference is the plug-in, not the allocator);
//   plug-in    LoadImageFile with png.spi / jpeg.spi from PLUGIN_DIR: read
//              the file, load the plug-in, decode to bottom-up BGR rows
//              padded to 4 bytes, the 24-bit header, free the blocks;
// and prints the medians and their ratio.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <spng.h>
#include <turbojpeg.h>

#include <diffmark/imageload.h>
#include "platform/platform.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kSide = 4096;

// Smooth gradients with a little noise: compresses like a photograph.
std::vector<unsigned char> Picture() {
  std::vector<unsigned char> rgb(size_t{kSide} * kSide * 3);
  uint32_t state = 2463534242u;
  size_t i = 0;
  for (int y = 0; y < kSide; ++y) {
    for (int x = 0; x < kSide; ++x) {
      state ^= state << 13;
      state ^= state >> 17;
      state ^= state << 5;
      const int noise = static_cast<int>(state & 7) - 3;
      const int values[3] = {x / 16 + noise, y / 16 + noise, (x + y) / 32 + noise};
      for (int v : values) rgb[i++] = static_cast<unsigned char>(std::clamp(v, 0, 255));
    }
  }
  return rgb;
}

// A block, as the loader gets one, freed with the object.
struct Block {
  explicit Block(uint64_t bytes) : handle(diffmark::platform::AllocBlock(bytes)) {
    data = static_cast<unsigned char*>(diffmark::platform::LockBlock(handle));
    if (data == nullptr) std::abort();
  }
  ~Block() { diffmark::platform::FreeBlock(handle); }
  Block(const Block&) = delete;
  Block& operator=(const Block&) = delete;
  diffmark::platform::BlockHandle handle;
  unsigned char* data;
};

// The whole file, read as LoadWithPlugin reads it.
struct File {
  explicit File(const fs::path& path) {
    using namespace diffmark::platform;
    FileHandle f = OpenForReading(path.string().c_str());
    uint64_t got = 0;
    if (f == nullptr || !FileSize(f, &size)) std::abort();
    block = std::make_unique<Block>(size + 16);
    if (!ReadBytes(f, block->data, size, &got) || got != size) std::abort();
    CloseFile(f);
  }
  uint64_t size = 0;
  std::unique_ptr<Block> block;
};

void WriteFile(const fs::path& path, const void* data, size_t size) {
  std::ofstream(path, std::ios::binary).write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
}

void WritePng(const fs::path& path, const std::vector<unsigned char>& rgb) {
  spng_ctx* ctx = spng_ctx_new(SPNG_CTX_ENCODER);
  spng_set_option(ctx, SPNG_ENCODE_TO_BUFFER, 1);
  spng_ihdr ihdr{};
  ihdr.width = kSide;
  ihdr.height = kSide;
  ihdr.bit_depth = 8;
  ihdr.color_type = SPNG_COLOR_TYPE_TRUECOLOR;
  spng_set_ihdr(ctx, &ihdr);
  int error = spng_encode_image(ctx, rgb.data(), rgb.size(), SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE);
  size_t size = 0;
  void* png = spng_get_png_buffer(ctx, &size, &error);
  if (png == nullptr) {
    std::fprintf(stderr, "PNG encoding failed: %s\n", spng_strerror(error));
    std::exit(1);
  }
  WriteFile(path, png, size);
  std::free(png);
  spng_ctx_free(ctx);
}

void WriteJpeg(const fs::path& path, std::vector<unsigned char>& rgb) {
  tjhandle tj = tjInitCompress();
  unsigned char* jpeg = nullptr;
  unsigned long size = 0;
  if (tjCompress2(tj, rgb.data(), kSide, 0, kSide, TJPF_RGB, &jpeg, &size, TJSAMP_420, 90, 0) != 0) {
    std::fprintf(stderr, "JPEG encoding failed: %s\n", tjGetErrorStr2(tj));
    std::exit(1);
  }
  WriteFile(path, jpeg, size);
  tjFree(jpeg);
  tjDestroy(tj);
}

// The library alone: read, decode into fresh memory, free.
void PngAlone(const fs::path& path) {
  const File file(path);
  spng_ctx* ctx = spng_ctx_new(0);
  spng_set_png_buffer(ctx, file.block->data, file.size);
  size_t size = 0;
  spng_decoded_image_size(ctx, SPNG_FMT_RGB8, &size);
  Block out(size);
  if (spng_decode_image(ctx, out.data, size, SPNG_FMT_RGB8, 0) != 0) std::abort();
  spng_ctx_free(ctx);
}

void JpegAlone(const fs::path& path) {
  const File file(path);
  tjhandle tj = tjInitDecompress();
  int width = 0, height = 0, subsampling = 0, colourSpace = 0;
  tjDecompressHeader3(tj, file.block->data, file.size, &width, &height, &subsampling, &colourSpace);
  Block out(uint64_t{3} * static_cast<uint64_t>(width) * static_cast<uint64_t>(height));
  if (tjDecompress2(tj, file.block->data, file.size, out.data, width, 0, height, TJPF_RGB, 0) != 0) std::abort();
  tjDestroy(tj);
}

// Through the library and the plug-in.
void ThroughPlugin(const fs::path& path) {
  diffmark::BlockHandle block = nullptr;
  diffmark::BitmapInfo info{};
  if (diffmark::LoadImageFile(path.string().c_str(), &block, &info) == nullptr) {
    std::fprintf(stderr, "%s: %s\n", path.string().c_str(), diffmark::LastLoadError());
    std::exit(1);
  }
  diffmark::ReleaseBlock(block);
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

template <typename F>
double Seconds(F&& f) {
  const auto start = Clock::now();
  f();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void Compare(const char* what, const fs::path& file, void (*alone)(const fs::path&), int runs) {
  std::vector<double> a, p;
  alone(file);  // warm the page cache and the libraries
  ThroughPlugin(file);
  for (int i = 0; i < runs; ++i) {
    a.push_back(Seconds([&] { alone(file); }));
    p.push_back(Seconds([&] { ThroughPlugin(file); }));
  }
  const double ma = Median(a), mp = Median(p);
  const double pixels = double{kSide} * kSide;
  std::printf("%-34s %7.1f MB  %8.1f ms  %6.1f MP/s  %8.1f ms  %6.1f MP/s  %5.2f\n", what,
              static_cast<double>(fs::file_size(file)) / 1e6, ma * 1e3, pixels / ma / 1e6, mp * 1e3,
              pixels / mp / 1e6, mp / ma);
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 9;
  if (!diffmark::SetPluginDirectory(DIFFMARK_BENCH_PLUGIN_DIR)) return 2;
  diffmark::ScanPlugins();
  const fs::path dir = fs::temp_directory_path() / ("diffmark-plugin-bench-" + std::to_string(std::rand()));
  fs::create_directories(dir);
  std::vector<unsigned char> rgb = Picture();
  WritePng(dir / "photo.png", rgb);
  WriteJpeg(dir / "photo.jpg", rgb);
  rgb.clear();
  rgb.shrink_to_fit();

  std::printf("4096 x 4096, medians of %d runs, alternating      file     alone              plug-in (LoadImageFile)  ratio\n",
              runs);
  Compare("PNG, RGB 8 bits: libspng", dir / "photo.png", PngAlone, runs);
  Compare("JPEG, q90 4:2:0: TurboJPEG", dir / "photo.jpg", JpegAlone, runs);
  fs::remove_all(dir);
  diffmark::ReleasePlugins();
  return 0;
}
