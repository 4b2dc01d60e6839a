// Compression of ARM and Thumb branch instructions: a branch is split into
// the instruction without its offset (the compressed op, 16 bits) and its
// relative target, and rebuilt from the two.
//
// Types: 0 Thumb 16-bit conditional (8-bit offset), 1 Thumb 16-bit (11-bit),
// 2 ARM B/BL (24-bit), 3 Thumb-2 BL/BLX/B.W (25-bit), 4 Thumb-2 conditional
// (21-bit).  Thumb-2 words hold the first halfword in bits 16..31.

#ifndef VOXPATCH_ARMBRANCHCODEC_H
#define VOXPATCH_ARMBRANCHCODEC_H

#include <cstdint>

namespace voxpatch {

// Size in bytes of a branch of the given type; 0xFFFF for an unknown type.
uint16_t ArmBranchOpSize(uint32_t type);

// Splits instruction word `word` at `rva`; false for an unknown type.
bool CompressArmBranch(uint32_t type, uint32_t word, uint32_t rva,
                       uint16_t* compressed_op, uint32_t* relative_target);

// Rebuilds the instruction word from the compressed op and the offset
// d = target RVA - instruction RVA; false for an unknown type.
bool DecompressArmBranch(uint32_t type, uint16_t compressed_op, uint32_t d,
                         uint32_t* word);

}  // namespace voxpatch

#endif  // VOXPATCH_ARMBRANCHCODEC_H
