// Comparing two pictures row by row.  Each row is split into the spans
// that no ignored region covers; a span is scanned 64 bytes at a time for
// bytes that differ by more than the threshold, and only where some do are
// the bytes looked at one by one (counted, and their pixels noted for
// marking).  Pixels are painted only after their row has been scanned, so
// a painted pixel is never compared again.
#include "compare/compare.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <latch>
#include <system_error>
#include <thread>

#include "compare/kernels.h"
#include "compare/modes.h"

namespace diffmark {

namespace {

struct Span {
  int32_t from;
  int32_t to;  // exclusive
};

// The parts of [from, to) on row y that no ignored region covers.
void IncludedSpans(const std::vector<Region>& ignore, int32_t y, int32_t from, int32_t to,
                   std::vector<Span>& out) {
  out.clear();
  if (from >= to) return;
  if (ignore.empty()) {
    out.push_back({from, to});
    return;
  }
  std::vector<Span> cut;
  for (const Region& r : ignore) {
    if (y < r.y || y - r.y >= r.height) continue;
    const int64_t a = std::max<int64_t>(r.x, from);
    const int64_t b = std::min<int64_t>(r.x + r.width, to);
    if (a < b) cut.push_back({static_cast<int32_t>(a), static_cast<int32_t>(b)});
  }
  std::sort(cut.begin(), cut.end(), [](const Span& p, const Span& q) { return p.from < q.from; });
  int32_t at = from;
  for (const Span& c : cut) {
    if (c.from > at) out.push_back({at, c.from});
    at = std::max(at, c.to);
  }
  if (at < to) out.push_back({at, to});
}

void NoteBox(Stats& s, int32_t x0, int32_t x1, int32_t y) {  // pixels [x0, x1] of row y
  if (s.differentPixels == 0) {
    s.minX = x0;
    s.maxX = x1;
    s.minY = y;
    s.maxY = y;
    return;
  }
  s.minX = std::min(s.minX, x0);
  s.maxX = std::max(s.maxX, x1);
  s.minY = std::min(s.minY, y);
  s.maxY = std::max(s.maxY, y);
}

// Scans bytes [0, n) of a span (which starts at a pixel boundary) and
// hands every differing byte to `onByte(byteIndex)`, in order.
template <typename OnByte>
void ScanSpan(const uint8_t* a, const uint8_t* b, uint64_t n, int threshold, OnByte&& onByte) {
  const auto differ64 = BestKernels().differ64;
  uint64_t at = 0;
  for (; at + 64 <= n; at += 64) {
    uint64_t mask = differ64(a + at, b + at, threshold);
    while (mask != 0) {
      onByte(at + static_cast<uint64_t>(__builtin_ctzll(mask)));
      mask &= mask - 1;
    }
  }
  if (at < n) {
    uint64_t mask = DifferTail(a + at, b + at, n - at, threshold);
    while (mask != 0) {
      onByte(at + static_cast<uint64_t>(__builtin_ctzll(mask)));
      mask &= mask - 1;
    }
  }
}

// Pixels [from, to) of row y that only one picture covers (outside the
// ignored regions): each counts as differing in all three bytes; those of
// them inside the base's `baseWidth` go to `outside` for marking.
void CountOutside(const std::vector<Region>& ignore, int32_t y, int32_t from, int32_t to, int32_t baseWidth,
                  Stats& s, std::vector<Span>& spans, std::vector<int32_t>& outside) {
  IncludedSpans(ignore, y, from, to, spans);
  for (const Span& span : spans) {
    const auto n = static_cast<uint64_t>(span.to - span.from);
    NoteBox(s, span.from, span.to - 1, y);
    s.pixels += n;
    s.differentPixels += n;
    s.differentBytes += 3 * n;
    for (uint64_t& c : s.perChannel) c += n;
    for (int32_t x = span.from; x < std::min(span.to, baseWidth); ++x) outside.push_back(x);
  }
}

PerceptualSettings SettingsOf(const CompareOptions& o) {
  PerceptualSettings s;
  s.metric = o.metric;
  s.threshold = o.perceptualThreshold;
  s.antialiasing = o.antialiasing;
  s.channelThreshold = o.threshold;
  return s;
}

// The verdicts of a block of rows, kept until the block is counted and
// marked (which waits for the next block: anti-aliasing reads the rows
// around a pixel as they were).
struct BlockClasses {
  int32_t first = 0;  // image rows [first, end)
  int32_t end = 0;
  int32_t width = 0;
  std::vector<uint8_t> bytes;  // width per row
  std::vector<uint8_t> any;    // per row: whether any pixel is over the threshold

  void Reset(int32_t from, int32_t to, int32_t w) {
    first = from;
    end = to;
    width = w;
    const auto rows = static_cast<size_t>(std::max(to - from, 0));
    bytes.resize(rows * static_cast<size_t>(w));
    any.assign(rows, 0);
  }
  const uint8_t* Row(int32_t y) const {
    const auto i = static_cast<size_t>(y - first);
    return y < end && y >= first && any[i] ? bytes.data() + i * static_cast<size_t>(width) : nullptr;
  }
};

void StoreClasses(void* context, int32_t y, const uint8_t* classes, int32_t width) {
  auto* block = static_cast<BlockClasses*>(context);
  const auto i = static_cast<size_t>(y - block->first);
  block->any[i] = classes != nullptr;
  if (classes != nullptr) std::copy(classes, classes + width, block->bytes.data() + i * static_cast<size_t>(width));
}

// Rows of the perceptual path, anti-aliasing or not: counted, and marked
// by the mode, from the verdicts of their block.
class PerceptualRows {
 public:
  PerceptualRows(const Band& base, const Band& other, const CompareOptions& options, ClusterScan* clusters)
      : base_(base), other_(other), options_(options), clusters_(clusters), mode_(InfoOf(options.mode)),
        sharedWidth_(std::min(base.rows.width, other.rows.width)),
        sharedHeight_(std::min(base.imageHeight, other.imageHeight)),
        byteThreshold_(options.metric == Metric::Channel ? options.threshold : 0) {}

  // Counts and marks rows [block.first, block.end).
  void Finish(const BlockClasses& block) { Finish(block, block.first, block.end); }
  // Counts and marks rows [from, to) of the block.
  void Finish(const BlockClasses& block, int32_t from, int32_t to) {
    for (int32_t y = from; y < to; ++y) FinishRow(y, block.Row(y));
  }

  Stats stats;

 private:
  void FinishRow(int32_t y, const uint8_t* classes) {
    changed_.clear();
    outside_.clear();
    antialiased_.clear();
    const bool inBase = y < base_.imageHeight;
    const bool inOther = y < other_.imageHeight;
    uint8_t* baseRow = inBase ? base_.rows.Row(y - base_.first) : nullptr;
    if (y < sharedHeight_) {
      const uint8_t* otherRow = other_.rows.Row(y - other_.first);
      IncludedSpans(options_.ignore, y, 0, sharedWidth_, spans_);
      for (const Span& span : spans_) {
        stats.pixels += static_cast<uint64_t>(span.to - span.from);
        if (classes == nullptr) continue;
        for (int32_t x = span.from; x < span.to; ++x) {
          const uint8_t verdict = classes[x];
          if (verdict == kPixelSame) continue;
          if (verdict == kPixelAntialiased) {
            antialiased_.push_back(x);
            continue;
          }
          changed_.push_back(x);
          const uint8_t* a = baseRow + 3 * int64_t{x};
          const uint8_t* b = otherRow + 3 * int64_t{x};
          for (int k = 0; k < 3; ++k) {
            const int d = a[k] > b[k] ? a[k] - b[k] : b[k] - a[k];
            if (d > byteThreshold_) {
              ++stats.differentBytes;
              ++stats.perChannel[k];
            }
          }
        }
      }
      if (!changed_.empty()) {
        NoteBox(stats, changed_.front(), changed_.back(), y);
        stats.differentPixels += changed_.size();
      }
      if (clusters_ != nullptr) clusters_->AddRow(y, changed_.data(), changed_.size());
      stats.antialiasedPixels += antialiased_.size();
      if (inBase && mode_.marksBytesInScan) {
        for (int32_t x : changed_) {
          uint8_t* a = baseRow + 3 * int64_t{x};
          const uint8_t* b = otherRow + 3 * int64_t{x};
          for (int k = 0; k < 3; ++k) {
            const int d = a[k] > b[k] ? a[k] - b[k] : b[k] - a[k];
            if (d > byteThreshold_) a[k] = kMarker[k];
          }
        }
      }
    }
    if (y >= sharedHeight_ && clusters_ != nullptr) clusters_->AddRow(y, nullptr, 0);
    // Pixels only one picture covers, as on the channel path.
    CountOutside(options_.ignore, y, y < sharedHeight_ ? sharedWidth_ : 0,
                 std::max(inBase ? base_.rows.width : 0, inOther ? other_.rows.width : 0),
                 inBase ? base_.rows.width : 0, stats, spans_, outside_);
    if (!inBase) return;
    RowMarks marks{changed_.data(), changed_.size(), outside_.data(), outside_.size()};
    marks.antialiased = antialiased_.data();
    marks.antialiasedCount = antialiased_.size();
    mode_.paintRow(baseRow, base_.rows.width, marks, options_);
  }

  const Band& base_;
  const Band& other_;
  const CompareOptions& options_;
  ClusterScan* clusters_;  // null: groups not asked for
  const ModeInfo& mode_;
  const int32_t sharedWidth_;
  const int32_t sharedHeight_;
  const int byteThreshold_;
  std::vector<Span> spans_;
  std::vector<int32_t> changed_, outside_, antialiased_;
};

// Pictures from this size on are compared on several threads when the
// options allow it (below, starting threads costs more than they save).
constexpr int64_t kThreadedPixels = int64_t{1} << 20;

// Runs first(0) ... first(count - 1), then second(0) ... second(count - 1),
// on helper threads and this one: no second(i) starts before every first(j)
// has returned.  Each thread takes the next part of a round as it comes
// free, so a helper that cannot start leaves its parts to the others.
template <typename First, typename Second>
void InTwoRounds(unsigned count, const First& first, const Second& second) {
  std::atomic<unsigned> nextFirst{0};
  std::atomic<unsigned> nextSecond{0};
  std::latch firstDone(static_cast<std::ptrdiff_t>(count));
  const auto run = [&] {
    for (unsigned i; (i = nextFirst.fetch_add(1)) < count;) {
      first(i);
      firstDone.count_down();
    }
    firstDone.wait();
    for (unsigned i; (i = nextSecond.fetch_add(1)) < count;) second(i);
  };
  std::vector<std::thread> helpers;
  helpers.reserve(count);
  for (unsigned i = 1; i < count; ++i) {
    try {
      helpers.emplace_back(run);
    } catch (const std::system_error&) {
      break;
    }
  }
  run();
  for (std::thread& t : helpers) t.join();
}

// A band narrowed to the part of the picture both pictures cover.
Band SharedPart(const Band& band, int32_t width, int32_t height) {
  Band part = band;
  part.rows.width = width;
  part.imageHeight = height;
  return part;
}

// Rows [at, end) classified into `block`; rows below the part both
// pictures cover have no verdicts.
void ClassifyBlock(const PerceptualSettings& settings, const Band& sharedBase, const Band& sharedOther,
                   int32_t at, int32_t end, BlockClasses& block) {
  block.Reset(at, end, sharedBase.rows.width);
  const int32_t sharedEnd = std::min(end, sharedBase.imageHeight);
  PerceptualCounts ignored;  // the rows count for themselves
  if (at < sharedEnd) {
    (void)ClassifyRows(settings, sharedBase, sharedOther, at, sharedEnd, &ignored, StoreClasses, &block);
  }
}

constexpr int32_t kBlockRows = 64;

// The perceptual path on `threads` threads: rows [fromRow, toRow) cut into
// one part per thread, each part run as the single-threaded path runs it
// (a block classified before the block above it is marked, since a
// verdict reads the two rows on either side, unmarked).  Only the first
// and the last block of a part read rows of the neighbouring parts: those
// are classified by every thread first, before any marking starts.  Each
// thread holds three blocks of verdicts, not a picture's worth.
Stats ComparePerceptualThreaded(const Band& base, const Band& other, int32_t fromRow, int32_t toRow,
                                const CompareOptions& options, unsigned threads, ClusterScan* clusters) {
  const int32_t sharedWidth = std::min(base.rows.width, other.rows.width);
  const int32_t sharedHeight = std::min(base.imageHeight, other.imageHeight);
  const Band sharedBase = SharedPart(base, sharedWidth, sharedHeight);
  const Band sharedOther = SharedPart(other, sharedWidth, sharedHeight);
  const PerceptualSettings settings = SettingsOf(options);
  const int32_t rows = toRow - fromRow;
  const auto partFrom = [&](unsigned i) {
    return fromRow + static_cast<int32_t>(int64_t{rows} * i / threads);
  };
  // The first row of a part's last block, the blocks counted from its start.
  const auto lastBlock = [&](unsigned i) {
    const int32_t from = partFrom(i);
    return from + (partFrom(i + 1) - from - 1) / kBlockRows * kBlockRows;
  };
  struct Part {
    BlockClasses first, last, spare;
    Stats stats;
    ClusterScan clusters;
  };
  std::vector<Part> parts(threads);
  const auto classifyEnds = [&](unsigned i) {
    const int32_t from = partFrom(i), to = partFrom(i + 1), tail = lastBlock(i);
    ClassifyBlock(settings, sharedBase, sharedOther, from, std::min(to, from + kBlockRows), parts[i].first);
    if (tail > from) ClassifyBlock(settings, sharedBase, sharedOther, tail, to, parts[i].last);
  };
  InTwoRounds(threads, classifyEnds, [&](unsigned i) {
    Part& part = parts[i];
    const int32_t from = partFrom(i), to = partFrom(i + 1), tail = lastBlock(i);
    PerceptualRows marker(base, other, options, clusters != nullptr ? &part.clusters : nullptr);
    BlockClasses* waiting = &part.first;
    for (int32_t at = from + kBlockRows; at < to; at += kBlockRows) {
      BlockClasses* next = &part.last;
      if (at < tail) {
        next = waiting == &part.spare ? &part.first : &part.spare;
        ClassifyBlock(settings, sharedBase, sharedOther, at, std::min(to, at + kBlockRows), *next);
      }
      marker.Finish(*waiting);
      waiting = next;
    }
    marker.Finish(*waiting);
    part.stats = marker.stats;
  });
  Stats total;
  for (Part& part : parts) {
    AddStats(total, part.stats);
    if (clusters != nullptr) clusters->Append(std::move(part.clusters));
  }
  return total;
}

// The perceptual path (and every path with anti-aliasing) over image rows
// [fromRow, toRow), blocks of rows classified one block ahead of their
// marking.
// With `threads` > 1, large pictures are compared on that many threads.
Stats ComparePerceptual(const Band& base, const Band& other, int32_t fromRow, int32_t toRow,
                        const CompareOptions& options, ClusterScan* clusters, unsigned threads = 1) {
  const int32_t count = toRow - fromRow;
  threads = std::clamp(threads, 1u, static_cast<unsigned>(std::max(count / 64, 1)));
  if (threads > 1 && int64_t{count} * std::max(base.rows.width, other.rows.width) >= kThreadedPixels) {
    return ComparePerceptualThreaded(base, other, fromRow, toRow, options, threads, clusters);
  }
  PerceptualRows rows(base, other, options, clusters);
  const int32_t sharedWidth = std::min(base.rows.width, other.rows.width);
  const int32_t sharedHeight = std::min(base.imageHeight, other.imageHeight);
  const Band sharedBase = SharedPart(base, sharedWidth, sharedHeight);
  const Band sharedOther = SharedPart(other, sharedWidth, sharedHeight);
  const PerceptualSettings settings = SettingsOf(options);
  BlockClasses waiting;
  BlockClasses next;
  bool haveWaiting = false;
  for (int32_t at = fromRow; at < toRow; at += kBlockRows) {
    ClassifyBlock(settings, sharedBase, sharedOther, at, std::min(toRow, at + kBlockRows), next);
    if (haveWaiting) rows.Finish(waiting);
    std::swap(waiting, next);
    haveWaiting = true;
  }
  if (haveWaiting) rows.Finish(waiting);
  return rows.stats;
}

}  // namespace

uint64_t IncludedPixels(const std::vector<Region>& ignore, int32_t width, int32_t height) {
  if (ignore.empty()) return static_cast<uint64_t>(std::max(width, 0)) * static_cast<uint64_t>(std::max(height, 0));
  uint64_t pixels = 0;
  std::vector<Span> spans;
  for (int32_t y = 0; y < height; ++y) {
    IncludedSpans(ignore, y, 0, width, spans);
    for (const Span& span : spans) pixels += static_cast<uint64_t>(span.to - span.from);
  }
  return pixels;
}

bool ComparesPixelsAlone(const CompareOptions& options) {
  return options.metric == Metric::Channel && !options.antialiasing;
}

Stats CompareBands(const Band& base, const Band& other, int32_t fromRow, int32_t toRow,
                   const CompareOptions& options, ClusterScan* clusters) {
  ClusterScan own;
  ClusterScan* scan = !options.largestCluster ? nullptr : clusters != nullptr ? clusters : &own;
  Stats s = ComparePerceptual(base, other, fromRow, toRow, options, scan);
  if (scan == &own) s.largest = own.Largest();
  return s;
}

void AddStats(Stats& total, const Stats& more) {
  if (more.differentPixels > 0) {
    if (total.differentPixels == 0) {
      total.minX = more.minX;
      total.maxX = more.maxX;
      total.minY = more.minY;
      total.maxY = more.maxY;
    } else {
      total.minX = std::min(total.minX, more.minX);
      total.maxX = std::max(total.maxX, more.maxX);
      total.minY = std::min(total.minY, more.minY);
      total.maxY = std::max(total.maxY, more.maxY);
    }
  }
  total.pixels += more.pixels;
  total.antialiasedPixels += more.antialiasedPixels;
  total.differentPixels += more.differentPixels;
  total.differentBytes += more.differentBytes;
  for (int c = 0; c < 3; ++c) total.perChannel[c] += more.perChannel[c];
}

Stats ComparePictures(const Picture& base, const Picture& other, const CompareOptions& options,
                      int32_t firstRow, ClusterScan* clusters) {
  ClusterScan own;
  ClusterScan* scan = !options.largestCluster ? nullptr : clusters != nullptr ? clusters : &own;
  Stats s;
  if (!ComparesPixelsAlone(options)) {
    const Band b{base, firstRow, firstRow + base.height};
    const Band o{other, firstRow, firstRow + other.height};
    s = ComparePerceptual(b, o, firstRow, firstRow + std::max(base.height, other.height), options, scan,
                          options.threads);
    if (scan == &own) s.largest = own.Largest();
    return s;
  }
  const int32_t sharedWidth = std::min(base.width, other.width);
  const int32_t sharedHeight = std::min(base.height, other.height);
  const int32_t rows = std::max(base.height, other.height);
  const ModeInfo& mode = InfoOf(options.mode);
  // Channels marks each differing byte as the scan finds it: one pass.
  const bool markInScan = mode.marksBytesInScan;

  std::vector<Span> spans;
  std::vector<int32_t> changed;  // differing pixels of the row that both pictures cover
  std::vector<int32_t> outside;  // base pixels of the row that `other` does not cover

  for (int32_t y = 0; y < rows; ++y) {
    const int32_t at = firstRow + y;  // the row in the whole picture
    changed.clear();
    outside.clear();
    const bool inBase = y < base.height;
    const bool inOther = y < other.height;
    uint8_t* baseRow = inBase ? base.Row(y) : nullptr;

    if (y < sharedHeight) {
      const uint8_t* otherRow = other.Row(y);
      IncludedSpans(options.ignore, at, 0, sharedWidth, spans);
      for (const Span& span : spans) {
        s.pixels += static_cast<uint64_t>(span.to - span.from);
        uint8_t* a = baseRow + 3 * int64_t{span.from};
        const uint8_t* b = otherRow + 3 * int64_t{span.from};
        const uint64_t n = 3 * static_cast<uint64_t>(span.to - span.from);
        const size_t before = changed.size();
        int64_t lastPixel = -1;
        ScanSpan(a, b, n, options.threshold, [&](uint64_t i) {
          const uint64_t channel = i % 3;
          ++s.differentBytes;
          ++s.perChannel[channel];
          const auto pixel = static_cast<int64_t>(i / 3);
          if (pixel != lastPixel) {
            lastPixel = pixel;
            changed.push_back(span.from + static_cast<int32_t>(pixel));
          }
          if (markInScan) a[i] = kMarker[channel];
        });
        if (changed.size() > before) {
          NoteBox(s, changed[before], changed.back(), at);
          s.differentPixels += changed.size() - before;
        }
      }
    }

    if (scan != nullptr) scan->AddRow(at, changed.data(), changed.size());
    // Pixels only one picture covers: on this row, from the end of the
    // shared part (or the start, below it) to the wider of the two.
    CountOutside(options.ignore, at, y < sharedHeight ? sharedWidth : 0,
                 std::max(inBase ? base.width : 0, inOther ? other.width : 0), inBase ? base.width : 0, s, spans,
                 outside);

    if (!inBase) continue;
    const RowMarks marks{changed.data(), changed.size(), outside.data(), outside.size()};
    mode.paintRow(baseRow, base.width, marks, options);
  }
  if (scan == &own) s.largest = own.Largest();
  return s;
}

}  // namespace diffmark
