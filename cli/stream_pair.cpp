#include "cli/stream_pair.h"

#include <algorithm>
#include <cstdio>
#include <random>
#include <vector>

#include "app/stream.h"
#include "platform/platform.h"

namespace diffmark::cli {

namespace {

bool IsBmpName(const std::string& path) {
  char ext[kMaxPath];
  GetExtension(path.c_str(), ext);
  return CompareNames(0, ext, "bmp", 0) == 0;
}

// Opens a file the library's own reader reads exactly, and accepts.
bool OpenExact(const std::string& path, StreamInput* input) {
  if (!IsBmpName(path) || !OpenStreamInput(path.c_str(), input)) return false;
  const BitmapInfoHeader& h = input->layout.header;
  return h.biBitCount == 24 && h.biCompression == 0 && (h.biSize == kInfoHeaderBytes || IsLongerInfoHeader(h.biSize));
}

}  // namespace

PairStream StreamPair(const Options& options, Format format, PairResult* result, std::string* troubleFile,
                      std::string* troubleReason) {
  StreamInput base;
  StreamInput other;
  if (!OpenExact(options.base, &base) || !OpenExact(options.other, &other)) return PairStream::NotTaken;
  const BitmapInfoHeader& b = base.layout.header;
  const BitmapInfoHeader& o = other.layout.header;
  if (b.biWidth != o.biWidth || b.biHeight != o.biHeight || o.biWidth <= 0 || other.layout.layout.rows <= 0) {
    return PairStream::NotTaken;
  }
  const bool writing = !options.output.empty();
  if (writing) {
    const platform::PathKind kind = platform::KindOfPath(options.output.c_str());
    if (format != Format::Bmp ||
        (kind != platform::PathKind::Missing && kind != platform::PathKind::RegularFile) ||
        platform::SameFile(base.file, options.output.c_str()) ||
        platform::SameFile(other.file, options.output.c_str())) {
      return PairStream::NotTaken;
    }
  }

  const int32_t width = o.biWidth;
  const int32_t height = other.layout.layout.rows;
  const bool bottomUp = !other.layout.layout.topDown;
  result->baseWidth = result->otherWidth = width;
  result->baseHeight = result->otherHeight = height;

  // The output goes to a temporary name beside it, renamed when complete;
  // its header is the second file's, as the difference run writes it.
  std::string temporary;
  platform::FileHandle out = nullptr;
  if (writing) {
    std::random_device seed;
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".partial-%08x", static_cast<unsigned>(seed()));
    temporary = options.output + suffix;
    uint8_t headers[kHeadersBytes];
    out = EncodeRgb24Headers(o, headers) ? platform::CreateAlways(temporary.c_str()) : nullptr;
    if (out == nullptr) {
      *troubleFile = options.output;
      *troubleReason = "cannot be created";
      return PairStream::Trouble;
    }
    if (!platform::WriteAt(out, 0, headers, sizeof headers)) {
      platform::CloseFile(out);
      platform::RemoveFile(temporary.c_str());
      *troubleFile = options.output;
      *troubleReason = "write failed (disk full?)";
      return PairStream::Trouble;
    }
  }

  const RowStream stream = StreamOfPair(base, other, out);
  std::vector<Stats> perWorker(stream.threads);
  const bool ok = StreamRows(stream, [&](unsigned worker, uint64_t first, uint64_t count, uint8_t* baseRows,
                                         const uint8_t* otherRows) {
    // File rows [first, first + count) are picture rows counted from the top.
    const auto rows = static_cast<int32_t>(count);
    const auto top = static_cast<int32_t>(bottomUp ? static_cast<uint64_t>(height) - first - count : first);
    const Picture basePart{baseRows, static_cast<int64_t>(stream.stride), width, rows, bottomUp};
    const Picture otherPart{const_cast<uint8_t*>(otherRows), static_cast<int64_t>(stream.stride), width, rows, bottomUp};
    AddStats(perWorker[worker], ComparePictures(basePart, otherPart, options.compare, top));
  });
  if (writing) {
    platform::CloseFile(out);
    if (!ok || !platform::RenameReplacing(temporary.c_str(), options.output.c_str())) {
      platform::RemoveFile(temporary.c_str());
      *troubleFile = options.output;
      *troubleReason = ok ? "cannot be replaced" : "write failed (disk full?)";
      return PairStream::Trouble;
    }
    result->output = options.output;
  } else if (!ok) {
    *troubleFile = options.base;
    *troubleReason = "out of memory for the row buffers";
    return PairStream::Trouble;
  }
  result->stats = Stats{};
  for (const Stats& s : perWorker) AddStats(result->stats, s);
  return PairStream::Compared;
}

PairStream StreamCompare(const std::string& baseName, const std::string& otherName, const CompareOptions& options,
                         unsigned threads, PairResult* result) {
  StreamInput base;
  StreamInput other;
  if (!OpenExact(baseName, &base) || !OpenExact(otherName, &other)) return PairStream::NotTaken;
  const BitmapInfoHeader& b = base.layout.header;
  const BitmapInfoHeader& o = other.layout.header;
  if (b.biWidth != o.biWidth || b.biHeight != o.biHeight || o.biWidth <= 0 || other.layout.layout.rows <= 0) {
    return PairStream::NotTaken;
  }
  const int32_t width = o.biWidth;
  const int32_t height = other.layout.layout.rows;
  const bool bottomUp = !other.layout.layout.topDown;
  RowStream stream = StreamOfPair(base, other, nullptr);
  stream.threads = std::max(threads, 1u);
  std::vector<Stats> perWorker(stream.threads);
  const bool ok = StreamRows(stream, [&](unsigned worker, uint64_t first, uint64_t count, uint8_t* baseRows,
                                         const uint8_t* otherRows) {
    const auto rows = static_cast<int32_t>(count);
    const auto top = static_cast<int32_t>(bottomUp ? static_cast<uint64_t>(height) - first - count : first);
    const Picture basePart{baseRows, static_cast<int64_t>(stream.stride), width, rows, bottomUp};
    const Picture otherPart{const_cast<uint8_t*>(otherRows), static_cast<int64_t>(stream.stride), width, rows, bottomUp};
    AddStats(perWorker[worker], ComparePictures(basePart, otherPart, options, top));
  });
  if (!ok) return PairStream::Trouble;
  result->base = baseName;
  result->other = otherName;
  result->baseWidth = result->otherWidth = width;
  result->baseHeight = result->otherHeight = height;
  result->stats = Stats{};
  for (const Stats& s : perWorker) AddStats(result->stats, s);
  return PairStream::Compared;
}

}  // namespace diffmark::cli
