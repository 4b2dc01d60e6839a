// Disassembler for i386 ELF executables and shared libraries.

#ifndef VOXPATCH_DISASSEMBLER_ELF32X86_H
#define VOXPATCH_DISASSEMBLER_ELF32X86_H

#include "disassembler_elf.h"

namespace voxpatch {

class DisassemblerElf32X86 : public DisassemblerElf32 {
 public:
  class TypedRVAX86 : public X86TypedRVA<DisassemblerElf32::TypedRVA> {
   public:
    using X86TypedRVA::X86TypedRVA;
  };

  DisassemblerElf32X86(const void* start, size_t length) : DisassemblerElf32(start, length) {}

  ExecutableKind GetKind() const override { return EXE_ELF_32_X86; }
  uint16_t ElfMachine() const override { return 3; }
  // R_386_RELATIVE entries without symbol.
  bool RelocToAddress(uint64_t r_offset, uint64_t r_info, uint32_t* rva) const override;
  // A section whose first entries are exactly the absolute locations
  // becomes the relocation-table instruction plus its remaining bytes.
  bool ReadRelocSection(const SectionHeader& section, DisassembledProgram* program) override;
  bool ScanRel32InSection(const SectionHeader& section) override;
};

}  // namespace voxpatch

#endif  // VOXPATCH_DISASSEMBLER_ELF32X86_H
