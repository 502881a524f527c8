// MarkDifferences against memcmp over two 8192 x 8192 24-bit images (about
// 1 % of the pixels differ), in one run, with the ratio of their
// throughputs.  memcmp returns at the first difference, so its floor
// compares the first image with an identical copy: the same bytes read,
// the whole way.  Also ArrangeBaseRows, which turns the first image's rows
// over when the two files' orientations differ: one more pass over it.
// Figures only: nothing here fails on timing.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "compare/kernels.h"
#include "compare/rows.h"

namespace {

constexpr int32_t kSide = 8192;

struct Images {
  std::vector<uint8_t> base, copy, other;
  uint64_t bytes = 0;
  Images() {
    bytes = static_cast<uint64_t>(diffmark::Rgb24Stride(kSide)) * kSide;
    base.resize(bytes);
    std::mt19937_64 random(1);
    for (size_t i = 0; i + 8 <= base.size(); i += 8) {
      const uint64_t v = random();
      std::memcpy(&base[i], &v, 8);
    }
    copy = base;
    other = base;
    const uint64_t pixels = uint64_t{kSide} * kSide;
    for (uint64_t n = 0; n < pixels / 100; ++n) {
      const uint64_t p = random() % pixels;
      other[3 * p + random() % 3] ^= 0x5A;
    }
  }
};

Images& Shared() {
  static Images images;
  return images;
}

void BM_memcmp(benchmark::State& state) {
  Images& im = Shared();
  for (auto _ : state) {
    benchmark::DoNotOptimize(std::memcmp(im.base.data(), im.copy.data(), im.bytes));
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(im.bytes));
}

void BM_Mark(benchmark::State& state, diffmark::KernelSet set) {
  Images& im = Shared();
  const diffmark::Kernels* kernels = diffmark::KernelsOf(set);
  for (auto _ : state) {
    if (kernels == nullptr) {
      state.SkipWithError("not available here");
      break;
    }
    diffmark::MarkDifferences(im.base.data(), im.bytes, im.other.data(), im.bytes, kSide, kSide, *kernels);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(im.bytes));
}

void BM_MarkDifferences(benchmark::State& state) {
  Images& im = Shared();
  for (auto _ : state) {
    diffmark::MarkDifferences(im.base.data(), im.bytes, im.other.data(), im.bytes, kSide, kSide);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(im.bytes));
}

void BM_ArrangeBaseRows(benchmark::State& state) {
  Images& im = Shared();
  const diffmark::RowPlan plan{kSide, kSide, true};
  for (auto _ : state) {
    diffmark::ArrangeBaseRows(plan, im.base.data(), im.bytes);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(im.bytes));
}

BENCHMARK(BM_memcmp)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_MarkDifferences)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK_CAPTURE(BM_Mark, Sse2, diffmark::KernelSet::Sse2)
    ->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK_CAPTURE(BM_Mark, Avx2, diffmark::KernelSet::Avx2)
    ->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK_CAPTURE(BM_Mark, Scalar, diffmark::KernelSet::Scalar)
    ->Unit(benchmark::kMillisecond)->Repetitions(3)->ReportAggregatesOnly(true);
BENCHMARK(BM_ArrangeBaseRows)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

// Remembers each benchmark's median throughput for the ratio line.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  RatioReporter() : ConsoleReporter(OO_Tabular) {}
  std::map<std::string, double> median;
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.aggregate_name == "median") {
        std::string name = run.run_name.function_name;
        if (!run.run_name.args.empty()) name += "/" + run.run_name.args;
        median[name] = run.counters.at("bytes_per_second");
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  Shared();
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double floor = reporter.median["BM_memcmp"];
  if (floor > 0) {
    for (const char* name :
         {"BM_MarkDifferences", "BM_Mark/Sse2", "BM_Mark/Avx2", "BM_Mark/Scalar", "BM_ArrangeBaseRows"}) {
      const double v = reporter.median[name];
      if (v <= 0) continue;
      std::printf("%-30s %7.2f GB/s = %.2f x memcmp (%.2f GB/s)\n", name, v / 1e9, v / floor, floor / 1e9);
    }
  }
  benchmark::Shutdown();
  return 0;
}
