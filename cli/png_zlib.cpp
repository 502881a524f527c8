// PNG output through zlib, on every core that pays.
//
// The rows are "up"-filtered (each byte minus the one above it: cheap, and
// on screenshots about as small as the adaptive choice) and cut into bands
// of consecutive rows.  Each band is deflated on its own by whichever
// thread takes it, as a raw deflate stream that ends on a byte boundary
// (Z_SYNC_FLUSH; the last band Z_FINISH), with its own Adler-32.  Raw
// deflate streams ending that way may follow one another: behind one zlib
// header and the combined Adler-32 (adler32_combine) they make one zlib
// stream, written as one IDAT chunk a band.  A band's first row is
// filtered against the picture row above it, which is at hand, so the
// bytes are those of one stream filtered row by row.
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <limits>
#include <system_error>
#include <thread>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <tmmintrin.h>
#endif

#include "cli/png.h"

namespace diffmark::cli {

namespace {

// Filtered bytes a band: about 0.3 ms of deflate.  Less adds thread hand-
// overs and sync-flush markers; more leaves a core idle at the end when
// one band is slower than the rest.  A picture under two bands is
// encoded on the calling thread.
constexpr uint64_t kBandBytes = uint64_t{256} << 10;
// Filtered rows handed to deflate in one call.
constexpr uint64_t kBatchBytes = uint64_t{64} << 10;
// deflate's counts are 32-bit: longer input goes in pieces.
constexpr uint64_t kMaxPiece = uint64_t{1} << 30;

// Run-length matches only (Z_RLE), with a small hash table (memory level
// 6, cleared at every band).  Up-filtered screenshots are mostly runs of
// zeros: measured on 1280 x 800 difference pictures in 256 KiB bands,
// against level 1 with its usual matches and memory level 8: 2.5 ms
// instead of 3.2 and 33 kB instead of 39 (overlay), 2.2 ms instead of 2.8
// and 23 kB instead of 29 (marked copy); on a noisy photograph-like
// picture 27 ms instead of 64 and 1.94 MB instead of 2.11.
constexpr int kLevel = 1;  // zlib header 78 01: deflate, 32 KiB window, fastest
constexpr int kMemoryLevel = 6;
constexpr int kStrategy = Z_RLE;

// Encodes running at once in this process: the folder form encodes on each
// of its workers, and they share the cores.
std::atomic<unsigned> encodesRunning{0};

// Filter type "up" for one row of 24-bit pixels kept blue, green, red:
// out = (row - above) with each pixel's bytes turned to red, green, blue.
// `above` is null for the first picture row (zero above it).
void FilterUpPlain(uint8_t* out, const uint8_t* row, const uint8_t* above, size_t bytes) {
  if (above == nullptr) {
    for (size_t i = 0; i < bytes; i += 3) {
      out[i] = row[i + 2];
      out[i + 1] = row[i + 1];
      out[i + 2] = row[i];
    }
    return;
  }
  for (size_t i = 0; i < bytes; i += 3) {
    out[i] = static_cast<uint8_t>(row[i + 2] - above[i + 2]);
    out[i + 1] = static_cast<uint8_t>(row[i + 1] - above[i + 1]);
    out[i + 2] = static_cast<uint8_t>(row[i] - above[i]);
  }
}

#if defined(__x86_64__) || defined(__i386__)
// Five pixels a step: 16 bytes subtracted, the first 15 reordered by one
// shuffle (the 16th is rewritten by the next step); the tail as above.
__attribute__((target("ssse3"))) void FilterUpSsse3(uint8_t* out, const uint8_t* row, const uint8_t* above,
                                                     size_t bytes) {
  const __m128i order = _mm_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, 14, 13, 12, 15);
  size_t i = 0;
  for (; i + 16 <= bytes; i += 15) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + i));
    if (above != nullptr) v = _mm_sub_epi8(v, _mm_loadu_si128(reinterpret_cast<const __m128i*>(above + i)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_shuffle_epi8(v, order));
  }
  FilterUpPlain(out + i, row + i, above == nullptr ? nullptr : above + i, bytes - i);
}
#endif

using FilterUp = void (*)(uint8_t*, const uint8_t*, const uint8_t*, size_t);

FilterUp ChooseFilterUp() {
#if defined(__x86_64__) || defined(__i386__)
  if (__builtin_cpu_supports("ssse3")) return FilterUpSsse3;
#endif
  return FilterUpPlain;
}

struct Band {
  int32_t first = 0;  // picture rows [first, end)
  int32_t end = 0;
  std::vector<uint8_t> deflated;  // the IDAT data: this band's part of the zlib stream
  uLong adler = 1;                // Adler-32 of the band's filtered rows
  int status = Z_OK;              // Z_OK, else zlib's failure
};

// One thread's deflate state, reused from band to band.
class Deflater {
 public:
  Deflater() { ready_ = deflateInit2(&stream_, kLevel, Z_DEFLATED, -15, kMemoryLevel, kStrategy) == Z_OK; }
  ~Deflater() {
    if (ready_) deflateEnd(&stream_);
  }
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;

  // Deflates the band's rows into band->deflated, after whatever it holds.
  void Run(const Picture& picture, FilterUp filter, uint64_t rowBytes, bool last, Band* band) {
    if (!ready_ || deflateReset(&stream_) != Z_OK) {
      band->status = Z_MEM_ERROR;
      return;
    }
    const uint64_t filtered = rowBytes + 1;
    const uint64_t batchRows = std::max<uint64_t>(1, kBatchBytes / filtered);
    const uint64_t bandBytes = filtered * static_cast<uint64_t>(band->end - band->first);
    // Screenshots and difference pictures shrink ten- to a hundredfold.
    written_ = band->deflated.size();
    band->deflated.resize(written_ + static_cast<size_t>(bandBytes / 16) + 64);
    batch_.resize(static_cast<size_t>(batchRows * filtered));
    for (int32_t y = band->first; y < band->end;) {
      const int32_t stop = static_cast<int32_t>(std::min<uint64_t>(static_cast<uint64_t>(band->end),
                                                                   static_cast<uint64_t>(y) + batchRows));
      uint8_t* at = batch_.data();
      for (; y < stop; ++y) {
        at[0] = 2;  // filter type "up"
        filter(at + 1, picture.Row(y), y == 0 ? nullptr : picture.Row(y - 1), static_cast<size_t>(rowBytes));
        at += filtered;
      }
      const size_t length = static_cast<size_t>(at - batch_.data());
      band->adler = adler32_z(band->adler, batch_.data(), length);
      const int flush = y < band->end ? Z_NO_FLUSH : last ? Z_FINISH : Z_SYNC_FLUSH;
      if (!Deflate(batch_.data(), length, flush, band)) return;
    }
  }

 private:
  // Feeds `length` bytes, growing the output as needed; with a flush,
  // until all of it is out.
  bool Deflate(uint8_t* data, size_t length, int flush, Band* band) {
    std::vector<uint8_t>& output = band->deflated;
    while (true) {
      const size_t piece = static_cast<size_t>(std::min<uint64_t>(length, kMaxPiece));
      const bool lastPiece = piece == length;
      stream_.next_in = data;
      stream_.avail_in = static_cast<uInt>(piece);
      while (true) {
        if (output.size() - written_ < 64) output.resize(output.size() * 2);
        const size_t room = static_cast<size_t>(std::min<uint64_t>(output.size() - written_, kMaxPiece));
        stream_.next_out = output.data() + written_;
        stream_.avail_out = static_cast<uInt>(room);
        const int status = deflate(&stream_, lastPiece ? flush : Z_NO_FLUSH);
        written_ += room - stream_.avail_out;
        if (status == Z_STREAM_END) break;
        if (status != Z_OK && status != Z_BUF_ERROR) {
          band->status = status;
          return false;
        }
        if (stream_.avail_out != 0 && stream_.avail_in == 0) break;
      }
      data += piece;
      length -= piece;
      if (lastPiece) break;
    }
    if (flush != Z_NO_FLUSH) output.resize(written_);
    return true;
  }

  z_stream stream_{};
  bool ready_ = false;
  std::vector<uint8_t> batch_;
  size_t written_ = 0;  // bytes of the current band's output filled
};

void PutBigEndian(std::vector<uint8_t>* out, uint32_t value) {
  const uint8_t bytes[4] = {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
                            static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
  out->insert(out->end(), bytes, bytes + 4);
}

// Writes one chunk (length, type, data, CRC-32 of type and data) a piece
// of at most 1 GiB; empty data gives one empty chunk.  The data is written
// where it lies: the deflated bands are not copied into one buffer.
bool WriteChunks(platform::FileHandle out, const char* type, const uint8_t* data, size_t length) {
  do {
    const size_t piece = static_cast<size_t>(std::min<uint64_t>(length, kMaxPiece));
    std::vector<uint8_t> head;
    PutBigEndian(&head, static_cast<uint32_t>(piece));
    const auto* name = reinterpret_cast<const uint8_t*>(type);
    head.insert(head.end(), name, name + 4);
    uLong crc = crc32_z(0, name, 4);
    if (piece != 0) crc = crc32_z(crc, data, piece);  // crc32_z answers 0 for no buffer
    std::vector<uint8_t> tail;
    PutBigEndian(&tail, static_cast<uint32_t>(crc));
    if (!platform::WriteBytes(out, head.data(), head.size()) || (piece != 0 && !platform::WriteBytes(out, data, piece)) ||
        !platform::WriteBytes(out, tail.data(), tail.size())) {
      return false;
    }
    data += piece;
    length -= piece;
  } while (length != 0);
  return true;
}

}  // namespace

bool EncodePng(const Picture& picture, platform::FileHandle out, std::string* error) {
  if (picture.width <= 0 || picture.height <= 0) {
    *error = "a PNG cannot hold a picture without pixels";
    return false;
  }
  const uint64_t rowBytes = 3 * static_cast<uint64_t>(picture.width);
  const uint64_t filteredBytes = (rowBytes + 1) * static_cast<uint64_t>(picture.height);
  if (rowBytes + 1 > std::numeric_limits<size_t>::max() / 2) {
    *error = "the picture is too wide to encode here";
    return false;
  }

  const uint64_t bandCount = std::clamp<uint64_t>(filteredBytes / kBandBytes, 1, static_cast<uint64_t>(picture.height));
  std::vector<Band> bands(static_cast<size_t>(bandCount));
  for (size_t k = 0; k < bands.size(); ++k) {
    bands[k].first = static_cast<int32_t>(static_cast<uint64_t>(picture.height) * k / bandCount);
    bands[k].end = static_cast<int32_t>(static_cast<uint64_t>(picture.height) * (k + 1) / bandCount);
  }
  bands.front().deflated = {0x78, 0x01};

  const FilterUp filter = ChooseFilterUp();
  std::atomic<size_t> next{0};
  auto work = [&] {
    Deflater deflater;
    for (size_t k = next.fetch_add(1); k < bands.size(); k = next.fetch_add(1)) {
      deflater.Run(picture, filter, rowBytes, k + 1 == bands.size(), &bands[k]);
    }
  };
  const unsigned running = encodesRunning.fetch_add(1) + 1;
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  const size_t threads = std::min<size_t>({bands.size(), std::max(1u, cores / running), 16});
  {
    std::vector<std::jthread> helpers;
    helpers.reserve(threads - 1);
    try {
      for (size_t t = 1; t < threads; ++t) helpers.emplace_back(work);
    } catch (const std::system_error&) {
      // No more threads to be had: fewer do the same work.
    }
    work();
  }
  encodesRunning.fetch_sub(1);

  uLong adler = 1;
  for (const Band& band : bands) {
    if (band.status != Z_OK) {
      *error = std::string("PNG encoding failed: ") + (band.status == Z_MEM_ERROR ? "out of memory" : "deflate failed");
      return false;
    }
    const uint64_t length = (rowBytes + 1) * static_cast<uint64_t>(band.end - band.first);
    if (length > static_cast<uint64_t>(std::numeric_limits<z_off_t>::max())) {
      *error = "the picture is too wide to encode here";
      return false;
    }
    adler = adler32_combine(adler, band.adler, static_cast<z_off_t>(length));
  }
  PutBigEndian(&bands.back().deflated, static_cast<uint32_t>(adler));

  static const uint8_t kSignature[8] = {137, 'P', 'N', 'G', 13, 10, 26, 10};
  std::vector<uint8_t> header;
  PutBigEndian(&header, static_cast<uint32_t>(picture.width));
  PutBigEndian(&header, static_cast<uint32_t>(picture.height));
  header.insert(header.end(), {8, 2, 0, 0, 0});  // 8 bits, red green blue, deflate, filters, not interlaced
  bool written = platform::WriteBytes(out, kSignature, sizeof kSignature) &&
                 WriteChunks(out, "IHDR", header.data(), header.size());
  for (size_t k = 0; written && k < bands.size(); ++k) {
    written = WriteChunks(out, "IDAT", bands[k].deflated.data(), bands[k].deflated.size());
    std::vector<uint8_t>().swap(bands[k].deflated);  // each band's memory goes once it is out
  }
  if (!written || !WriteChunks(out, "IEND", nullptr, 0)) {
    *error = "write failed (" + platform::LastFileErrorText() + ")";
    return false;
  }
  return true;
}

}  // namespace diffmark::cli
