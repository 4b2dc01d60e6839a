// The distinct addresses of many references, sorted, with a directory on
// their high bits: finding an address's position takes one directory entry
// and a search among the few addresses that share it.  Made once, when a
// disassembly has gathered every address its references point to, so that
// labels can be made in address order without a lookup per reference.
// Nothing here throws; allocation failures are reported as false.

#ifndef VOXPATCH_ADDRESSDIRECTORY_H
#define VOXPATCH_ADDRESSDIRECTORY_H

#include <cstddef>
#include <cstdint>

#include "growablearray.h"

namespace voxpatch {

// Sorts n 32-bit values in ascending order: a radix sort that passes over
// a byte position all values share, nothing at all for values already in
// order, and a sort in place when memory for the radix sort runs out.
void SortAddresses(uint32_t* values, size_t n);

class AddressDirectory {
 public:
  AddressDirectory() = default;
  AddressDirectory(const AddressDirectory&) = delete;
  AddressDirectory& operator=(const AddressDirectory&) = delete;

  // Takes the addresses (in any order, repeats allowed) and keeps each once,
  // in ascending order.  False when memory runs out.
  bool Build(GrowableArray<uint32_t>* addresses);

  size_t size() const { return sorted_.size(); }
  const uint32_t* addresses() const { return sorted_.data(); }
  // The position of address among the sorted addresses, or size() when it
  // is not one of them.
  size_t Find(uint32_t address) const;

 private:
  GrowableArray<uint32_t> sorted_;
  // buckets_[k]: the first position whose (address - low_) >> shift_ is at
  // least k; one entry more than there are buckets.
  GrowableArray<uint32_t> buckets_;
  uint32_t low_ = 0;
  uint32_t high_ = 0;
  unsigned shift_ = 0;
};

}  // namespace voxpatch

#endif  // VOXPATCH_ADDRESSDIRECTORY_H
