// Which pairs stream, decided here and nowhere else:
//   - both inputs are regular files that open, hold the 54 header bytes,
//     and whose headers the reader accepts (ExamineBitmapHeaders, the
//     reader's own decisions, so a streamed input can never be one the
//     reader would refuse);
//   - Decoded: both named .bmp and read exactly by the reader (24-bit,
//     uncompressed, a known header size: ReaderTakesExactly); RawRows:
//     both 24-bit;
//   - equal biWidth and biHeight (one geometry and one orientation), with
//     at least one pixel and one row.
// The output is written while streaming when there is none, or it is a
// BMP whose path is missing or a regular file that is neither input (a
// link to an input would be truncated before it is read).  Otherwise a
// streamable pair is compared streamed without output first where only a
// differing pair needs its copy (most pairs of a folder are equal), and
// loaded whole when it differs or its output cannot be streamed.
#include "compare/pair.h"

#include <algorithm>
#include <memory>
#include <new>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <thread>
#include <vector>

#include <diffmark/imageload.h>

#include "compare/kernels.h"
#include "compare/load.h"
#include "compare/rows.h"
#include "compare/stream.h"

namespace diffmark {

namespace {

bool Streamable(const PairRequest& request, StreamInput& base, StreamInput& other) {
  const bool decoded = request.reading == PairReading::Decoded;
  if (!request.stream) return false;
  if (decoded && (!HasBmpExtension(request.base) || !HasBmpExtension(request.other))) return false;
  if (!OpenStreamInput(request.base.c_str(), &base) || !OpenStreamInput(request.other.c_str(), &other)) {
    return false;
  }
  const BitmapInfoHeader& b = base.bmp.header;
  const BitmapInfoHeader& o = other.bmp.header;
  const bool rowsFit = decoded ? ReaderTakesExactly(base.bmp) && ReaderTakesExactly(other.bmp)
                               : b.biBitCount == 24 && o.biBitCount == 24;
  return rowsFit && b.biWidth == o.biWidth && b.biHeight == o.biHeight && other.bmp.rowBytes > 0;
}

bool OutputStreams(const PairOutput& output, const StreamInput& base, const StreamInput& other) {
  if (output.path.empty()) return true;
  const char* path = output.path.c_str();
  const platform::PathKind kind = platform::KindOfPath(path);
  return output.format == OutputFormat::Bmp &&
         (kind == platform::PathKind::Missing || kind == platform::PathKind::RegularFile) &&
         !platform::SameFile(base.file, path) && !platform::SameFile(other.file, path);
}

// Streams the rows of a streamable pair into `out` (or nowhere): the
// counts by the options, or for RawRows the marking alone.  False when the
// row buffers cannot be had or a write fails.
bool StreamRowsOfPair(const PairRequest& request, const CompareOptions& options, const StreamInput& base,
                      const StreamInput& other, platform::FileHandle out, PairResult* result) {
  RowStream stream = StreamOfPair(base, other, out);
  if (request.threads > 0) stream.threads = request.threads;
  const int32_t width = other.bmp.header.biWidth;
  const int32_t height = other.bmp.order.rows;
  const bool bottomUp = !other.bmp.order.topDown;
  bool ok = false;
  if (request.reading == PairReading::RawRows) {
    ok = StreamRows(stream, [width](unsigned, const Chunk& chunk) {
      const uint64_t n = chunk.count * static_cast<uint64_t>(Rgb24Stride64(width));
      MarkDifferences(chunk.base, n, chunk.other, n, width, static_cast<int32_t>(chunk.count));
    });
  } else {
    const bool alone = ComparesPixelsAlone(options);
    if (!alone) stream.contextRows = kAntialiasContextRows;
    std::vector<Stats> perWorker(std::max(stream.threads, 1u));
    ClusterBands clusters;  // chunks finish in any order
    ok = StreamRows(stream, [&](unsigned worker, const Chunk& chunk) {
      // File rows [first, first + count) are picture rows counted from the top.
      const auto rows = static_cast<int32_t>(chunk.count);
      const auto top =
          static_cast<int32_t>(bottomUp ? static_cast<uint64_t>(height) - chunk.first - chunk.count : chunk.first);
      const auto stride = static_cast<int64_t>(stream.stride);
      if (alone) {
        const Picture basePart{chunk.base, stride, width, rows, bottomUp};
        const Picture otherPart{const_cast<uint8_t*>(chunk.other), stride, width, rows, bottomUp};
        ClusterScan scan;
        AddStats(perWorker[worker], ComparePictures(basePart, otherPart, options, top, &scan));
        clusters.Add(std::move(scan));
        return;
      }
      // The chunk with its context rows as a band of the picture.
      const auto held = static_cast<int32_t>(chunk.before + chunk.count + chunk.after);
      const auto lead = static_cast<int64_t>(chunk.before) * stride;
      const int32_t bandTop = top - static_cast<int32_t>(bottomUp ? chunk.after : chunk.before);
      const Band basePart{Picture{chunk.base - lead, stride, width, held, bottomUp}, bandTop, height};
      const Band otherPart{Picture{const_cast<uint8_t*>(chunk.other) - lead, stride, width, held, bottomUp},
                           bandTop, height};
      ClusterScan scan;
      AddStats(perWorker[worker], CompareBands(basePart, otherPart, top, top + rows, options, &scan));
      clusters.Add(std::move(scan));
    });
    result->stats = Stats{};
    for (const Stats& s : perWorker) AddStats(result->stats, s);
    result->stats.largest = clusters.Largest();
  }
  result->baseLoaded = result->otherLoaded = result->compared = result->streamed = true;
  result->baseWidth = result->otherWidth = width;
  result->baseHeight = result->otherHeight = height;
  return ok;
}

// Streams with the output written as it goes; the outcome is final.
void StreamWithOutput(const PairRequest& request, const CompareOptions& options, const StreamInput& base,
                      const StreamInput& other, PairResult* result) {
  const PairOutput& output = request.output;
  // The result carries the second file's header, as the difference run
  // writes it.
  uint8_t headers[kHeadersBytes];
  if (!EncodeRgb24Headers(other.bmp.header, headers)) {
    result->outputError = "image size not representable in a BMP file";
    return;
  }
  if (output.inPlace) {
    platform::FileHandle out = platform::CreateAlways(output.path.c_str());
    if (out == nullptr) {
      result->outputError = "cannot be created (" + platform::LastFileErrorText() + ")";
      return;
    }
    bool ok = platform::WriteAt(out, 0, headers, sizeof headers) &&
              StreamRowsOfPair(request, options, base, other, out, result);
    ok = platform::CloseWritten(out) && ok;
    if (!ok) result->outputError = "write failed (" + platform::LastFileErrorText() + ")";
  } else {
    platform::ReplacementFile out;
    if (!out.Begin(output.path, &result->outputError)) return;
    if (!platform::WriteAt(out.file(), 0, headers, sizeof headers) ||
        !StreamRowsOfPair(request, options, base, other, out.file(), result)) {
      result->outputError = "write failed (" + platform::LastFileErrorText() + ")";
      return;  // the partial file goes with `out`
    }
    if (!out.Commit(&result->outputError)) return;
  }
  if (result->outputError.empty()) result->output = output.path;
}

// ------------------------------------------------------------ whole pictures

// Reverses the order of the memory rows, so the picture reads the other
// way up.
void FlipRows(const Picture& p) {
  std::vector<uint8_t> line(static_cast<size_t>(p.stride));
  for (int32_t a = 0, b = p.height - 1; a < b; ++a, --b) {
    uint8_t* ra = p.rows + p.stride * a;
    uint8_t* rb = p.rows + p.stride * b;
    std::copy(ra, ra + p.stride, line.data());
    std::copy(rb, rb + p.stride, ra);
    std::copy(line.begin(), line.end(), rb);
  }
}

// Writes the marked base of a decoded pair.  Two 24-bit BMPs the reader
// read, of one size, give what the difference run gives: the other file's
// info header (as a 40-byte header) over the marked rows; anything else a
// fresh 24-bit header.
void WriteMarkedCopy(const PairOutput& output, const LoadedImage& base, const LoadedImage& other,
                     PairResult* result) {
  const Picture& p = base.picture;
  BitmapInfoHeader header = other.header;
  header.biSize = kInfoHeaderBytes;
  const bool keepHeader = base.builtInBmp && other.builtInBmp && p.width == other.picture.width &&
                          p.height == other.picture.height;
  if (WritePicture(output.path, output, p, keepHeader ? &header : nullptr, &result->outputError)) {
    result->output = output.path;
  }
}

void CompareDecoded(const PairRequest& request, const CompareOptions& options, PairResult* result) {
  LoadedImage base;
  LoadedImage other;
  // Not at the same time when both name one file: the library opens files
  // without sharing, and on Windows the second open would fail while the
  // first is reading.
  std::error_code unknown;
  if (request.loadAtOnce && !std::filesystem::equivalent(request.base, request.other, unknown)) {
    std::thread second([&] { result->otherLoaded = LoadPicture(request.other, &other, &result->otherError); });
    result->baseLoaded = LoadPicture(request.base, &base, &result->baseError);
    second.join();
  } else {
    result->baseLoaded = LoadPicture(request.base, &base, &result->baseError);
    result->otherLoaded = LoadPicture(request.other, &other, &result->otherError);
  }
  result->baseWidth = base.picture.width;
  result->baseHeight = base.picture.height;
  result->otherWidth = other.picture.width;
  result->otherHeight = other.picture.height;
  if (!result->baseLoaded || !result->otherLoaded) return;

  const PairObserver* observer = request.observer;
  if (observer != nullptr && observer->loaded) observer->loaded(base.picture, other.picture);
  // One pair on several threads where the request leaves them to it (a
  // folder's pairs are compared one a thread).
  CompareOptions threaded = options;
  threaded.threads = request.threads > 0 ? request.threads : std::min(platform::ProcessorCount(), 8u);
  result->stats = ComparePictures(base.picture, other.picture, threaded);
  result->compared = true;
  if (observer != nullptr && observer->compared) observer->compared(base.picture, other.picture, result->stats);
  const PairOutput& output = request.output;
  if (!output.path.empty() && (!output.onlyWhenDifferent || result->stats.differentPixels > 0)) {
    WriteMarkedCopy(output, base, other, result);
  }
}

// The difference run's whole-image path: the first file's rows marked
// where they differ from the second's, written under the second's header.
void CompareRawRows(const PairRequest& request, PairResult* result) {
  struct Owned {
    BlockHandle block = nullptr;
    ~Owned() { ReleaseBlock(block); }
  } base, other;
  BitmapInfo info{};  // holds the second image's header after both loads
  uint8_t* basePixels = LoadImageFile(request.base.c_str(), &base.block, &info);
  if (basePixels == nullptr) {
    result->baseError = LastLoadError() != nullptr ? LastLoadError() : "cannot be loaded";
    return;
  }
  result->baseLoaded = true;
  const BitmapInfoHeader baseHeader = info.bmiHeader;  // the second load overwrites the record
  const uint8_t* otherPixels = LoadImageFile(request.other.c_str(), &other.block, &info);
  if (otherPixels == nullptr) {
    result->otherError = LastLoadError() != nullptr ? LastLoadError() : "cannot be loaded";
    return;
  }
  result->otherLoaded = true;

  // The second image's geometry and orientation; the first image's rows
  // are turned over when its orientation differs.
  const RowPlan plan = PlanRows(baseHeader, info.bmiHeader);
  const uint64_t baseBytes = BlockBytes(base.block);
  ArrangeBaseRows(plan, basePixels, baseBytes);
  MarkDifferences(basePixels, baseBytes, otherPixels, BlockBytes(other.block), plan.width, plan.rows);
  result->compared = true;
  result->baseWidth = result->otherWidth = plan.width;
  result->baseHeight = result->otherHeight = plan.rows;
  if (request.output.path.empty()) return;
  if (WriteResultFile(request.output.path.c_str(), info.bmiHeader, basePixels, baseBytes, &result->outputError) ==
      WriteResult::Written) {
    result->output = request.output.path;
  }
}

// Whether the library reads files of this name: a BMP, or an extension a
// registered plug-in accepts.
bool HasReader(const std::string& path) {
  char ext[kMaxPath];
  GetExtension(path.c_str(), ext);
  return CompareNames(0, ext, "bmp", 0) == 0 || FindPluginFor(ext) >= 0;
}

// Whether two regular files hold the same bytes, compared a chunk at a
// time (no hash: no collision can pass two different files); stops at the
// first chunk that differs.  Their length goes to `bytes`.
bool SameBytes(const std::string& a, const std::string& b, uint64_t* bytes) {
  struct Open {
    platform::FileHandle file = nullptr;
    ~Open() { platform::CloseFile(file); }
  } fa, fb;
  uint64_t sa = 0;
  uint64_t sb = 0;
  fa.file = platform::OpenForReading(a.c_str());
  fb.file = platform::OpenForReading(b.c_str());
  if (fa.file == nullptr || fb.file == nullptr || !platform::FileSize(fa.file, &sa) ||
      !platform::FileSize(fb.file, &sb) || sa != sb) {
    return false;
  }
  *bytes = sa;
  if (platform::SameFile(fa.file, fb.file)) return true;
  // No larger than the files: a screenshot is tens of KB, and every fresh
  // page a buffer touches costs a fault (left uninitialised: read into).
  const uint64_t chunk = std::min<uint64_t>(256 * 1024, sa);
  const std::unique_ptr<uint8_t[]> ca(new (std::nothrow) uint8_t[static_cast<size_t>(chunk)]);
  const std::unique_ptr<uint8_t[]> cb(new (std::nothrow) uint8_t[static_cast<size_t>(chunk)]);
  if (ca == nullptr || cb == nullptr) return false;  // decoding will tell
  for (uint64_t at = 0; at < sa; at += chunk) {
    const uint64_t n = std::min(chunk, sa - at);
    uint64_t ga = 0;
    uint64_t gb = 0;
    if (!platform::ReadAt(fa.file, at, ca.get(), n, &ga) || !platform::ReadAt(fb.file, at, cb.get(), n, &gb) ||
        ga != n || gb != n || std::memcmp(ca.get(), cb.get(), static_cast<size_t>(n)) != 0) {
      return false;
    }
  }
  return true;
}

// An equal pair of identical files: its sizes where a BMP header tells
// them.  False for a BMP whose header the reader refuses: decoding says why.
bool IdenticalResult(const PairRequest& request, const CompareOptions& options, PairResult* result) {
  result->identical = result->compared = result->baseLoaded = result->otherLoaded = true;
  result->sizesKnown = false;
  StreamInput input;
  if (HasBmpExtension(request.base)) {
    if (!OpenStreamInput(request.base.c_str(), &input)) return false;
    const int32_t width = input.bmp.header.biWidth;
    const int32_t height = input.bmp.order.rows;
    if (width >= 0 && height >= 0) {
      result->sizesKnown = true;
      result->baseWidth = result->otherWidth = width;
      result->baseHeight = result->otherHeight = height;
      // The pixels compared: the picture less its ignored regions.
      result->stats.pixels = IncludedPixels(options.ignore, width, height);
    }
  }
  return true;
}

}  // namespace

bool WritePicture(const std::string& path, const PairOutput& output, const Picture& p, const BitmapInfoHeader* given,
                  std::string* error) {
  if (output.format == OutputFormat::Png && output.encodePng == nullptr) {
    *error = "PNG output is not available in this build";
    return false;
  }
  platform::ReplacementFile out;
  if (!out.Begin(path, error)) return false;
  if (output.format == OutputFormat::Png) {
    if (!output.encodePng(p, out.file(), error)) return false;
  } else {
    BitmapInfoHeader header{};
    if (given != nullptr) {
      header = *given;
    } else {
      InitRgb24Header(&header, p.width, p.height);
    }
    // The rows go out in the header's orientation, and are turned back
    // afterwards: the caller's picture is left as it was.
    const bool flip = (header.biHeight >= 0) != p.bottomUp;
    if (flip) FlipRows(p);
    const uint64_t bytes = static_cast<uint64_t>(p.stride) * static_cast<uint64_t>(p.height);
    const bool written = WriteBmpInto(out.file(), header, p.rows, bytes, error);
    if (flip) FlipRows(p);
    if (!written) return false;
  }
  return out.Commit(error);
}

PairResult ComparePair(const PairRequest& request, const CompareOptions& options) {
  PairResult result;
  result.base = request.base;
  result.other = request.other;
  const PairOutput& output = request.output;
  const bool raw = request.reading == PairReading::RawRows;
  uint64_t bytes = 0;
  // Two non-empty files with the same bytes are one picture, where the
  // library has a reader for them (a run without its plug-ins must fail).
  if (!raw && request.identicalShortcut && (output.path.empty() || output.onlyWhenDifferent) &&
      HasReader(request.base) && SameBytes(request.base, request.other, &bytes) && bytes > 0) {
    if (IdenticalResult(request, options, &result)) return result;
    result = PairResult{};
    result.base = request.base;
    result.other = request.other;
  }
  {
    StreamInput base;
    StreamInput other;
    if (Streamable(request, base, other)) {
      const bool outputStreams = OutputStreams(output, base, other);
      if (raw && outputStreams) {
        if (!output.path.empty()) {
          StreamWithOutput(request, options, base, other, &result);
          return result;
        }
        if (StreamRowsOfPair(request, options, base, other, nullptr, &result)) return result;
        result = PairResult{};  // no row buffers: the whole pictures, below
      } else if (!raw) {
        const bool wholeNeeded = request.observer != nullptr || output.onlyWhenDifferent || !outputStreams;
        if (!output.path.empty() && !wholeNeeded) {
          StreamWithOutput(request, options, base, other, &result);
          return result;
        }
        if (output.path.empty() || output.onlyWhenDifferent) {
          // Compared streamed; a pair that needs nothing more is done.
          PairResult streamed = result;
          if (StreamRowsOfPair(request, options, base, other, nullptr, &streamed) &&
              (streamed.stats.differentPixels == 0 || (output.path.empty() && request.observer == nullptr))) {
            return streamed;
          }
        }
      }
    }
  }
  result.base = request.base;
  result.other = request.other;
  if (raw) {
    CompareRawRows(request, &result);
  } else {
    CompareDecoded(request, options, &result);
  }
  return result;
}

}  // namespace diffmark
