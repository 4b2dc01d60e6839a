// Lookup of the first interval, in the order the intervals were given, that
// holds a value: built once in O(n log n), each lookup in O(log n).  Used
// for address translations through tables that a file may fill with many
// overlapping entries.

#ifndef VOXPATCH_INTERVALINDEX_H
#define VOXPATCH_INTERVALINDEX_H

#include <cstddef>
#include <cstdint>

#include "growablearray.h"

namespace voxpatch {

class IntervalIndex {
 public:
  static constexpr uint32_t kNone = 0xFFFFFFFFu;

  // Forgets every interval.
  void Clear();
  // Adds [start, end) as the next interval (index = number added before);
  // an empty interval holds nothing.  False when memory runs out.
  bool Add(uint64_t start, uint64_t end);
  // Prepares the lookups; call once after the last Add.
  bool Build();
  // The index of the first interval holding value, or kNone.
  uint32_t Find(uint64_t value) const;

 private:
  struct Interval {
    uint64_t start;
    uint64_t end;
    uint32_t index;
  };
  GrowableArray<Interval> intervals_;
  // Elementary pieces [bounds_[i], bounds_[i + 1]) and the first interval
  // holding each (owners_[i]).
  GrowableArray<uint64_t> bounds_;
  GrowableArray<uint32_t> owners_;
  uint32_t added_ = 0;
};

}  // namespace voxpatch

#endif  // VOXPATCH_INTERVALINDEX_H
