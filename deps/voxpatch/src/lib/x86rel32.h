// The x86 and x86-64 instruction forms whose 32-bit operand is relative to
// the next instruction: calls, jumps, conditional jumps and (64-bit only)
// indirect calls and jumps, loads and address computations through the
// instruction pointer.  Shared by the byte-pattern scans of the PE and ELF
// disassemblers.

#ifndef VOXPATCH_X86REL32_H
#define VOXPATCH_X86REL32_H

#include <cstdint>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

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

// Whether a form may start with this byte (see X86Rel32OperandAt).
inline bool X86FormMayStartWith(uint8_t byte, bool x64) {
  return (byte & 0xFE) == 0xE8 || byte == 0x0F ||
         (x64 && (byte == 0xFF || (byte & 0xFE) == 0x48));
}

// Offset from p of the first of n bytes with which a form may start, or n:
// the bytes before it start none, so a scan may pass over them at once.
inline uint64_t X86NextFormStart(const uint8_t* p, uint64_t n, bool x64) {
  uint64_t i = 0;
#ifdef __SSE2__
  const __m128i low_bit_off = _mm_set1_epi8(static_cast<char>(0xFE));
  const __m128i call_jmp = _mm_set1_epi8(static_cast<char>(0xE8));
  const __m128i two_byte = _mm_set1_epi8(0x0F);
  const __m128i indirect = _mm_set1_epi8(static_cast<char>(0xFF));
  const __m128i rex_w = _mm_set1_epi8(0x48);
  for (; i + 16 <= n; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    const __m128i even = _mm_and_si128(v, low_bit_off);
    __m128i hit = _mm_or_si128(_mm_cmpeq_epi8(even, call_jmp),
                               _mm_cmpeq_epi8(v, two_byte));
    if (x64)
      hit = _mm_or_si128(hit, _mm_or_si128(_mm_cmpeq_epi8(v, indirect),
                                           _mm_cmpeq_epi8(even, rex_w)));
    const int mask = _mm_movemask_epi8(hit);
    if (mask != 0)
      return i +
             static_cast<uint64_t>(__builtin_ctz(static_cast<unsigned>(mask)));
  }
#endif
  for (; i < n; ++i) {
    if (X86FormMayStartWith(p[i], x64)) return i;
  }
  return n;
}

}  // namespace voxpatch

#endif  // VOXPATCH_X86REL32_H
