#include "disassembler.h"

#include <cstdint>

#include "hugepages.h"

namespace voxpatch {

Disassembler::Disassembler(const void* start, size_t length)
    : failure_reason_("uninitialized"),
      length_(length),
      start_(static_cast<const uint8_t*>(start)),
      end_(static_cast<const uint8_t*>(start) + length) {}

Disassembler::~Disassembler() = default;

void Disassembler::ReleaseInputBefore(const uint8_t* p) {
  // Only whole pages go; the one p lies in is still being read.
  const uintptr_t page = SystemPageSize();
  const uint8_t* cut = reinterpret_cast<const uint8_t*>(reinterpret_cast<uintptr_t>(p) & ~(page - 1));
  if (cut <= released_) return;
  ReleasePages(const_cast<uint8_t*>(released_), static_cast<size_t>(cut - released_));
  released_ = cut;
}

}  // namespace voxpatch
