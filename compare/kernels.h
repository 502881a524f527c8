// The inner loops of comparing, chosen once per process for the processor
// it runs on: the plain loop, SSE2, or AVX2 where the processor has it.
// Every path that compares or marks goes through the one set chosen here.
#pragma once

#include <cstdint>

namespace diffmark {

// The marker written over a differing byte, by its place in the pixel
// (blue, green, red): a pixel that differs in all three shows magenta.
inline constexpr uint8_t kMarkerBlue = 255;
inline constexpr uint8_t kMarkerGreen = 0;
inline constexpr uint8_t kMarkerRed = 255;
inline constexpr uint8_t kMarker[3] = {kMarkerBlue, kMarkerGreen, kMarkerRed};

enum class KernelSet { Scalar, Sse2, Avx2 };

struct Kernels {
  KernelSet set = KernelSet::Scalar;
  const char* name = "scalar";
  // Overwrites every byte of [0, n) of `base` that differs from `other`
  // with its channel's marker; `base` starts a pixel, so byte i is channel
  // i % 3.
  void (*markRow)(uint8_t* base, const uint8_t* other, uint64_t n) = nullptr;
  // Bit i set for each of the 64 bytes at a and b that are more than
  // `threshold` (0 to 255) apart.
  uint64_t (*differ64)(const uint8_t* a, const uint8_t* b, int threshold) = nullptr;
};

// The fastest set this build and processor have, chosen on the first call.
[[nodiscard]] const Kernels& BestKernels();

// One set in particular (for tests and benchmarks); nullptr when this
// build or processor lacks it.
[[nodiscard]] const Kernels* KernelsOf(KernelSet set);

// Bit i set for each of the first n (at most 64) bytes at a and b that are
// more than `threshold` apart: the tail of a span, one byte at a time.
[[nodiscard]] uint64_t DifferTail(const uint8_t* a, const uint8_t* b, uint64_t n, int threshold);

// For each of h rows of w pixels laid out with Rgb24Stride(w), overwrites
// every byte of `base` that differs from the same byte of `other` with the
// marker of its channel, through `kernels` (default: the best).  Row
// padding is neither compared nor changed; `other` is only read.  Bytes at
// or past either block's size are left alone, so a block shorter than the
// geometry is never overrun.
void MarkDifferences(uint8_t* base, uint64_t baseBytes, const uint8_t* other, uint64_t otherBytes,
                     int32_t width, int32_t height, const Kernels& kernels = BestKernels());

}  // namespace diffmark
