#include "varint.h"

namespace voxpatch {

const uint8_t* DecodeVarint(const uint8_t* position, const uint8_t* end,
                            uint32_t* value) {
  uint32_t result = 0;
  for (int k = 0; k < 4; ++k) {
    if (position >= end) return nullptr;
    uint32_t byte = *position++;
    result |= (byte & 0x7Fu) << (7 * k);
    if ((byte & 0x80u) == 0) {
      *value = result;
      return position;
    }
  }
  if (position >= end) return nullptr;
  uint32_t last = *position++;
  if ((last & 0x80u) != 0) return nullptr;
  result |= last << 28;
  *value = result;
  return position;
}

size_t EncodeVarint(uint32_t value, uint8_t* buffer) {
  size_t n = 0;
  while (value >= 0x80u) {
    buffer[n++] = static_cast<uint8_t>((value & 0x7Fu) | 0x80u);
    value >>= 7;
  }
  buffer[n++] = static_cast<uint8_t>(value);
  return n;
}

}  // namespace voxpatch
