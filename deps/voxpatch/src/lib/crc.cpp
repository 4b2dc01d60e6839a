#include "crc.h"

#include <zlib.h>

#include <initializer_list>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VOXPATCH_CRC_FOLDING 1
#endif

namespace voxpatch {

namespace {

#ifdef VOXPATCH_CRC_FOLDING

// CRC-32 by carry-less multiplication: four 128-bit lanes are folded
// forward 64 bytes at a time, then into one lane, then reduced to 32 bits
// (Barrett).  The constants are powers of x modulo the bit-reflected
// polynomial.  Takes and returns the bare CRC register (no inversions);
// length must be a multiple of 16 and at least 64.
__attribute__((target("pclmul,sse4.1"))) uint32_t FoldCrc(uint32_t crc, const uint8_t* p,
                                                          size_t length) {
  alignas(16) static const uint64_t k1k2[2] = {0x0154442bd4, 0x01c6e41596};
  alignas(16) static const uint64_t k3k4[2] = {0x01751997d0, 0x00ccaa009e};
  alignas(16) static const uint64_t k5k0[2] = {0x0163cd6124, 0x0000000000};
  alignas(16) static const uint64_t poly[2] = {0x01db710641, 0x01f7011641};

  __m128i x1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  __m128i x2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
  __m128i x3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32));
  __m128i x4 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48));
  x1 = _mm_xor_si128(x1, _mm_cvtsi32_si128(static_cast<int>(crc)));
  __m128i k = _mm_load_si128(reinterpret_cast<const __m128i*>(k1k2));
  p += 64;
  length -= 64;

  while (length >= 64) {
    const __m128i x5 = _mm_clmulepi64_si128(x1, k, 0x00);
    const __m128i x6 = _mm_clmulepi64_si128(x2, k, 0x00);
    const __m128i x7 = _mm_clmulepi64_si128(x3, k, 0x00);
    const __m128i x8 = _mm_clmulepi64_si128(x4, k, 0x00);
    x1 = _mm_clmulepi64_si128(x1, k, 0x11);
    x2 = _mm_clmulepi64_si128(x2, k, 0x11);
    x3 = _mm_clmulepi64_si128(x3, k, 0x11);
    x4 = _mm_clmulepi64_si128(x4, k, 0x11);
    x1 = _mm_xor_si128(_mm_xor_si128(x1, x5),
                       _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    x2 = _mm_xor_si128(_mm_xor_si128(x2, x6),
                       _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)));
    x3 = _mm_xor_si128(_mm_xor_si128(x3, x7),
                       _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32)));
    x4 = _mm_xor_si128(_mm_xor_si128(x4, x8),
                       _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48)));
    p += 64;
    length -= 64;
  }

  // Four lanes into one.
  k = _mm_load_si128(reinterpret_cast<const __m128i*>(k3k4));
  for (__m128i next : {x2, x3, x4}) {
    const __m128i low = _mm_clmulepi64_si128(x1, k, 0x00);
    x1 = _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x1, k, 0x11), next), low);
  }
  while (length >= 16) {
    const __m128i low = _mm_clmulepi64_si128(x1, k, 0x00);
    x1 = _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x1, k, 0x11),
                                     _mm_loadu_si128(reinterpret_cast<const __m128i*>(p))),
                       low);
    p += 16;
    length -= 16;
  }

  // 128 bits to 64, then Barrett reduction to 32.
  const __m128i mask = _mm_setr_epi32(~0, 0, ~0, 0);
  x2 = _mm_clmulepi64_si128(x1, k, 0x10);
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2);
  k = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(k5k0));
  x2 = _mm_srli_si128(x1, 4);
  x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, mask), k, 0x00), x2);
  k = _mm_load_si128(reinterpret_cast<const __m128i*>(poly));
  x2 = _mm_clmulepi64_si128(_mm_and_si128(x1, mask), k, 0x10);
  x2 = _mm_clmulepi64_si128(_mm_and_si128(x2, mask), k, 0x00);
  x1 = _mm_xor_si128(x1, x2);
  return static_cast<uint32_t>(_mm_extract_epi32(x1, 1));
}

bool HasFolding() {
  static const bool has = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
  return has;
}

#endif  // VOXPATCH_CRC_FOLDING

// Below this the table-driven code of zlib is as fast.
constexpr size_t kFoldingMinimum = 256;

}  // namespace

uint32_t ExtendCrc(uint32_t crc, const void* data, size_t length) {
  // The stored value is the bare CRC register, which is the complement of
  // zlib's value; zlib continues from its own.
  const uint8_t* p = static_cast<const uint8_t*>(data);
#ifdef VOXPATCH_CRC_FOLDING
  if (length >= kFoldingMinimum && HasFolding()) {
    const size_t folded = length & ~static_cast<size_t>(15);
    crc = FoldCrc(crc, p, folded);
    p += folded;
    length -= folded;
  }
#endif
  if (length == 0) return crc;
  return ~static_cast<uint32_t>(crc32_z(static_cast<uLong>(~crc), p, length));
}

uint32_t ComputeCrc(const void* data, size_t length) {
  // The register starts as all ones (zlib's table lookups write no shared
  // state, and neither does the folding).
  return ExtendCrc(0xFFFFFFFFu, data, length);
}

}  // namespace voxpatch
