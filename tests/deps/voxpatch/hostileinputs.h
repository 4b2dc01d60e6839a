// Hostile containers, ensemble patches and Mach-O images, each rebuilt from
// a small seed: shared by the tests (which check that the limited entries
// fail within a memory budget) and the benchmark (which times them).

#ifndef VOXPATCH_TESTS_HOSTILEINPUTS_H
#define VOXPATCH_TESTS_HOSTILEINPUTS_H

#include <cstdint>
#include <string>
#include <vector>

namespace voxpatch_test {

struct HostileContainer {
  std::string label;
  std::string container;  // the file's bytes
  uint64_t limit;         // passed to the limited DecompressLzmaFile
  bool allow_executable_aware;
  std::string first_message;  // the first line the failure logs
};

std::vector<HostileContainer> HostileContainers();

struct HostilePatch {
  std::string label;
  std::string patch;  // the patch file's bytes, for old_file
  int expected_status;
};

// The limit the patches are applied with.
constexpr uint64_t kHostilePatchLimit = 1u << 20;

// Patches from old_file (a Mach-O executable) towards new_file.
std::vector<HostilePatch> HostilePatches(const std::string& old_file, const std::string& new_file);

// A 64-bit Mach-O image whose one stretch of `code_size` bytes of calls is
// claimed by `sections` code sections, each starting `step` bytes behind
// the one before (step 0: the same range again and again).
std::string OverlappingSectionsImage(uint32_t sections, uint32_t step, uint32_t code_size);

// An i386 ELF image whose `sections` PROGBITS sections all claim one stretch
// of `size` bytes of calls, and as many relocation sections one stretch of
// `size` bytes of RELATIVE entries; `segments` program headers (at least 1)
// map the file.
std::string OverlappingElfSectionsImage(uint32_t sections, uint32_t segments, uint32_t size);

}  // namespace voxpatch_test

#endif  // VOXPATCH_TESTS_HOSTILEINPUTS_H
