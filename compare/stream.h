// Two image files of one geometry, streamed a chunk of whole rows at a
// time: each worker thread reads its chunk of both files with positional
// reads into buffers of about 1 MiB that stay in the cache, hands them to
// the caller's work, and writes the (changed) base chunk at its place in
// the output.  Memory stays at a few MiB whatever the image size, and each
// byte crosses memory once per file instead of through whole-image blocks.
#pragma once

#include <cstdint>
#include <functional>

#include "bitmap/examine.h"
#include "platform/platform.h"

namespace diffmark {

struct RowStream {
  platform::FileHandle base = nullptr;
  uint64_t baseOffset = 0;   // where the base file's rows start
  platform::FileHandle other = nullptr;
  uint64_t otherOffset = 0;  // where the other file's rows start
  platform::FileHandle output = nullptr;  // nullptr: nothing is written
  uint64_t outputOffset = 0;              // where the output's rows start
  uint64_t stride = 0;                    // bytes of a row, padding included, in all three
  uint64_t rows = 0;
  unsigned threads = 1;
  // Rows read on each side of a chunk besides its own (clamped to the
  // file's rows), for work that looks at neighbouring rows; never written.
  uint64_t contextRows = 0;
};

// Bytes of rows in one chunk (at least one row).
inline constexpr uint64_t kStreamChunkBytes = uint64_t{1} << 20;

// Called once per chunk on one of the worker threads, numbered from 0:
// rows [first, first + count) of both files, in file order, at `base` and
// `other`; `before` rows of context lie in front of them in memory and
// `after` rows behind them.  Bytes a file does not hold read as zero.
// Whatever the work leaves in the chunk's rows of `base` is written to the
// output.
struct Chunk {
  uint64_t first = 0;
  uint64_t count = 0;
  uint8_t* base = nullptr;
  const uint8_t* other = nullptr;
  uint64_t before = 0;
  uint64_t after = 0;
};
using ChunkWork = std::function<void(unsigned worker, const Chunk& chunk)>;

// Streams every chunk through `work`.  False when the buffers cannot be
// had or a write fails (the output is then incomplete).
[[nodiscard]] bool StreamRows(const RowStream& stream, const ChunkWork& work);

// A BMP file whose rows may be streamed: open, with the reader's decisions
// about it.  Closed with the object.
struct StreamInput {
  platform::FileHandle file = nullptr;
  BitmapFileLayout bmp;  // the reader's decisions about it
  StreamInput() = default;
  ~StreamInput() { platform::CloseFile(file); }
  StreamInput(const StreamInput&) = delete;
  StreamInput& operator=(const StreamInput&) = delete;
};

// Opens `path` and examines its 54 header bytes as the reader does; false
// when it cannot be opened, is shorter than its headers, or the reader
// would refuse it.
[[nodiscard]] bool OpenStreamInput(const char* path, StreamInput* input);

// The stream of two inputs of one geometry (the second's width and rows),
// written to `output` (or nowhere) from byte 54 on, on up to one thread a
// processor.
[[nodiscard]] RowStream StreamOfPair(const StreamInput& base, const StreamInput& other,
                                     platform::FileHandle output);

}  // namespace diffmark
