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
#include <iterator>

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

  // Makes the labels of n addresses, which must be in strictly ascending
  // order, in a map that has none yet: the label made i-th (Made(i)) is
  // that of addresses[i].  No address index is built until a lookup needs
  // one.  False when memory runs out or the map is not empty (nothing is
  // made then).
  bool AddAscending(const uint32_t* addresses, size_t n);
  // The label made number-th (counting from 0), also one taken out.
  AddressLabel* Made(size_t number) const {
    return LabelOf(static_cast<uint32_t>(number));
  }
  // Whether the labels were made in ascending address order: making order
  // is then address order (ForEach walks them in order).
  bool made_in_address_order() const { return ascending_; }

  // Makes room for n labels in total, so that filling the map up to n does
  // not rebuild the address index on the way.  Only a hint: false when
  // memory runs out, with nothing changed.
  bool Reserve(size_t n);

  size_t size() const { return live_; }
  bool empty() const { return live_ == 0; }

  // Walks the labels in ascending address order; dereferencing gives the
  // label.
  class Iterator {
   public:
    using iterator_category = std::bidirectional_iterator_tag;
    using value_type = AddressLabel*;
    using difference_type = std::ptrdiff_t;
    using pointer = AddressLabel* const*;
    using reference = AddressLabel*;

    Iterator() = default;
    AddressLabel* operator*() const { return map_->LabelOf(static_cast<uint32_t>(*at_)); }
    Iterator& operator++() {
      ++at_;
      return *this;
    }
    Iterator operator++(int) {
      Iterator before = *this;
      ++at_;
      return before;
    }
    Iterator& operator--() {
      --at_;
      return *this;
    }
    Iterator operator--(int) {
      Iterator before = *this;
      --at_;
      return before;
    }
    bool operator==(const Iterator& other) const { return at_ == other.at_; }
    bool operator!=(const Iterator& other) const { return at_ != other.at_; }

   private:
    friend class LabelMap;
    Iterator(const LabelMap* map, const uint64_t* at) : map_(map), at_(at) {}
    const LabelMap* map_ = nullptr;
    const uint64_t* at_ = nullptr;
  };

  // Iteration in ascending address order.  The order is made on first use
  // after a change (adding a label invalidates a running iteration); should
  // memory run out while it is made, the range is empty.  EnsureOrder tells
  // whether it could be made.
  Iterator begin() const;
  Iterator end() const;
  bool EnsureOrder() const;

  // Calls f(label) for every label in the map, in the order they were made.
  template <typename F>
  void ForEach(F f) const {
    for (uint32_t n = 0; n < made_; ++n) {
      if (!IsRemoved(n)) f(LabelOf(n));
    }
  }

  // Frees the address index; it is rebuilt by the next lookup.  Iteration
  // and the labels themselves are not affected.
  void ReleaseIndex();
  // Frees the address order; it is rebuilt by the next iteration.
  void ReleaseOrder();

  // Takes every label for which keep(label) is false out of the map.
  // Returns false when memory runs out (the map is then unchanged).
  template <typename Keep>
  bool RemoveUnless(Keep keep);

 private:
  static constexpr uint32_t kBlockSize = 65536;
  static constexpr uint64_t kMaxSlots = uint64_t(1) << 32;

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
  bool IsRemoved(uint32_t number) const { return !removed_.empty() && removed_[number] != 0; }
  bool Grow();
  // Rebuilds a released index; false when memory runs out.
  bool EnsureIndex() const;
  // Index size for n labels: twice n, at least 64; 0 when that cannot be
  // held.
  static size_t SlotsFor(size_t n);
  bool Reindex(size_t slots, const GrowableArray<uint8_t>& removed,
               GrowableArray<Slot>* index) const;
  static size_t SlotOf(uint32_t address, size_t count);
  static size_t NextSlot(size_t s, size_t count) { return s + 1 == count ? 0 : s + 1; }

  GrowableArray<AddressLabel*> blocks_;  // label storage, kBlockSize each
  uint32_t made_ = 0;                    // labels made (numbers 0 .. made_ - 1)
  size_t live_ = 0;                      // labels made and not taken out
  // Whether the labels were made in ascending address order (the order
  // then needs no sort).
  bool ascending_ = true;
  GrowableArray<uint8_t> removed_;       // per number, once anything was removed
  mutable GrowableArray<Slot> slots_;    // empty once released
  // The live labels sorted by address, valid while ordered_valid_ is set:
  // per label its address in the high and its number in the low 32 bits
  // (whole numbers sort much faster than labels reached by pointer).
  mutable GrowableArray<uint64_t> ordered_;
  mutable bool ordered_valid_ = false;
};

template <typename Keep>
bool LabelMap::RemoveUnless(Keep keep) {
  GrowableArray<uint8_t> removed;
  if (!removed.reserve(made_)) return false;
  size_t live = 0;
  for (uint32_t n = 0; n < made_; ++n) {
    const bool gone = IsRemoved(n) || !keep(LabelOf(n));
    if (!gone) ++live;
    removed.push_back(gone ? 1 : 0);
  }
  GrowableArray<Slot> index;  // stays empty when the index was released
  if (!slots_.empty() && !Reindex(slots_.size(), removed, &index)) return false;
  // The order is made again, without the labels taken out, on next use.
  ReleaseOrder();
  removed_ = static_cast<GrowableArray<uint8_t>&&>(removed);
  slots_ = static_cast<GrowableArray<Slot>&&>(index);
  live_ = live;
  return true;
}

}  // namespace voxpatch

#endif  // VOXPATCH_LABELMAP_H
