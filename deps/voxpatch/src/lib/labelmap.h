// The labels of one kind (rel32 or abs32) of a disassembled program, keyed
// by address.  Lookups go through a hash index; iteration is in ascending
// address order.  Labels live in blocks owned by the map, so their
// addresses stay valid until the map is destroyed, also for labels taken
// out with RemoveUnless.  Nothing here throws; allocation failures are
// reported as null or false.

#ifndef VOXPATCH_LABELMAP_H
#define VOXPATCH_LABELMAP_H

#include <cstddef>
#include <cstdint>

#include "growablearray.h"

namespace voxpatch {

struct AddressLabel {
  uint32_t address = 0;
  int32_t index = -1;  // -1: no index yet
  int32_t count = 0;   // number of references
};

class LabelMap {
 public:
  LabelMap() = default;
  ~LabelMap();
  LabelMap(const LabelMap&) = delete;
  LabelMap& operator=(const LabelMap&) = delete;

  // The label of an address, made (index -1, count 0) when absent; null
  // only when memory runs out.
  AddressLabel* FindOrAdd(uint32_t address);
  // The label of an address, or null.
  AddressLabel* Find(uint32_t address) const;

  size_t size() const { return ordered_.size(); }
  bool empty() const { return ordered_.empty(); }

  // Iteration in ascending address order (the order is made on first use
  // after a change).
  AddressLabel* const* begin() const;
  AddressLabel* const* end() const;

  // Frees the address index; it is rebuilt by the next lookup.  Iteration
  // and the labels themselves are not affected.
  void ReleaseIndex();

  // Takes every label for which keep(label) is false out of the map.
  // Returns false when memory runs out (the map is then unchanged).
  template <typename Keep>
  bool RemoveUnless(Keep keep);

 private:
  static constexpr uint32_t kBlockSize = 4096;

  // A slot of the hash index: 1 + the label's number in the block storage;
  // 0 marks a free slot.  Open addressing with linear probing, at most half
  // full.  (The address is read from the label, which keeps the index small:
  // it is the largest part of a big map while it is being filled.)
  struct Slot {
    uint32_t label;
  };

  AddressLabel* LabelOf(uint32_t number) const {
    return &blocks_[number / kBlockSize][number % kBlockSize];
  }
  bool Grow();
  // Rebuilds a released index; false when memory runs out.
  bool EnsureIndex() const;
  // Index size for n labels: a power of two, at least twice n.
  static size_t SlotsFor(size_t n);
  bool Reindex(size_t slots, const GrowableArray<uint8_t>& removed,
               GrowableArray<Slot>* index) const;
  void Sort() const;
  static size_t SlotOf(uint32_t address, size_t mask);

  GrowableArray<AddressLabel*> blocks_;  // label storage, kBlockSize each
  uint32_t made_ = 0;                    // labels made (numbers 0 .. made_ - 1)
  GrowableArray<uint8_t> removed_;       // per number, once anything was removed
  mutable GrowableArray<Slot> slots_;  // empty once released
  // The live labels; sorted by address when sorted_ is set.
  mutable GrowableArray<AddressLabel*> ordered_;
  mutable bool sorted_ = true;
};

template <typename Keep>
bool LabelMap::RemoveUnless(Keep keep) {
  Sort();
  GrowableArray<uint8_t> removed;
  GrowableArray<AddressLabel*> kept;
  if (!removed.reserve(made_) || !kept.reserve(ordered_.size())) return false;
  for (uint32_t n = 0; n < made_; ++n) {
    const uint8_t gone = !removed_.empty() ? removed_[n] : 0;
    removed.push_back(gone != 0 || !keep(LabelOf(n)) ? 1 : 0);
  }
  for (AddressLabel* label : ordered_) {
    if (keep(label)) kept.push_back(label);
  }
  GrowableArray<Slot> index;  // stays empty when the index was released
  if (!slots_.empty() && !Reindex(slots_.size(), removed, &index)) return false;
  removed_ = static_cast<GrowableArray<uint8_t>&&>(removed);
  ordered_ = static_cast<GrowableArray<AddressLabel*>&&>(kept);
  slots_ = static_cast<GrowableArray<Slot>&&>(index);
  return true;
}

}  // namespace voxpatch

#endif  // VOXPATCH_LABELMAP_H
