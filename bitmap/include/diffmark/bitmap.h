// BMP records, row rules, the shared palette, the BMP file reader and the
// conversion of palette-indexed rows to 24-bit rows.
#pragma once

#include <cstddef>
#include <cstdint>

namespace diffmark {

// A movable memory block (a PixelBlock or a plug-in string): the handle the
// loaders put in the caller's slot.  HGLOBAL on Windows.  Whoever receives
// a handle owns the block and gives it back with ReleaseBlock.
using BlockHandle = void*;

// ------------------------------------------------------------- records
//
// In memory these are plain structs; on disk they are always read and
// written field by field, little-endian (EncodeX / DecodeX).

inline constexpr size_t kFileHeaderBytes = 14;
inline constexpr size_t kInfoHeaderBytes = 40;
inline constexpr size_t kColourEntryBytes = 4;
inline constexpr size_t kBitmapInfoBytes = kInfoHeaderBytes + kColourEntryBytes;
inline constexpr uint16_t kBitmapType = 0x4D42;  // "BM"

struct BitmapFileHeader {
  uint16_t bfType;
  uint32_t bfSize;
  uint16_t bfReserved1;
  uint16_t bfReserved2;
  uint32_t bfOffBits;
};

struct BitmapInfoHeader {
  uint32_t biSize;
  int32_t biWidth;
  int32_t biHeight;  // bottom row first; a 24-bit file with a negative height is top-down
  uint16_t biPlanes;
  uint16_t biBitCount;
  uint32_t biCompression;
  uint32_t biSizeImage;
  int32_t biXPelsPerMeter;
  int32_t biYPelsPerMeter;
  uint32_t biClrUsed;
  uint32_t biClrImportant;
};

struct RgbQuad {
  uint8_t rgbBlue;
  uint8_t rgbGreen;
  uint8_t rgbRed;
  uint8_t rgbReserved;
};

// The info header followed by one colour entry, as the loaders fill it.
struct BitmapInfo {
  BitmapInfoHeader bmiHeader;
  RgbQuad bmiColors[1];
};

void EncodeFileHeader(const BitmapFileHeader& header, uint8_t (&out)[kFileHeaderBytes]);
void EncodeInfoHeader(const BitmapInfoHeader& header, uint8_t (&out)[kInfoHeaderBytes]);
BitmapInfoHeader DecodeInfoHeader(const uint8_t* bytes);  // reads 40 bytes

inline constexpr size_t kHeadersBytes = kFileHeaderBytes + kInfoHeaderBytes;

// True for the sizes of the longer info headers that writers use (52, 56,
// 64, 108 and 124 bytes: the V2/V3 mask headers, OS/2 2.x, V4, V5).  Their
// first 40 bytes are the 40-byte header; the colour table and the pixel
// rows follow the whole header.  Any other biSize is taken as 40 bytes.
[[nodiscard]] bool IsLongerInfoHeader(uint32_t biSize);

// Where a file's colour table (below 24 bits) or pixel rows begin: after
// the 14-byte file header and the whole info header, that is 14 + biSize
// for a longer header and 54 for any other.
[[nodiscard]] uint64_t InfoHeaderEnd(const BitmapInfoHeader& header);

// The 54 header bytes of a file of 24-bit rows: a fresh file header (rows
// at offset 54, bfSize = 54 + Rgb24ImageBytes(header)) followed by
// `header`, with biSize 40 where it named a longer header (only its first
// 40 bytes are written); every other field as it is.  False when that
// length does not fit in 32 bits.
[[nodiscard]] bool EncodeRgb24Headers(const BitmapInfoHeader& header, uint8_t (&out)[kHeadersBytes]);
RgbQuad DecodeColourEntry(const uint8_t* bytes);          // reads 4 bytes

// ----------------------------------------------------------- row rules
//
// Rows are padded to a multiple of 4 bytes, the padding computed as three
// times the unpadded length, modulo 4 (remainder with the dividend's sign).

// For a row of n bytes: n + (3n mod 4).
int32_t PaddedRowBytes(int32_t n);
// For a 24-bit row of w pixels: 3w + (w mod 4).
int32_t Rgb24Stride(int32_t w);
// The same rules, exact in 64 bits; every size is computed with these.
int64_t PaddedRowBytes64(int64_t n);
int64_t Rgb24Stride64(int64_t w);
// Bytes that h 24-bit rows of w pixels take: Rgb24Stride64(w) * h when both
// are positive, otherwise 0 (no rows).
uint64_t Rgb24ImageBytes(int32_t width, int32_t height);

// ------------------------------------------------------------ row order
//
// A file with 24 bits per pixel and a negative biHeight is top-down: it
// holds |biHeight| rows, top row first.  Every other header describes
// biHeight rows, bottom row first (none when biHeight is 0 or less).

struct RowLayout {
  int32_t rows;  // rows the file holds in the order it stores them; 0 or less: none
  bool topDown;  // the first row is the top of the picture
};

// The rows of `header`.  False (and no rows) for a top-down height whose
// magnitude does not fit: biHeight = INT32_MIN.
[[nodiscard]] bool GetRowLayout(const BitmapInfoHeader& header, RowLayout* layout);

// Rgb24ImageBytes(biWidth, rows of the header's RowLayout): the bytes of
// 24-bit rows the header describes, whichever their order.
uint64_t Rgb24ImageBytes(const BitmapInfoHeader& header);

// ------------------------------------------------------------ palette

// The colour table: 256 entries, zero at start, written by the loaders,
// read by ExpandToRgb24.  Never cleared.  Each thread has its own, so that
// loads on several threads cannot mix their colours; a program with one
// thread has the one process-wide table.
extern thread_local RgbQuad Palette[256];

// ---------------------------------------------------------- the reader

// Reads an uncompressed BMP file.  Returns the locked pointer to the pixel
// rows (read as 24-bit rows of Rgb24Stride(biWidth) bytes, in the order the
// file stores them: bottom row first, or top row first for a top-down file,
// see RowLayout) and stores the owning PixelBlock's handle in *slot; the
// caller owns the block (ReleaseBlock).  The block is as large as a 24-bit
// image 16 pixels wider and 16 rows taller would need; every byte the file
// does not fill is zero.
//
// The record receives the first 40 bytes of the info header.  The colour
// table and the rows follow the whole info header (InfoHeaderEnd).  Below
// 24 bits per pixel the colour table (biClrUsed entries, at most 256 kept)
// goes to the Palette; the pixel rows follow it in the file.
//
// Returns null when the file cannot be opened or holds fewer than the 54
// header bytes (slot, record and Palette untouched), or when the block
// cannot be had: a top-down height of INT32_MIN, a size that is not a
// positive 31-bit number, a header that claims far more pixel bytes than
// the file holds (see README), or a failed allocation.  Then the record is
// filled, the colour table read, and *slot is null.
[[nodiscard]] uint8_t* ReadBitmapFile(const char* path, BlockHandle* slot, BitmapInfo* info);

// The size of the block ReadBitmapFile reads a file of this header into:
// Rgb24Stride(biWidth + 16) x (rows + 16), the rows those of its RowLayout.
// False when that is not a positive 31-bit number or the height does not
// fit; the reader then refuses the file.
[[nodiscard]] bool PixelBlockBytes(const BitmapInfoHeader& header, uint64_t* bytes);

// Most 24-bit pixel bytes a file with `available` bytes after its headers
// may ask for at `bitCount` bits per pixel.
uint64_t JustifiedPixelBytes(uint64_t available, uint16_t bitCount);

// ------------------------------------------------- 24-bit conversion

// Expands 8-bit or 4-bit palette-indexed rows (bottom-up, padded to 4
// bytes, high nibble first) into a new block of 24-bit rows through the
// Palette, and stores the block's handle in *slot.  The block holds
// Rgb24Stride(w) * h + 16 bytes: an odd 4-bit width expands the last
// byte's low nibble as well, into the row's padding, and after the last
// row into those 16 bytes.  Other bit counts leave the block zero.
// Source bytes at or past `sourceBytes` are not read; rows they would have
// filled stay zero.  Returns null (and *slot null) when the block's size
// cannot be represented or the allocation fails.
[[nodiscard]] uint8_t* ExpandToRgb24(const uint8_t* source, uint64_t sourceBytes,
                                     const BitmapInfoHeader* header, BlockHandle* slot);

// Fills all 40 bytes of a 24-bit info header: size 40, the given width and
// height, 1 plane, 24 bits, no compression, 96 pixels per metre both ways.
BitmapInfoHeader* InitRgb24Header(BitmapInfoHeader* header, int32_t width, int32_t height);

}  // namespace diffmark
