// The x86 forms with a relative operand, and the skip over bytes that start
// none of them.

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "x86rel32.h"

using namespace voxpatch;

TEST(X86Rel32, EveryFormStartsWithAByteTheSkipStopsAt) {
  // Whatever follows, a byte the skip passes over starts no form.
  std::mt19937 rng(3);
  for (bool x64 : {false, true}) {
    for (int first = 0; first < 256; ++first) {
      if (X86FormMayStartWith(static_cast<uint8_t>(first), x64)) continue;
      for (int trial = 0; trial < 200; ++trial) {
        uint8_t code[8];
        code[0] = static_cast<uint8_t>(first);
        for (int i = 1; i < 8; ++i) code[i] = static_cast<uint8_t>(rng());
        if (trial < 16) code[1] = static_cast<uint8_t>(0x80 + trial);  // jcc second bytes
        bool wide = false;
        ASSERT_EQ(0, X86Rel32OperandAt(code, sizeof(code), x64, &wide))
            << "byte " << first << " x64 " << x64;
      }
    }
  }
}

TEST(X86Rel32, NextFormStartAgreesWithAByteByByteSearch) {
  // Buffers of every length around the 16-byte steps, with form-starting
  // bytes placed at every position and none at all.
  std::mt19937 rng(8);
  const uint8_t starts[] = {0xE8, 0xE9, 0x0F, 0xFF, 0x48, 0x49};
  for (bool x64 : {false, true}) {
    for (size_t n = 0; n <= 40; ++n) {
      for (size_t placed = 0; placed <= n; ++placed) {
        for (uint8_t start : starts) {
          std::vector<uint8_t> bytes(n);
          for (uint8_t& b : bytes) {
            do {
              b = static_cast<uint8_t>(rng());
            } while (X86FormMayStartWith(b, true));
          }
          if (placed < n) bytes[placed] = start;
          uint64_t expected = n;
          for (size_t i = 0; i < n; ++i) {
            if (X86FormMayStartWith(bytes[i], x64)) {
              expected = i;
              break;
            }
          }
          ASSERT_EQ(expected, X86NextFormStart(bytes.data(), n, x64))
              << "n " << n << " at " << placed << " byte " << int(start) << " x64 " << x64;
        }
      }
    }
  }
}
