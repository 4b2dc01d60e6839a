// Writes little-endian values into a test image held in a string.

#ifndef VOXPATCH_TESTS_IMAGEPOKE_H
#define VOXPATCH_TESTS_IMAGEPOKE_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace voxpatch_test {

inline void Poke16(std::string* image, size_t offset, uint16_t v) {
  for (int i = 0; i < 2; ++i) (*image)[offset + i] = static_cast<char>(v >> (8 * i));
}

inline void Poke32(std::string* image, size_t offset, uint32_t v) {
  for (int i = 0; i < 4; ++i) (*image)[offset + i] = static_cast<char>(v >> (8 * i));
}

}  // namespace voxpatch_test

#endif  // VOXPATCH_TESTS_IMAGEPOKE_H
