// The largest group of differing pixels: pixels that touch by a side or a
// corner belong to one group.  A change people look for (a button, a word)
// is one large group; anti-aliasing and noise that got past the threshold
// are many small ones, however many pixels they add up to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace diffmark {

struct Cluster {
  uint64_t pixels = 0;  // 0: no differing pixel
  // Bounding box, top-left origin, inclusive; valid when pixels > 0.
  int32_t minX = 0, minY = 0, maxX = 0, maxY = 0;
};

// Whether `a` is the larger group; of two as large, the one higher up,
// then further left (so that the answer does not depend on the order in
// which bands of rows were scanned).
bool LargerCluster(const Cluster& a, const Cluster& b);

// Finds the largest group a row at a time, holding the runs of differing
// pixels of the band's first and last row and the groups they belong to:
// memory in proportion to a row, not to the picture.  Bands scanned apart
// (threads, streamed chunks) are joined with Append, in any grouping.
class ClusterScan {
 public:
  // Row y's differing pixels, x ascending.  Rows come one after another,
  // y one more than the row before, rows without differing pixels too.
  void AddRow(int32_t y, const int32_t* xs, size_t count);
  // Joins the scan of the rows right below this one's (its first row one
  // after this one's last) to this one.
  void Append(ClusterScan&& below);
  // The largest group; of the picture once every row is in.
  Cluster Largest() const;

  bool Empty() const { return !any_; }
  int32_t FirstRow() const { return first_; }
  int32_t EndRow() const { return last_ + 1; }

 private:
  struct Run {
    int32_t from, to;  // inclusive
    uint32_t group;
  };
  struct Group {
    uint32_t parent;
    Cluster cluster;
  };
  uint32_t Find(uint32_t g);
  uint32_t Join(uint32_t a, uint32_t b);  // roots; returns the joined root
  void Compact();

  bool any_ = false;
  int32_t first_ = 0, last_ = 0;
  std::vector<Run> top_;     // the first row's runs
  std::vector<Run> bottom_;  // the last row's runs
  std::vector<Run> row_;
  std::vector<Group> groups_;
  Cluster closed_;  // the largest of the groups dropped by Compact
};

// Scans of bands of one picture, handed in as they finish in any order by
// several threads, joined as soon as they border each other.
class ClusterBands {
 public:
  void Add(ClusterScan&& band);
  // The largest group of all bands added (all of them by then).
  Cluster Largest();

 private:
  std::mutex mutex_;
  std::vector<ClusterScan> bands_;  // none borders another
};

}  // namespace diffmark
