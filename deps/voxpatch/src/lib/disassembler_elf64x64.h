// Disassembler for x86-64 ELF executables and shared libraries.

#ifndef VOXPATCH_DISASSEMBLER_ELF64X64_H
#define VOXPATCH_DISASSEMBLER_ELF64X64_H

#include "disassembler_elf.h"

namespace voxpatch {

class DisassemblerElf64X64 : public DisassemblerElf64 {
 public:
  class TypedRVAX64 : public X86TypedRVA<DisassemblerElf64::TypedRVA> {
   public:
    using X86TypedRVA::X86TypedRVA;
  };

  DisassemblerElf64X64(const void* start, size_t length) : DisassemblerElf64(start, length) {}

  ExecutableKind GetKind() const override { return EXE_ELF_64_X64; }
  uint16_t ElfMachine() const override { return 62; }
  // No entry is taken: x86-64 files keep no absolute locations here.
  bool RelocToAddress(uint64_t r_offset, uint64_t r_info, uint32_t* rva) const override;
  // Relocation sections stay plain bytes.
  bool ReadRelocSection(const SectionHeader& section, DisassembledProgram* program) override;
  bool ScanRel32InSection(const SectionHeader& section) override;
};

}  // namespace voxpatch

#endif  // VOXPATCH_DISASSEMBLER_ELF64X64_H
