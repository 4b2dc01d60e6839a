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

}  // namespace voxpatch
