#include "crc.h"

#include <zlib.h>

namespace voxpatch {

uint32_t ComputeCrc(const void* data, size_t length) {
  // zlib's tables are built at compile time, so no shared state is written.
  uLong crc = crc32_z(0L, Z_NULL, 0);
  if (length != 0)
    crc = crc32_z(crc, static_cast<const Bytef*>(data), length);
  return ~static_cast<uint32_t>(crc);
}

uint32_t ExtendCrc(uint32_t crc, const void* data, size_t length) {
  // The stored value is the complement of zlib's, which zlib continues from.
  if (length == 0) return crc;
  return ~static_cast<uint32_t>(
      crc32_z(static_cast<uLong>(~crc), static_cast<const Bytef*>(data), length));
}

}  // namespace voxpatch
