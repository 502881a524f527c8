// What the BMP reader makes of a file, decided from its 54 header bytes and
// its length alone: where the rows start, how many bytes of 24-bit rows it
// reads, the block it would allocate, or why it refuses the file.  The
// reader itself and the difference run's streaming path both ask it, so
// that they can never disagree.
#pragma once

#include <cstdint>

#include <diffmark/bitmap.h>

namespace diffmark {

struct BitmapFileLayout {
  BitmapInfoHeader header{};  // the first 40 bytes of the info header
  uint64_t pixelOffset = 0;   // where the rows start: after the info header and colour table
  RowLayout order{};          // how many rows, in which order
  uint64_t rowBytes = 0;      // bytes of 24-bit rows the reader reads
  uint64_t blockBytes = 0;    // the reader's block
  uint64_t available = 0;     // bytes the file holds from pixelOffset on
};

// The reader's decisions for a file of `fileSize` bytes whose first 54
// bytes are `headers`.  False, with the reason set for LastLoadError, when
// the reader refuses it (a top-down height that does not fit, a size that
// is not representable, a header that claims more than the file holds).
[[nodiscard]] bool ExamineBitmapHeaders(const uint8_t (&headers)[kHeadersBytes], uint64_t fileSize,
                                        BitmapFileLayout* layout);

}  // namespace diffmark
