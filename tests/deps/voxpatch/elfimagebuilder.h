// Builds small synthetic 32-bit ELF images for tests and benchmarks: the
// header, program headers at 52, the bytes up to file_size, then the section
// header table (the last thing in the file).  Nothing is checked, so
// malformed images are as easy to make as good ones.

#ifndef VOXPATCH_TESTS_ELFIMAGEBUILDER_H
#define VOXPATCH_TESTS_ELFIMAGEBUILDER_H

#include <cstdint>
#include <string>
#include <vector>

#include "imagepoke.h"

namespace voxpatch_test {

struct ElfSection {
  uint32_t type;
  uint32_t address;
  uint32_t offset;
  uint32_t size;
  uint32_t entry_size = 0;
};

struct ElfSegment {
  uint32_t type;
  uint32_t offset;
  uint32_t address;
  uint32_t file_size;
  uint32_t memory_size;
};

struct ElfImage {
  uint16_t machine = 3;
  uint16_t type = 3;
  uint32_t version = 1;
  uint16_t section_header_size = 40;
  uint16_t names_index = 0;
  std::vector<ElfSegment> segments = {{1, 0, 0, 0x1000, 0x1000}};
  std::vector<ElfSection> sections = {{0, 0, 0, 0}};
  size_t file_size = 0x1000;

  std::string Build() const {
    std::string image(file_size + 40 * sections.size(), '\0');
    image.replace(0, 4, "\x7F" "ELF");
    image[4] = 1;
    image[5] = 1;
    Poke16(&image, 16, type);
    Poke16(&image, 18, machine);
    Poke32(&image, 20, version);
    Poke32(&image, 28, 52);
    Poke32(&image, 32, static_cast<uint32_t>(file_size));
    Poke16(&image, 42, 32);
    Poke16(&image, 44, static_cast<uint16_t>(segments.size()));
    Poke16(&image, 46, section_header_size);
    Poke16(&image, 48, static_cast<uint16_t>(sections.size()));
    Poke16(&image, 50, names_index);
    for (size_t i = 0; i < segments.size(); ++i) {
      const size_t at = 52 + 32 * i;
      Poke32(&image, at, segments[i].type);
      Poke32(&image, at + 4, segments[i].offset);
      Poke32(&image, at + 8, segments[i].address);
      Poke32(&image, at + 16, segments[i].file_size);
      Poke32(&image, at + 20, segments[i].memory_size);
    }
    for (size_t i = 0; i < sections.size(); ++i) {
      const size_t at = file_size + 40 * i;
      Poke32(&image, at + 4, sections[i].type);
      Poke32(&image, at + 12, sections[i].address);
      Poke32(&image, at + 16, sections[i].offset);
      Poke32(&image, at + 20, sections[i].size);
      Poke32(&image, at + 36, sections[i].entry_size);
    }
    return image;
  }
};

}  // namespace voxpatch_test

#endif  // VOXPATCH_TESTS_ELFIMAGEBUILDER_H
