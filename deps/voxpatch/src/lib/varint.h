// Variable-length integers of the patch engine's formats: unsigned
// little-endian base-128 values of at most five bytes, and signed values
// through the zigzag mapping.

#ifndef VOXPATCH_VARINT_H
#define VOXPATCH_VARINT_H

#include <cstddef>
#include <cstdint>

namespace voxpatch {

constexpr size_t kMaxVarintLength = 5;

// Decodes one varint from [position, end).  Returns the position after it,
// or nullptr when the range ends first or a fifth byte has bit 7 set; value
// is written only on success.
const uint8_t* DecodeVarint(const uint8_t* position, const uint8_t* end,
                            uint32_t* value);

// Encodes value into buffer (room for kMaxVarintLength bytes); returns the
// number of bytes used.
inline size_t EncodeVarint(uint32_t value, uint8_t* buffer) {
  size_t n = 0;
  while (value >= 0x80u) {
    buffer[n++] = static_cast<uint8_t>((value & 0x7Fu) | 0x80u);
    value >>= 7;
  }
  buffer[n++] = static_cast<uint8_t>(value);
  return n;
}

inline uint32_t ZigZagEncode(int32_t value) {
  return (static_cast<uint32_t>(value) << 1) ^
         static_cast<uint32_t>(value >> 31);
}

inline int32_t ZigZagDecode(uint32_t value) {
  return static_cast<int32_t>((value >> 1) ^ (0u - (value & 1u)));
}

}  // namespace voxpatch

#endif  // VOXPATCH_VARINT_H
