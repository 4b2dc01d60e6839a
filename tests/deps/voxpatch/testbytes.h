// Byte-vector helpers shared by the stream, diff, LZMA2 and container tests.

#ifndef VOXPATCH_TESTS_TESTBYTES_H
#define VOXPATCH_TESTS_TESTBYTES_H

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "bytewriter.h"

namespace voxpatch_test {

using Bytes = std::vector<uint8_t>;

// Everything a writer holds, as a vector.
inline Bytes Contents(const voxpatch::ByteWriter& w) {
  return Bytes(w.Buffer(), w.Buffer() + w.Length());
}

// n pseudo-random bytes, the same for the same seed.
inline Bytes Random(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& x : b) x = static_cast<uint8_t>(rng());
  return b;
}

}  // namespace voxpatch_test

#endif  // VOXPATCH_TESTS_TESTBYTES_H
