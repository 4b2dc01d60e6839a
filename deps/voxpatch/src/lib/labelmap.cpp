#include "labelmap.h"

#include <algorithm>
#include <new>

#include "arraygrowth.h"
#include "largebuffer.h"

namespace voxpatch {

LabelMap::~LabelMap() {
  for (AddressLabel* block : blocks_) FreeLargeBuffer(block, kBlockSize * sizeof(AddressLabel));
}

size_t LabelMap::SlotOf(uint32_t address, size_t count) {
  // Multiplicative hashing; the high 32 bits of the product, scaled onto
  // the slots (at most 2^32 of them, see SlotsFor).
  const uint64_t h = static_cast<uint64_t>(address) * 0x9E3779B97F4A7C15ull;
  return static_cast<size_t>(((h >> 32) * static_cast<uint64_t>(count)) >> 32);
}

bool LabelMap::Reindex(size_t slot_count, const GrowableArray<uint8_t>& removed,
                       GrowableArray<Slot>* index) const {
  if (slot_count == 0 || !index->reserve(slot_count)) return false;
  const Slot empty = {0};
  for (size_t i = 0; i < slot_count; ++i) index->push_back(empty);
  for (uint32_t n = 0; n < made_; ++n) {
    if (!removed.empty() && removed[n] != 0) continue;
    const uint32_t address = LabelOf(n)->address;
    size_t s = SlotOf(address, slot_count);
    while ((*index)[s].label != 0) s = NextSlot(s, slot_count);
    (*index)[s] = {n + 1};
  }
  return true;
}

size_t LabelMap::SlotsFor(size_t n) {
  // At most 2^32 slots.  (2^31 labels would take 24 GiB; an input below
  // 4 GiB has far fewer places a reference can start.)
  if (n > kMaxSlots / 2) return 0;
  return n < 32 ? 64 : static_cast<size_t>(2 * static_cast<uint64_t>(n));
}

bool LabelMap::Grow() {
  if (!EnsureIndex()) return false;
  if (slots_.size() >= 2 * (static_cast<size_t>(made_) + 1)) return true;
  // Unreserved growth doubles, so that filling stays linear.
  size_t wanted = SlotsFor(static_cast<size_t>(made_) + 1);
  if (wanted == 0) return false;
  const uint64_t doubled = 2 * static_cast<uint64_t>(slots_.size());
  if (doubled > wanted && doubled <= kMaxSlots) wanted = static_cast<size_t>(doubled);
  GrowableArray<Slot> index;
  if (!Reindex(wanted, removed_, &index)) return false;
  slots_ = static_cast<GrowableArray<Slot>&&>(index);
  return true;
}

bool LabelMap::Reserve(size_t n) {
  // The index must hold the labels already made as well.
  const size_t wanted = SlotsFor(n > made_ ? n : made_);
  if (wanted == 0) return false;
  const size_t blocks = n / kBlockSize + 1;
  if (blocks > blocks_.size() && !GrowPreserving(&blocks_, blocks - blocks_.size()))
    return false;
  if (slots_.size() >= wanted) return true;
  GrowableArray<Slot> index;
  if (!Reindex(wanted, removed_, &index)) return false;
  slots_ = static_cast<GrowableArray<Slot>&&>(index);
  return true;
}

bool LabelMap::AddAscending(const uint32_t* addresses, size_t n) {
  if (made_ != 0 || n >= 0xFFFFFFFEu) return false;
  const size_t blocks = (n + kBlockSize - 1) / kBlockSize;
  if (!GrowPreserving(&blocks_, blocks)) return false;
  for (size_t b = 0; b < blocks; ++b) {
    AddressLabel* block = static_cast<AddressLabel*>(
        AllocateLargeBuffer(kBlockSize * sizeof(AddressLabel)));
    if (block == nullptr) {
      for (AddressLabel* made : blocks_)
        FreeLargeBuffer(made, kBlockSize * sizeof(AddressLabel));
      blocks_.clear();
      return false;
    }
    blocks_.push_back(block);
  }
  for (size_t i = 0; i < n; ++i) {
    AddressLabel* label =
        new (LabelOf(static_cast<uint32_t>(i))) AddressLabel();
    label->address = addresses[i];
  }
  made_ = static_cast<uint32_t>(n);
  live_ = n;
  ascending_ = true;
  ReleaseIndex();
  ReleaseOrder();
  return true;
}

bool LabelMap::EnsureIndex() const {
  if (!slots_.empty() || made_ == 0) return true;
  GrowableArray<Slot> index;
  if (!Reindex(SlotsFor(made_), removed_, &index)) return false;
  slots_ = static_cast<GrowableArray<Slot>&&>(index);
  return true;
}

void LabelMap::ReleaseIndex() { slots_.clear(); }

void LabelMap::ReleaseOrder() {
  ordered_.clear();
  ordered_valid_ = false;
}

AddressLabel* LabelMap::Find(uint32_t address) const {
  if (!EnsureIndex() || slots_.empty()) return nullptr;
  const size_t slot_count = slots_.size();
  for (size_t s = SlotOf(address, slot_count);; s = NextSlot(s, slot_count)) {
    const Slot& slot = slots_[s];
    if (slot.label == 0) return nullptr;
    AddressLabel* label = LabelOf(slot.label - 1);
    if (label->address == address) return label;
  }
}

AddressLabel* LabelMap::FindOrAdd(uint32_t address) {
  AddressLabel* found = Find(address);
  if (found != nullptr) return found;
  if (made_ == 0xFFFFFFFEu) return nullptr;
  if (!Grow()) return nullptr;
  if (!removed_.empty() && !GrowPreserving(&removed_, 1)) return nullptr;
  if (made_ % kBlockSize == 0) {
    if (!GrowPreserving(&blocks_, 1)) return nullptr;
    // Mapped storage, touched only as labels are made, and handed back
    // whole when the map goes (from the heap it could stay with the process).
    AddressLabel* block =
        static_cast<AddressLabel*>(AllocateLargeBuffer(kBlockSize * sizeof(AddressLabel)));
    if (block == nullptr) return nullptr;
    blocks_.push_back(block);
  }
  if (made_ != 0 && LabelOf(made_ - 1)->address > address) ascending_ = false;
  const uint32_t number = made_++;
  ++live_;
  if (!removed_.empty()) removed_.push_back(0);
  AddressLabel* label = new (LabelOf(number)) AddressLabel();
  label->address = address;

  const size_t slot_count = slots_.size();
  size_t s = SlotOf(address, slot_count);
  while (slots_[s].label != 0) s = NextSlot(s, slot_count);
  slots_[s] = {number + 1};
  // A made order no longer holds every label.
  if (ordered_valid_) ReleaseOrder();
  return label;
}

bool LabelMap::EnsureOrder() const {
  if (ordered_valid_) return true;
  GrowableArray<uint64_t> order;
  if (live_ != 0 && !order.reserve(live_)) return false;
  for (uint32_t n = 0; n < made_; ++n) {
    if (!IsRemoved(n)) order.push_back(static_cast<uint64_t>(LabelOf(n)->address) << 32 | n);
  }
  // Labels are made in ascending order by most disassemblers' walks; a sort
  // is then not needed.  (Addresses are unique, so the numbers never decide.)
  if (!ascending_) std::sort(order.begin(), order.end());
  ordered_ = static_cast<GrowableArray<uint64_t>&&>(order);
  ordered_valid_ = true;
  return true;
}

LabelMap::Iterator LabelMap::begin() const {
  if (!EnsureOrder()) return Iterator(this, nullptr);
  return Iterator(this, ordered_.begin());
}

LabelMap::Iterator LabelMap::end() const {
  if (!EnsureOrder()) return Iterator(this, nullptr);
  return Iterator(this, ordered_.end());
}

}  // namespace voxpatch
