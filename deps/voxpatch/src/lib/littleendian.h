// Little-endian reads of 16, 32 and 64-bit values from unaligned bytes.

#ifndef VOXPATCH_LITTLEENDIAN_H
#define VOXPATCH_LITTLEENDIAN_H

#include <cstdint>

namespace voxpatch {

inline uint16_t ReadLE16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}

inline uint32_t ReadLE32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

inline uint64_t ReadLE64(const uint8_t* p) {
  return static_cast<uint64_t>(ReadLE32(p)) | static_cast<uint64_t>(ReadLE32(p + 4)) << 32;
}

}  // namespace voxpatch

#endif  // VOXPATCH_LITTLEENDIAN_H
