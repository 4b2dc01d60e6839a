#include "intervalindex.h"

#include <algorithm>
#include <functional>

namespace voxpatch {

void IntervalIndex::Clear() {
  intervals_.clear();
  bounds_.clear();
  owners_.clear();
  added_ = 0;
}

bool IntervalIndex::Add(uint64_t start, uint64_t end) {
  const uint32_t index = added_++;
  if (start >= end) return true;
  const Interval interval = {start, end, index};
  return intervals_.push_back(interval);
}

bool IntervalIndex::Build() {
  bounds_.clear();
  owners_.clear();
  const size_t n = intervals_.size();
  if (n == 0) return true;
  std::sort(intervals_.begin(), intervals_.end(),
            [](const Interval& a, const Interval& b) { return a.start < b.start; });
  if (!bounds_.reserve(2 * n) || !owners_.reserve(2 * n)) return false;
  for (const Interval& interval : intervals_) {
    bounds_.push_back(interval.start);
    bounds_.push_back(interval.end);
  }
  std::sort(bounds_.begin(), bounds_.end());
  bounds_.set_size(static_cast<size_t>(std::unique(bounds_.begin(), bounds_.end()) -
                                       bounds_.begin()));

  // Sweep the pieces in ascending order with a heap of the intervals begun
  // so far, lowest index on top; an interval ended at a piece's start can
  // never hold a later piece, so it leaves the heap for good.
  GrowableArray<uint32_t> heap;  // positions in intervals_
  if (!heap.reserve(n)) return false;
  auto later = [this](uint32_t a, uint32_t b) {
    return intervals_[a].index > intervals_[b].index;
  };
  size_t begun = 0;
  for (size_t piece = 0; piece + 1 < bounds_.size(); ++piece) {
    const uint64_t at = bounds_[piece];
    while (begun < n && intervals_[begun].start <= at) {
      heap.push_back(static_cast<uint32_t>(begun++));
      std::push_heap(heap.begin(), heap.end(), later);
    }
    while (!heap.empty() && intervals_[heap[0]].end <= at) {
      std::pop_heap(heap.begin(), heap.end(), later);
      heap.set_size(heap.size() - 1);
    }
    owners_.push_back(heap.empty() ? kNone : intervals_[heap[0]].index);
  }
  return true;
}

uint32_t IntervalIndex::Find(uint64_t value) const {
  if (owners_.empty()) return kNone;
  const uint64_t* after = std::upper_bound(bounds_.begin(), bounds_.end(), value);
  if (after == bounds_.begin() || after == bounds_.end()) return kNone;
  return owners_[static_cast<size_t>(after - bounds_.begin()) - 1];
}

}  // namespace voxpatch
