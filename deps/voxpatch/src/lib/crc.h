// The patch engine's checksum: CRC-32 (reflected polynomial 0xEDB88320,
// initial register 0xFFFFFFFF) without the final inversion, i.e. the bitwise
// complement of the standard CRC-32.  Stateless and safe to call from several
// threads at once.

#ifndef VOXPATCH_CRC_H
#define VOXPATCH_CRC_H

#include <cstddef>
#include <cstdint>

namespace voxpatch {

uint32_t ComputeCrc(const void* data, size_t length);
// The checksum of bytes that follow bytes whose checksum is crc:
// ExtendCrc(ComputeCrc(a), b) is the checksum of a followed by b.
uint32_t ExtendCrc(uint32_t crc, const void* data, size_t length);

}  // namespace voxpatch

#endif  // VOXPATCH_CRC_H
