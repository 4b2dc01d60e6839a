#include "addressdirectory.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace voxpatch {

void SortAddresses(uint32_t* values, size_t n) {
  if (std::is_sorted(values, values + n)) return;
  // Small lists sort faster by comparison.
  GrowableArray<uint32_t> scratch;
  if (n < 256 || !scratch.reserve(n)) {
    std::sort(values, values + n);
    return;
  }
  size_t counts[4][256] = {};
  for (size_t i = 0; i < n; ++i) {
    const uint32_t v = values[i];
    ++counts[0][v & 0xFF];
    ++counts[1][(v >> 8) & 0xFF];
    ++counts[2][(v >> 16) & 0xFF];
    ++counts[3][v >> 24];
  }
  uint32_t* from = values;
  uint32_t* to = scratch.data();
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
  }
  if (from != values) std::memcpy(values, from, n * sizeof(uint32_t));
}

bool AddressDirectory::Build(GrowableArray<uint32_t>* addresses) {
  sorted_.clear();
  buckets_.clear();
  SortAddresses(addresses->data(), addresses->size());
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
