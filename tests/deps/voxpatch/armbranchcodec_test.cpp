// ARM and Thumb branch compression: known values and exact inversion.

#include <gtest/gtest.h>

#include <random>

#include "armbranchcodec.h"

using namespace voxpatch;

TEST(ArmBranchCodec, KnownValues) {
  struct Case {
    uint32_t type, word, rva;
    uint16_t op;
    uint32_t target;
  };
  const Case cases[] = {
      {0, 0xD0FE, 0x100, 0x10D0, 0},           // Thumb conditional branch to itself
      {2, 0xEB000000, 0x100, 0x30EB, 8},       // ARM BL, offset 0
      {1, 0xE7FE, 0x100, 0x201C, 0},           // Thumb B to itself
      {2, 0xEAFFFFFE, 0x100, 0x30EA, 0},       // ARM B to itself
  };
  for (const Case& c : cases) {
    uint16_t op = 0;
    uint32_t target = 0;
    ASSERT_TRUE(CompressArmBranch(c.type, c.word, c.rva, &op, &target));
    EXPECT_EQ(c.op, op) << std::hex << c.word;
    EXPECT_EQ(c.target, target) << std::hex << c.word;
    uint32_t word = 0;
    ASSERT_TRUE(DecompressArmBranch(c.type, op, target, &word));
    EXPECT_EQ(c.word, word);
  }
}

TEST(ArmBranchCodec, ThumbBlxAtHalfwordUsesAdjustmentTwo) {
  // BLX (bit 14 set, bit 12 clear) at an RVA that is 2 modulo 4.
  const uint32_t blx = 0xF000E800u;
  uint16_t op = 0;
  uint32_t target = 0;
  ASSERT_TRUE(CompressArmBranch(3, blx, 0x102, &op, &target));
  EXPECT_EQ(2u, (op >> 8) & 0xF);
  uint32_t word = 0;
  ASSERT_TRUE(DecompressArmBranch(3, op, target, &word));
  EXPECT_EQ(blx, word);
  // The same at a word-aligned RVA uses 4.
  ASSERT_TRUE(CompressArmBranch(3, blx, 0x100, &op, &target));
  EXPECT_EQ(4u, (op >> 8) & 0xF);
}

TEST(ArmBranchCodec, EveryThumbHalfwordComesBack) {
  // All 65,536 halfwords of both 16-bit types, at either halfword position.
  for (uint32_t type = 0; type < 2; ++type) {
    for (uint32_t rva : {0x1000u, 0x1002u}) {
      for (uint32_t w = 0; w <= 0xFFFF; ++w) {
        uint16_t op = 0;
        uint32_t target = 0;
        ASSERT_TRUE(CompressArmBranch(type, w, rva, &op, &target));
        uint32_t back = 0;
        ASSERT_TRUE(DecompressArmBranch(type, op, target, &back));
        ASSERT_EQ(w, back & 0xFFFF) << "type " << type << " halfword " << std::hex << w;
      }
    }
  }
}

TEST(ArmBranchCodec, EveryAcceptedInstructionComesBack) {
  // A large random sample of each 32-bit type (and more of the 16-bit ones).
  std::mt19937 rng(1234);
  for (uint32_t type = 0; type < 5; ++type) {
    for (int i = 0; i < 1000000; ++i) {
      uint32_t w = rng();
      switch (type) {
        case 0: w = 0xD000 | (w & 0x0FFF); break;
        case 1: w = 0xE000 | (w & 0x07FF); break;
        case 2: w = (w & ~0x0E000000u) | 0x0A000000u; break;
        case 3: w = (w & 0x07FF7FFFu) | 0xF0008000u | (rng() & 0x08000000u);
                if ((w & 0x5000) == 0) w |= 0x1000;
                break;
        case 4: w = (w & 0x07FF2FFFu) | 0xF0008000u; break;
      }
      const uint32_t rva = (rng() & 0xFFFFF) * 2;
      uint16_t op = 0;
      uint32_t target = 0;
      ASSERT_TRUE(CompressArmBranch(type, w, rva, &op, &target));
      EXPECT_EQ(type + 1, static_cast<uint32_t>(op >> 12));
      uint32_t back = 0;
      ASSERT_TRUE(DecompressArmBranch(type, op, target, &back));
      const uint32_t mask = type <= 1 ? 0xFFFFu : 0xFFFFFFFFu;
      ASSERT_EQ(w & mask, back & mask) << "type " << type << " word " << std::hex << w;
    }
  }
}

TEST(ArmBranchCodec, UnknownTypesFail) {
  uint16_t op = 0;
  uint32_t target = 0, word = 0;
  EXPECT_FALSE(CompressArmBranch(5, 0, 0, &op, &target));
  EXPECT_FALSE(DecompressArmBranch(5, 0x6000, 0, &word));
  EXPECT_EQ(0xFFFF, ArmBranchOpSize(5));
  EXPECT_EQ(2, ArmBranchOpSize(0));
  EXPECT_EQ(2, ArmBranchOpSize(1));
  EXPECT_EQ(4, ArmBranchOpSize(2));
  EXPECT_EQ(4, ArmBranchOpSize(3));
  EXPECT_EQ(4, ArmBranchOpSize(4));
}
