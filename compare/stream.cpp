#include "compare/stream.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace diffmark {

namespace {

constexpr uint64_t kLine = 64;

// A buffer of `bytes` whose data can start at any offset within a cache
// line: a positional read copies at full speed only when the destination
// sits at the same place within its line as the data in the file.
class LineBuffer {
 public:
  // Makes room for `bytes`, keeping the present buffer when it is large
  // enough; false when the memory cannot be had.
  bool Reserve(uint64_t bytes) {
    if (raw_ != nullptr && size_ >= bytes) return true;
    raw_.reset(new (std::nothrow) uint8_t[static_cast<size_t>(bytes + 2 * kLine)]);
    size_ = raw_ != nullptr ? bytes : 0;
    return raw_ != nullptr;
  }
  // The buffer's start for data that lies at `fileOffset` in its file.
  uint8_t* For(uint64_t fileOffset) const {
    const auto address = reinterpret_cast<uintptr_t>(raw_.get());
    const uintptr_t aligned = (address + kLine - 1) & ~static_cast<uintptr_t>(kLine - 1);
    return reinterpret_cast<uint8_t*>(aligned + static_cast<uintptr_t>(fileOffset % kLine));
  }

 private:
  std::unique_ptr<uint8_t[]> raw_;
  uint64_t size_ = 0;
};

// The two buffers of the calling thread, kept for its next stream: a
// program that streams many pairs one after another (the folder form of
// diffmark-cli) pays for fresh pages once per thread, not once per pair
// (the allocator would hand each pair newly mapped memory, every page of
// it faulted in again).
struct ThreadBuffers {
  LineBuffer base;
  LineBuffer other;
};
ThreadBuffers& BuffersOfThisThread() {
  thread_local ThreadBuffers buffers;
  return buffers;
}

// Reads `n` bytes at `offset`; what the file does not hold is zero.
void ReadChunk(platform::FileHandle file, uint64_t offset, uint8_t* into, uint64_t n) {
  uint64_t got = 0;
  (void)platform::ReadAt(file, offset, into, n, &got);  // a failed read leaves zeros, as a short file
  if (got < n) std::memset(into + got, 0, static_cast<size_t>(n - got));
}

}  // namespace

bool OpenStreamInput(const char* path, StreamInput* input) {
  input->file = platform::OpenForReading(path);
  uint64_t size = 0;
  uint8_t headers[kHeadersBytes];
  uint64_t got = 0;
  return input->file != nullptr && platform::FileSize(input->file, &size) &&
         platform::ReadAt(input->file, 0, headers, sizeof headers, &got) && got == sizeof headers &&
         ExamineBitmapHeaders(headers, size, &input->bmp);
}

RowStream StreamOfPair(const StreamInput& base, const StreamInput& other, platform::FileHandle output) {
  RowStream stream;
  stream.base = base.file;
  stream.baseOffset = base.bmp.pixelOffset;
  stream.other = other.file;
  stream.otherOffset = other.bmp.pixelOffset;
  stream.output = output;
  stream.outputOffset = kHeadersBytes;
  stream.stride = static_cast<uint64_t>(Rgb24Stride64(other.bmp.header.biWidth));
  stream.rows = other.bmp.order.rows > 0 ? static_cast<uint64_t>(other.bmp.order.rows) : 0;
  stream.threads = std::min(platform::ProcessorCount(), 8u);
  return stream;
}

bool StreamRows(const RowStream& s, const ChunkWork& work) {
  if (s.rows == 0 || s.stride == 0) return true;
  const uint64_t chunkRows = std::max<uint64_t>(1, kStreamChunkBytes / s.stride);
  const uint64_t chunks = (s.rows + chunkRows - 1) / chunkRows;
  const auto threads = static_cast<unsigned>(std::clamp<uint64_t>(s.threads, 1, chunks));
  const uint64_t context = std::min<uint64_t>(s.contextRows, s.rows);
  const uint64_t chunkBytes = (chunkRows + 2 * context) * s.stride;
  std::atomic<bool> failed{false};

  // Worker i takes chunks i, i + threads, i + 2 * threads, ...
  auto worker = [&](unsigned index) {
    ThreadBuffers& buffers = BuffersOfThisThread();
    const LineBuffer& baseBuffer = buffers.base;
    const LineBuffer& otherBuffer = buffers.other;
    if (!buffers.base.Reserve(chunkBytes) || !buffers.other.Reserve(chunkBytes)) {
      failed = true;
      return;
    }
    for (uint64_t c = index; c < chunks && !failed; c += threads) {
      Chunk chunk;
      chunk.first = c * chunkRows;
      chunk.count = std::min(chunkRows, s.rows - chunk.first);
      chunk.before = std::min(context, chunk.first);
      chunk.after = std::min(context, s.rows - chunk.first - chunk.count);
      // The chunk and its context, read in one go from the first context row.
      const uint64_t from = (chunk.first - chunk.before) * s.stride;
      const uint64_t n = (chunk.before + chunk.count + chunk.after) * s.stride;
      uint8_t* base = baseBuffer.For(s.baseOffset + from);
      uint8_t* other = otherBuffer.For(s.otherOffset + from);
      ReadChunk(s.base, s.baseOffset + from, base, n);
      ReadChunk(s.other, s.otherOffset + from, other, n);
      chunk.base = base + chunk.before * s.stride;
      chunk.other = other + chunk.before * s.stride;
      work(index, chunk);
      const uint64_t at = chunk.first * s.stride;
      if (s.output != nullptr && !platform::WriteAt(s.output, s.outputOffset + at, chunk.base, chunk.count * s.stride)) {
        failed = true;
      }
    }
  };

  std::vector<std::thread> helpers;
  for (unsigned i = 1; i < threads; ++i) {
    try {
      helpers.emplace_back(worker, i);
    } catch (const std::system_error&) {
      break;  // fewer threads than asked for: the calling one takes their chunks
    }
  }
  // The chunks of helpers that could not start are done here too.
  for (auto i = static_cast<unsigned>(helpers.size()) + 1; i < threads; ++i) worker(i);
  worker(0);
  for (std::thread& t : helpers) t.join();
  return !failed;
}

}  // namespace diffmark
