#include "armbranchcodec.h"

namespace voxpatch {

namespace {

// Sign-extends the low `bits` bits of v to 32 bits.
uint32_t SignExtend(uint32_t v, int bits) {
  const uint32_t sign = 1u << (bits - 1);
  v &= (sign << 1) - 1;
  return (v ^ sign) - sign;
}

uint32_t Bit(uint32_t v, int n) { return (v >> n) & 1u; }

}  // namespace

uint16_t ArmBranchOpSize(uint32_t type) {
  switch (type) {
    case 0:
    case 1:
      return 2;
    case 2:
    case 3:
    case 4:
      return 4;
    default:
      return 0xFFFF;
  }
}

bool CompressArmBranch(uint32_t type, uint32_t w, uint32_t rva,
                       uint16_t* compressed_op, uint32_t* relative_target) {
  uint32_t t = 0;
  uint32_t c = 0;
  switch (type) {
    case 0:
      t = SignExtend((w & 0xFF) << 1, 9) + 4;
      c = 0x1000 | (w >> 8);
      break;
    case 1:
      t = SignExtend((w & 0x7FF) << 1, 12) + 4;
      c = 0x2000 | (w >> 11);
      break;
    case 2:
      t = SignExtend((w & 0xFFFFFF) << 2, 26) + 8;
      c = 0x3000 | (w >> 24);
      break;
    case 3: {
      const uint32_t s = Bit(w, 26);
      const uint32_t i1 = (~(Bit(w, 13) ^ s)) & 1u;
      const uint32_t i2 = (~(Bit(w, 11) ^ s)) & 1u;
      uint32_t value = (s << 24) | (i1 << 23) | (i2 << 22) |
                       (((w >> 16) & 0x3FF) << 12) | ((w & 0x7FF) << 1);
      value = SignExtend(value, 25);
      const uint32_t a =
          (Bit(w, 14) == 1 && Bit(w, 12) == 0 && (rva % 4) != 0) ? 2 : 4;
      t = value + a;
      c = 0x4000 | (a << 8) | ((w >> 24) & 0xF8) | (Bit(w, 15) << 2) |
          (Bit(w, 14) << 1) | Bit(w, 12);
      break;
    }
    case 4: {
      uint32_t value = (Bit(w, 26) << 20) | (Bit(w, 13) << 19) |
                       (Bit(w, 11) << 18) | (((w >> 16) & 0x3F) << 12) |
                       ((w & 0x7FF) << 1);
      t = SignExtend(value, 21) + 4;
      c = 0x5000 | ((w >> 22) & 0xF);
      break;
    }
    default:
      return false;
  }
  *compressed_op = static_cast<uint16_t>(c);
  *relative_target = t;
  return true;
}

bool DecompressArmBranch(uint32_t type, uint16_t compressed_op, uint32_t d,
                         uint32_t* word) {
  const uint32_t c = compressed_op;
  uint32_t w = 0;
  switch (type) {
    case 0:
      w = ((c << 8) & 0xFFF00) | (((d + 0x1FC) >> 1) & 0xFF);
      break;
    case 1:
      w = ((c << 11) & 0x7FF800) | (((d + 0xFFC) >> 1) & 0x7FF);
      break;
    case 2:
      w = (c << 24) | (((d + 0x3FFFFF8) >> 2) & 0xFFFFFF);
      break;
    case 3: {
      const uint32_t e = d - ((c >> 8) & 0xF);
      w = ((c & 0xF8) << 24) | (Bit(c, 2) << 15) | (Bit(c, 1) << 14) |
          (Bit(c, 0) << 12) | (Bit(e, 24) << 26) | (((e >> 12) & 0x3FF) << 16) |
          (((~(Bit(e, 23) ^ Bit(e, 24))) & 1u) << 13) |
          (((~(Bit(e, 22) ^ Bit(e, 24))) & 1u) << 11) | ((e >> 1) & 0x7FF);
      break;
    }
    case 4: {
      const uint32_t v = d + 0x1FFFFC;
      w = 0xF0008000u | ((c & 0xF) << 22) | (Bit(v, 20) << 26) |
          (Bit(v, 19) << 13) | (Bit(v, 18) << 11) | (((v >> 12) & 0x3F) << 16) |
          ((v >> 1) & 0x7FF);
      break;
    }
    default:
      return false;
  }
  *word = w;
  return true;
}

}  // namespace voxpatch
