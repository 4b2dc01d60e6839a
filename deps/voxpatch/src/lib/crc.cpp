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

}  // namespace voxpatch
