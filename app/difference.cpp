#include "app/difference.h"

#include <algorithm>

#include <diffmark/imageload.h>

#include "app/rows.h"
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

int RunDifference() {
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
