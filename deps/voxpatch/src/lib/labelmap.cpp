#include "labelmap.h"

#include <algorithm>
#include <new>

#include "arraygrowth.h"

namespace voxpatch {

LabelMap::~LabelMap() {
  for (AddressLabel* block : blocks_) delete[] block;
}

size_t LabelMap::SlotOf(uint32_t address, size_t mask) {
  const uint64_t h = static_cast<uint64_t>(address) * 0x9E3779B97F4A7C15ull;
  return static_cast<size_t>(h ^ (h >> 32)) & mask;
}

bool LabelMap::Reindex(size_t slot_count, const GrowableArray<uint8_t>& removed,
                       GrowableArray<Slot>* index) const {
  if (!index->reserve(slot_count)) return false;
  const Slot empty = {0};
  for (size_t i = 0; i < slot_count; ++i) index->push_back(empty);
  const size_t mask = slot_count - 1;
  for (uint32_t n = 0; n < made_; ++n) {
    if (!removed.empty() && removed[n] != 0) continue;
    const uint32_t address = LabelOf(n)->address;
    size_t s = SlotOf(address, mask);
    while ((*index)[s].label != 0) s = (s + 1) & mask;
    (*index)[s] = {n + 1};
  }
  return true;
}

size_t LabelMap::SlotsFor(size_t n) {
  size_t slots = 64;
  while (slots < 2 * n) slots *= 2;
  return slots;
}

bool LabelMap::Grow() {
  if (!EnsureIndex()) return false;
  if (slots_.size() >= 2 * (static_cast<size_t>(made_) + 1)) return true;
  const size_t wanted = SlotsFor(static_cast<size_t>(made_) + 1);
  if (wanted > GrowableArray<Slot>::kMaxElements / 2) return false;
  GrowableArray<Slot> index;
  if (!Reindex(wanted, removed_, &index)) return false;
  slots_ = static_cast<GrowableArray<Slot>&&>(index);
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

AddressLabel* LabelMap::Find(uint32_t address) const {
  if (!EnsureIndex() || slots_.empty()) return nullptr;
  const size_t mask = slots_.size() - 1;
  for (size_t s = SlotOf(address, mask);; s = (s + 1) & mask) {
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
  if (!GrowPreserving(&ordered_, 1)) return nullptr;
  if (!removed_.empty() && !GrowPreserving(&removed_, 1)) return nullptr;
  if (made_ % kBlockSize == 0) {
    if (!GrowPreserving(&blocks_, 1)) return nullptr;
    AddressLabel* block = new (std::nothrow) AddressLabel[kBlockSize];
    if (block == nullptr) return nullptr;
    blocks_.push_back(block);
  }
  const uint32_t number = made_++;
  if (!removed_.empty()) removed_.push_back(0);
  AddressLabel* label = LabelOf(number);
  label->address = address;
  label->index = -1;
  label->count = 0;

  const size_t mask = slots_.size() - 1;
  size_t s = SlotOf(address, mask);
  while (slots_[s].label != 0) s = (s + 1) & mask;
  slots_[s] = {number + 1};
  if (sorted_ && !ordered_.empty() && ordered_[ordered_.size() - 1]->address > address)
    sorted_ = false;
  ordered_.push_back(label);
  return label;
}

void LabelMap::Sort() const {
  if (sorted_) return;
  std::sort(ordered_.begin(), ordered_.end(),
            [](const AddressLabel* a, const AddressLabel* b) { return a->address < b->address; });
  sorted_ = true;
}

AddressLabel* const* LabelMap::begin() const {
  Sort();
  return ordered_.begin();
}

AddressLabel* const* LabelMap::end() const {
  Sort();
  return ordered_.end();
}

}  // namespace voxpatch
