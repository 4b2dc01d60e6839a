// The x86 and x86-64 instruction forms whose 32-bit operand is relative to
// the next instruction: calls, jumps, conditional jumps and (64-bit only)
// indirect calls and jumps, loads and address computations through the
// instruction pointer.  Shared by the byte-pattern scans of the PE and ELF
// disassemblers.

#ifndef VOXPATCH_X86REL32_H
#define VOXPATCH_X86REL32_H

#include <cstdint>

namespace voxpatch {

// Offset from p of the operand of the form starting at p (1, 2 or 3), or 0
// when none starts there; `remaining` bytes are readable from p.  `wide`
// tells whether the form exists in 64-bit code only; those forms are looked
// for only when `x64` is set.
inline int X86Rel32OperandAt(const uint8_t* p, uint64_t remaining, bool x64, bool* wide) {
  *wide = false;
  if (remaining >= 5 && (p[0] == 0xE8 || p[0] == 0xE9)) return 1;
  if (remaining >= 6 && p[0] == 0x0F && (p[1] & 0xF0) == 0x80 && p[1] != 0x8A &&
      p[1] != 0x8B)
    return 2;
  if (!x64) return 0;
  if (remaining >= 6 && p[0] == 0xFF && (p[1] == 0x15 || p[1] == 0x25)) {
    *wide = true;
    return 2;
  }
  if (remaining >= 7 && (p[0] == 0x48 || p[0] == 0x49) && (p[1] == 0x8D || p[1] == 0x8B) &&
      (p[2] & 0xC7) == 5) {
    *wide = true;
    return 3;
  }
  return 0;
}

}  // namespace voxpatch

#endif  // VOXPATCH_X86REL32_H
