#include "app/difference.h"

#include <algorithm>

#include <diffmark/imageload.h>

#include "app/rows.h"
#include "app/stream.h"
#include "platform/platform.h"

namespace diffmark {

WriteResult WriteResultFile(const char* path, const BitmapInfoHeader& header, const uint8_t* pixels,
                            uint64_t pixelBytes) {
  uint8_t headers[kHeadersBytes];
  if (!EncodeRgb24Headers(header, headers)) return WriteResult::NotCreated;
  platform::FileHandle file = platform::CreateAlways(path);
  if (file == nullptr) return WriteResult::NotCreated;
  bool ok = platform::WriteBytes(file, headers, sizeof headers);

  const uint64_t rowBytes = Rgb24ImageBytes(header);
  const uint64_t fromBlock = std::min(rowBytes, pixelBytes);
  ok = ok && platform::WriteBytes(file, pixels, fromBlock);
  static const uint8_t kZeros[64 * 1024] = {};
  for (uint64_t left = rowBytes - fromBlock; ok && left > 0;) {
    const uint64_t n = std::min<uint64_t>(left, sizeof kZeros);
    ok = platform::WriteBytes(file, kZeros, n);
    left -= n;
  }
  platform::CloseFile(file);
  return ok ? WriteResult::Written : WriteResult::WriteFailed;
}

namespace {

struct OwnedImage {
  BlockHandle block = nullptr;
  ~OwnedImage() {
    platform::UnlockBlock(block);
    platform::FreeBlock(block);
  }
};

}  // namespace

// ------------------------------------------------------------ streaming
//
// A pair is streamed when the block path's result can be produced row by
// row, exactly:
//   - both inputs are regular files that open, hold the 54 header bytes,
//     and whose headers the reader accepts (ExamineBitmapHeaders, the
//     reader's own decisions: so M1 and M2 can never arise here);
//   - both are 24 bits per pixel, with equal biWidth and equal biHeight
//     (so one geometry and one orientation: the first image's rows are
//     compared in file order, as the plan of rows.h says), with at least
//     one pixel and one row;
//   - Image.bmp is missing or a regular file, and not the same file as
//     either input (a link to an input would be truncated before it is
//     read).
// The header sizes may differ (each file's rows start where its header
// ends), and a file may be short: bytes it does not hold read as zero,
// exactly as they stay zero in the reader's block.  Every other pair takes
// the block path, which makes every decision from scratch.

namespace {

enum class Streamed { No, Yes };

Streamed TryStreaming() {
  StreamInput base;
  StreamInput other;
  if (!OpenStreamInput(kBaseImageName, &base) || !OpenStreamInput(kOtherImageName, &other)) {
    return Streamed::No;
  }
  const BitmapInfoHeader& b = base.layout.header;
  const BitmapInfoHeader& o = other.layout.header;
  if (b.biBitCount != 24 || o.biBitCount != 24 || b.biWidth != o.biWidth || b.biHeight != o.biHeight ||
      other.layout.rowBytes == 0) {
    return Streamed::No;
  }
  const platform::PathKind result = platform::KindOfPath(kResultImageName);
  if ((result != platform::PathKind::Missing && result != platform::PathKind::RegularFile) ||
      platform::SameFile(base.file, kResultImageName) || platform::SameFile(other.file, kResultImageName)) {
    return Streamed::No;
  }

  // From here on the pair is the streaming path's: Image.bmp is written as
  // the block path writes it, the second header over the first's rows.
  uint8_t headers[kHeadersBytes];
  platform::FileHandle out = nullptr;
  bool ok = EncodeRgb24Headers(o, headers) && (out = platform::CreateAlways(kResultImageName)) != nullptr;
  ok = ok && platform::WriteAt(out, 0, headers, sizeof headers);
  if (ok) {
    const int32_t width = o.biWidth;
    ok = StreamRows(StreamOfPair(base, other, out), [width](unsigned, uint64_t, uint64_t count, uint8_t* rowsOfBase, const uint8_t* rowsOfOther) {
      const uint64_t n = count * static_cast<uint64_t>(Rgb24Stride64(width));
      MarkDifferences(rowsOfBase, n, rowsOfOther, n, width, static_cast<int32_t>(count));
    });
  }
  platform::CloseFile(out);
  if (!ok) platform::ShowMessage(kMessageCannotCreate, kCaptionWarning, platform::MessageIcon::Warning);
  return Streamed::Yes;
}

}  // namespace

int RunDifference() { return RunDifferenceUsing(RunPath::Automatic); }

int RunDifferenceUsing(RunPath path, bool* streamed) {
  if (streamed != nullptr) *streamed = false;
  if (path == RunPath::Automatic && TryStreaming() == Streamed::Yes) {
    if (streamed != nullptr) *streamed = true;
    return 0;
  }

  OwnedImage base;
  OwnedImage other;
  BitmapInfo info{};  // holds the second image's header after both loads

  uint8_t* basePixels = LoadImageFile(kBaseImageName, &base.block, &info);
  if (basePixels == nullptr) {
    platform::ShowMessage(kMessageBaseMissing, kCaptionNotice, platform::MessageIcon::None);
    return 0;
  }
  const BitmapInfoHeader baseHeader = info.bmiHeader;  // the second load overwrites the record
  const uint8_t* otherPixels = LoadImageFile(kOtherImageName, &other.block, &info);
  if (otherPixels == nullptr) {
    platform::ShowMessage(kMessageOtherMissing, kCaptionNotice, platform::MessageIcon::None);
    return 0;
  }

  // The second image's geometry and orientation; the first image's rows
  // are turned over when its orientation differs.
  const RowPlan plan = PlanRows(baseHeader, info.bmiHeader);
  const uint64_t baseBytes = platform::BlockSize(base.block);
  ArrangeBaseRows(plan, basePixels, baseBytes);
  MarkDifferences(basePixels, baseBytes, otherPixels, platform::BlockSize(other.block), plan.width,
                  plan.rows);

  if (WriteResultFile(kResultImageName, info.bmiHeader, basePixels, baseBytes) != WriteResult::Written) {
    platform::ShowMessage(kMessageCannotCreate, kCaptionWarning, platform::MessageIcon::Warning);
  }
  return 0;
}

}  // namespace diffmark
