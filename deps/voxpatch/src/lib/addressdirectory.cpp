#include "addressdirectory.h"

#include <algorithm>
#include <utility>

namespace voxpatch {

bool SortAddresses(GrowableArray<uint32_t>* values) {
  const size_t n = values->size();
  if (n < 2) return true;
  // Small lists sort faster by comparison.
  if (n < 256) {
    std::sort(values->begin(), values->end());
    return true;
  }
  size_t counts[4][256] = {};
  for (uint32_t v : *values) {
    ++counts[0][v & 0xFF];
    ++counts[1][(v >> 8) & 0xFF];
    ++counts[2][(v >> 16) & 0xFF];
    ++counts[3][v >> 24];
  }
  GrowableArray<uint32_t> scratch;
  if (!scratch.reserve(n) || !scratch.set_size(n)) return false;
  uint32_t* from = values->data();
  uint32_t* to = scratch.data();
  bool in_scratch = false;
  for (unsigned pass = 0; pass < 4; ++pass) {
    const unsigned shift = 8 * pass;
    size_t* count = counts[pass];
    // Every value has the same byte here: the order stays as it is.
    if (count[(from[0] >> shift) & 0xFF] == n) continue;
    size_t at = 0;
    for (size_t b = 0; b < 256; ++b) {
      const size_t c = count[b];
      count[b] = at;
      at += c;
    }
    for (size_t i = 0; i < n; ++i) {
      const uint32_t v = from[i];
      to[count[(v >> shift) & 0xFF]++] = v;
    }
    std::swap(from, to);
    in_scratch = !in_scratch;
  }
  if (in_scratch) *values = static_cast<GrowableArray<uint32_t>&&>(scratch);
  return true;
}

bool AddressDirectory::Build(GrowableArray<uint32_t>* addresses) {
  sorted_.clear();
  buckets_.clear();
  if (!SortAddresses(addresses)) return false;
  const size_t n = static_cast<size_t>(
      std::unique(addresses->begin(), addresses->end()) - addresses->begin());
  addresses->set_size(n);
  // Positions are kept in 32 bits.
  if (n > UINT32_MAX) return false;
  sorted_ = static_cast<GrowableArray<uint32_t>&&>(*addresses);
  if (n == 0) return true;
  low_ = sorted_[0];
  high_ = sorted_[n - 1];
  // About one bucket per address: the span is cut into at most n buckets.
  const uint64_t span = static_cast<uint64_t>(high_) - low_;
  shift_ = 0;
  while ((span >> shift_) + 1 > n) ++shift_;
  const size_t bucket_count = static_cast<size_t>(span >> shift_) + 1;
  if (!buckets_.reserve(bucket_count + 1)) return false;
  size_t position = 0;
  for (size_t k = 0; k <= bucket_count; ++k) {
    while (position < n && ((sorted_[position] - low_) >> shift_) < k)
      ++position;
    buckets_.push_back(static_cast<uint32_t>(position));
  }
  return true;
}

size_t AddressDirectory::Find(uint32_t address) const {
  const size_t n = sorted_.size();
  if (n == 0 || address < low_ || address > high_) return n;
  const size_t k = (address - low_) >> shift_;
  const uint32_t* first = sorted_.data() + buckets_[k];
  const uint32_t* last = sorted_.data() + buckets_[k + 1];
  const uint32_t* at = std::lower_bound(first, last, address);
  return at != last && *at == address ? static_cast<size_t>(at - sorted_.data())
                                      : n;
}

}  // namespace voxpatch
