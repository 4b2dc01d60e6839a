#include "disassembler.h"

namespace voxpatch {

Disassembler::Disassembler(const void* start, size_t length)
    : failure_reason_("uninitialized"),
      length_(length),
      start_(static_cast<const uint8_t*>(start)),
      end_(static_cast<const uint8_t*>(start) + length) {}

Disassembler::~Disassembler() = default;

}  // namespace voxpatch
