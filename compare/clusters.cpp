#include "compare/clusters.h"

#include <algorithm>
#include <utility>

namespace diffmark {

namespace {

constexpr uint32_t kNoGroup = UINT32_MAX;

void Extend(Cluster& c, int32_t from, int32_t to, int32_t y) {
  if (c.pixels == 0) {
    c.minX = from;
    c.maxX = to;
    c.minY = c.maxY = y;
  } else {
    c.minX = std::min(c.minX, from);
    c.maxX = std::max(c.maxX, to);
    c.minY = std::min(c.minY, y);
    c.maxY = std::max(c.maxY, y);
  }
  c.pixels += static_cast<uint64_t>(to - from) + 1;
}

}  // namespace

bool LargerCluster(const Cluster& a, const Cluster& b) {
  if (a.pixels != b.pixels) return a.pixels > b.pixels;
  if (a.pixels == 0) return false;
  if (a.minY != b.minY) return a.minY < b.minY;
  if (a.minX != b.minX) return a.minX < b.minX;
  if (a.maxY != b.maxY) return a.maxY < b.maxY;
  return a.maxX < b.maxX;
}

uint32_t ClusterScan::Find(uint32_t g) {
  uint32_t root = g;
  while (groups_[root].parent != root) root = groups_[root].parent;
  while (groups_[g].parent != root) {  // every group on the way now points at the root
    const uint32_t next = groups_[g].parent;
    groups_[g].parent = root;
    g = next;
  }
  return root;
}

uint32_t ClusterScan::Join(uint32_t a, uint32_t b) {
  if (a == b) return a;
  if (groups_[a].cluster.pixels < groups_[b].cluster.pixels) std::swap(a, b);
  Cluster& into = groups_[a].cluster;
  const Cluster& from = groups_[b].cluster;
  if (from.pixels > 0) {
    if (into.pixels == 0) {
      into = from;
    } else {
      into.minX = std::min(into.minX, from.minX);
      into.maxX = std::max(into.maxX, from.maxX);
      into.minY = std::min(into.minY, from.minY);
      into.maxY = std::max(into.maxY, from.maxY);
      into.pixels += from.pixels;
    }
  }
  groups_[b].parent = a;
  return a;
}

void ClusterScan::AddRow(int32_t y, const int32_t* xs, size_t count) {
  if (any_ && y != last_ + 1) bottom_.clear();  // not the next row: nothing above touches it
  row_.clear();
  for (size_t i = 0; i < count;) {
    size_t end = i + 1;
    while (end < count && xs[end] == xs[end - 1] + 1) ++end;
    row_.push_back(Run{xs[i], xs[end - 1], kNoGroup});
    i = end;
  }
  // Each run joins the groups of the runs above that touch it, corners
  // included; runs above lie left to right, so one pass serves the row.
  size_t above = 0;
  for (Run& run : row_) {
    while (above < bottom_.size() && bottom_[above].to + 1 < run.from) ++above;
    uint32_t group = kNoGroup;
    for (size_t k = above; k < bottom_.size() && bottom_[k].from <= run.to + 1; ++k) {
      const uint32_t other = Find(bottom_[k].group);
      group = group == kNoGroup ? other : Join(group, other);
    }
    if (group == kNoGroup) {
      group = static_cast<uint32_t>(groups_.size());
      groups_.push_back(Group{group, Cluster{}});
    }
    Extend(groups_[group].cluster, run.from, run.to, y);
    run.group = group;
  }
  if (!any_) {
    any_ = true;
    first_ = y;
    top_ = row_;
  }
  last_ = y;
  std::swap(bottom_, row_);
  // Groups that no run of the first or last row belongs to are complete;
  // they are dropped (their largest remembered) once they outnumber the
  // live ones, so memory follows the rows, not the picture.
  if (groups_.size() > 2 * (top_.size() + bottom_.size()) + 4096) Compact();
}

void ClusterScan::Compact() {
  std::vector<uint32_t> renumbered(groups_.size(), kNoGroup);
  for (std::vector<Run>* runs : {&top_, &bottom_}) {
    for (Run& run : *runs) run.group = Find(run.group);
  }
  std::vector<Group> live;
  for (const std::vector<Run>* runs : {&top_, &bottom_}) {
    for (const Run& run : *runs) {
      if (renumbered[run.group] != kNoGroup) continue;
      renumbered[run.group] = static_cast<uint32_t>(live.size());
      live.push_back(Group{static_cast<uint32_t>(live.size()), groups_[run.group].cluster});
    }
  }
  for (uint32_t g = 0; g < groups_.size(); ++g) {
    if (groups_[g].parent == g && renumbered[g] == kNoGroup && LargerCluster(groups_[g].cluster, closed_)) {
      closed_ = groups_[g].cluster;
    }
  }
  for (std::vector<Run>* runs : {&top_, &bottom_}) {
    for (Run& run : *runs) run.group = renumbered[run.group];
  }
  groups_ = std::move(live);
}

void ClusterScan::Append(ClusterScan&& below) {
  if (!below.any_) return;
  if (!any_) {
    *this = std::move(below);
    return;
  }
  const auto offset = static_cast<uint32_t>(groups_.size());
  for (Group& g : below.groups_) {
    g.parent += offset;
    groups_.push_back(g);
  }
  for (std::vector<Run>* runs : {&below.top_, &below.bottom_}) {
    for (Run& run : *runs) run.group += offset;
  }
  if (LargerCluster(below.closed_, closed_)) closed_ = below.closed_;
  if (below.first_ == last_ + 1) {
    size_t above = 0;
    for (const Run& run : below.top_) {
      while (above < bottom_.size() && bottom_[above].to + 1 < run.from) ++above;
      for (size_t k = above; k < bottom_.size() && bottom_[k].from <= run.to + 1; ++k) {
        (void)Join(Find(run.group), Find(bottom_[k].group));
      }
    }
  }
  bottom_ = std::move(below.bottom_);
  last_ = below.last_;
  below = ClusterScan{};
  Compact();
}

Cluster ClusterScan::Largest() const {
  Cluster best = closed_;
  for (uint32_t g = 0; g < groups_.size(); ++g) {
    if (groups_[g].parent == g && LargerCluster(groups_[g].cluster, best)) best = groups_[g].cluster;
  }
  return best;
}

void ClusterBands::Add(ClusterScan&& band) {
  if (band.Empty()) return;
  std::lock_guard<std::mutex> hold(mutex_);
  for (size_t i = 0; i < bands_.size();) {
    if (bands_[i].EndRow() == band.FirstRow()) {
      bands_[i].Append(std::move(band));
      band = std::move(bands_[i]);
    } else if (band.EndRow() == bands_[i].FirstRow()) {
      band.Append(std::move(bands_[i]));
    } else {
      ++i;
      continue;
    }
    bands_.erase(bands_.begin() + static_cast<std::ptrdiff_t>(i));
    i = 0;  // the joined band may border another one now
  }
  bands_.push_back(std::move(band));
}

Cluster ClusterBands::Largest() {
  std::lock_guard<std::mutex> hold(mutex_);
  Cluster best;
  for (const ClusterScan& band : bands_) {
    const Cluster c = band.Largest();
    if (LargerCluster(c, best)) best = c;
  }
  return best;
}

}  // namespace diffmark
