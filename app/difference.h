// The difference run: load Image0.bmp and Image1.bmp, mark every channel
// byte of the first that differs from the second, write Image.bmp.
#pragma once

#include <cstdint>

#include <diffmark/bitmap.h>

namespace diffmark {

inline constexpr const char* kBaseImageName = "Image0.bmp";
inline constexpr const char* kOtherImageName = "Image1.bmp";
inline constexpr const char* kResultImageName = "Image.bmp";

// The marker written over a differing byte, by its place in the pixel.
inline constexpr uint8_t kMarkerBlue = 255;
inline constexpr uint8_t kMarkerGreen = 0;
inline constexpr uint8_t kMarkerRed = 255;

// The three messages and their captions, as Shift_JIS bytes.
// "Image0.bmpが見つかりません。\n終了します。"
inline constexpr const char* kMessageBaseMissing =
    "Image0.bmp\x82\xaa\x8c\xa9\x82\xc2\x82\xa9\x82\xe8\x82\xdc\x82\xb9\x82\xf1\x81"
    "B\x0a\x8fI\x97\xb9\x82\xb5\x82\xdc\x82\xb7\x81"
    "B";
// "Image1.bmpが見つかりません。\n終了します。"
inline constexpr const char* kMessageOtherMissing =
    "Image1.bmp\x82\xaa\x8c\xa9\x82\xc2\x82\xa9\x82\xe8\x82\xdc\x82\xb9\x82\xf1\x81"
    "B\x0a\x8fI\x97\xb9\x82\xb5\x82\xdc\x82\xb7\x81"
    "B";
// "ファイルが作れません。"
inline constexpr const char* kMessageCannotCreate =
    "\x83t\x83@\x83"
    "C\x83\x8b\x82\xaa\x8d\xec\x82\xea\x82\xdc\x82\xb9\x82\xf1\x81"
    "B";
inline constexpr const char* kCaptionNotice = "\x92\xca\x92m";   // "通知"
inline constexpr const char* kCaptionWarning = "\x8cx\x8d\x90";  // "警告"

// The application's main routine.  Always returns 0.
int RunDifference();

// How a run goes about it.  Both ways give the same Image.bmp, messages
// and files on disk for every input.
enum class RunPath {
  Automatic,  // rows streamed where the pair allows it (see difference.cpp), else whole images
  Blocks,     // whole images in blocks, for every pair
};

// RunDifference by the given path; `*streamed` (when given) tells whether
// the rows were streamed.
int RunDifferenceUsing(RunPath path, bool* streamed = nullptr);

// For each of h rows of w pixels laid out with Rgb24Stride(w), overwrites
// every byte of `base` that differs from the same byte of `other` with the
// marker of its channel.  Row padding is neither compared nor changed;
// `other` is only read.  Bytes at or past either block's size are left
// alone, so a block shorter than the geometry is never overrun.
void MarkDifferences(uint8_t* base, uint64_t baseBytes, const uint8_t* other, uint64_t otherBytes,
                     int32_t width, int32_t height);

// The plain byte-by-byte form of MarkDifferences, the reference that the
// fast one must agree with.
void MarkDifferencesReference(uint8_t* base, uint64_t baseBytes, const uint8_t* other,
                              uint64_t otherBytes, int32_t width, int32_t height);

// The loops MarkDifferences chooses from, fastest available first.
enum class MarkKernel { Scalar, Sse2, Avx2 };

// MarkDifferences with one particular loop; false (nothing done) when this
// build or processor lacks it.
bool MarkDifferencesWith(MarkKernel kernel, uint8_t* base, uint64_t baseBytes, const uint8_t* other,
                         uint64_t otherBytes, int32_t width, int32_t height);

enum class WriteResult { Written, NotCreated, WriteFailed };

// Creates (or replaces) `path` and writes a fresh 14-byte file header, the
// 40-byte `header` (EncodeRgb24Headers: biSize 40 for a longer header,
// every other field as it is), and the Rgb24ImageBytes(header) bytes of
// 24-bit rows that the header describes, taken from `pixels` in the order
// they lie; where the block's `pixelBytes` are fewer, the rest is written
// as zero bytes, so the file's length always equals its bfSize.
// NotCreated when the file cannot be created, WriteFailed when a write
// comes up short.
[[nodiscard]] WriteResult WriteResultFile(const char* path, const BitmapInfoHeader& header,
                                          const uint8_t* pixels, uint64_t pixelBytes);

}  // namespace diffmark
