#include "disassembler_elf64x64.h"

#include <new>

namespace voxpatch {

bool DisassemblerElf64X64::RelocToAddress(uint64_t, uint64_t, uint32_t*) const { return false; }

bool DisassemblerElf64X64::ReadRelocSection(const SectionHeader& section,
                                            DisassembledProgram* program) {
  return EmitBytes(program, section.offset, section.size);
}

bool DisassemblerElf64X64::ScanRel32InSection(const SectionHeader& section) {
  return ScanX86Section(section, true, [this](uint32_t rva) {
    return MakeLocation<TypedRVAX64>(rva);
  });
}

}  // namespace voxpatch
