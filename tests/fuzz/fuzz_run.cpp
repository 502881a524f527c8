// The whole difference run on two arbitrary files.  The input is split:
// a 2-byte little-endian length, that many bytes for Image0.bmp, the rest
// for Image1.bmp.  Afterwards any Image.bmp must be as long as its bfSize
// says, and arranging and marking the two loaded blocks (copied between
// guard bytes) must not touch anything outside them.
#include <cstring>
#include <vector>

#include "compare/kernels.h"
#include "compare/pair.h"
#include "compare/rows.h"
#include "fuzz_common.h"
#include <diffmark/imageload.h>
#include "platform/platform.h"

namespace {

uint8_t* Load(const char* name, diffmark::BlockHandle* slot, diffmark::BitmapInfo* info) {
  return diffmark::LoadImageFile(name, slot, info);
}

void Release(diffmark::BlockHandle slot) {
  diffmark::platform::UnlockBlock(slot);
  diffmark::platform::FreeBlock(slot);
}

void CheckResultFile() {
  FILE* f = std::fopen("Image.bmp", "rb");
  if (f == nullptr) return;
  uint8_t head[6] = {};
  const size_t got = std::fread(head, 1, sizeof head, f);
  std::fseek(f, 0, SEEK_END);
  const long length = std::ftell(f);
  std::fclose(f);
  std::remove("Image.bmp");
  if (got < sizeof head) fuzz::Fail("Image.bmp shorter than its header");
  const uint32_t bfSize = uint32_t{head[2]} | uint32_t{head[3]} << 8 | uint32_t{head[4]} << 16 |
                          uint32_t{head[5]} << 24;
  if (static_cast<long>(bfSize) != length) fuzz::Fail("bfSize differs from the file's length");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::WorkDir();
  if (size < 2) return 0;
  size_t first = size_t{data[0]} | size_t{data[1]} << 8;
  if (first > size - 2) first = size - 2;
  fuzz::WriteFile("Image0.bmp", data + 2, first);
  fuzz::WriteFile("Image1.bmp", data + 2 + first, size - 2 - first);

  // What diffmark does: the fixed names, the raw rows, Image.bmp in place.
  diffmark::PairRequest request;
  request.base = "Image0.bmp";
  request.other = "Image1.bmp";
  request.reading = diffmark::PairReading::RawRows;
  request.output.path = "Image.bmp";
  request.output.inPlace = true;
  (void)diffmark::ComparePair(request, diffmark::CompareOptions{});
  CheckResultFile();

  // The marking step again, on copies fenced by guard bytes.
  diffmark::BlockHandle baseSlot = nullptr;
  diffmark::BlockHandle otherSlot = nullptr;
  diffmark::BitmapInfo info{};
  uint8_t* base = Load("Image0.bmp", &baseSlot, &info);
  const diffmark::BitmapInfoHeader baseHeader = info.bmiHeader;
  const uint8_t* other = base != nullptr ? Load("Image1.bmp", &otherSlot, &info) : nullptr;
  constexpr size_t kCopyLimit = 64u << 20;  // the reader's own bounds keep blocks far smaller
  if (base != nullptr && other != nullptr && diffmark::platform::BlockSize(baseSlot) < kCopyLimit &&
      diffmark::platform::BlockSize(otherSlot) < kCopyLimit) {
    constexpr size_t kGuard = 64;
    const size_t baseBytes = diffmark::platform::BlockSize(baseSlot);
    const size_t otherBytes = diffmark::platform::BlockSize(otherSlot);
    std::vector<uint8_t> a(baseBytes + 2 * kGuard, 0xA5);
    std::vector<uint8_t> b(otherBytes + 2 * kGuard, 0x5A);
    std::memcpy(a.data() + kGuard, base, baseBytes);
    std::memcpy(b.data() + kGuard, other, otherBytes);
    const std::vector<uint8_t> bBefore = b;
    const diffmark::RowPlan plan = diffmark::PlanRows(baseHeader, info.bmiHeader);
    diffmark::ArrangeBaseRows(plan, a.data() + kGuard, baseBytes);
    diffmark::MarkDifferences(a.data() + kGuard, baseBytes, b.data() + kGuard, otherBytes, plan.width,
                              plan.rows);
    for (size_t i = 0; i < kGuard; ++i) {
      if (a[i] != 0xA5 || a[a.size() - 1 - i] != 0xA5) fuzz::Fail("marking wrote outside the base block");
    }
    if (b != bBefore) fuzz::Fail("marking changed the other image");
  }
  Release(baseSlot);
  Release(otherSlot);
  return 0;
}
