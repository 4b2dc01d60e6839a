// Disassembler for 32-bit ARM ELF executables and shared libraries mixing
// ARM and Thumb code.  Its rel32 locations are branches of five encodings;
// each is kept as the instruction without its offset (the compressed op)
// plus the label of its target.

#ifndef VOXPATCH_DISASSEMBLER_ELF32ARM_H
#define VOXPATCH_DISASSEMBLER_ELF32ARM_H

#include "disassembler_elf.h"

namespace voxpatch {

class DisassemblerElf32ARM : public DisassemblerElf32 {
 public:
  // Branch types: 0 Thumb conditional (8-bit offset), 1 Thumb (11-bit),
  // 2 ARM B/BL/BLX (24-bit), 3 Thumb-2 BL/BLX/B.W (25-bit), 4 Thumb-2
  // conditional (21-bit).
  class TypedRVAARM : public DisassemblerElf32::TypedRVA {
   public:
    TypedRVAARM(uint32_t type, uint32_t rva) : TypedRVA(rva), type_(type) {}
    bool ResolveTarget(const uint8_t* op) override;
    bool EmitBranch(DisassembledProgram* program, uint32_t target_rva) override;
    uint16_t OperandSize() const override;

    uint32_t type() const { return type_; }
    uint16_t compressed_op() const { return compressed_op_; }

   private:
    uint32_t type_;
    uint16_t compressed_op_ = 0;
    const uint8_t* op_data_ = nullptr;
  };

  DisassemblerElf32ARM(const void* start, size_t length) : DisassemblerElf32(start, length) {}

  ExecutableKind GetKind() const override { return EXE_ELF_32_ARM; }
  uint16_t ElfMachine() const override { return 40; }
  // R_ARM_RELATIVE entries without symbol.
  bool RelocToAddress(uint64_t r_offset, uint64_t r_info, uint32_t* rva) const override;
  // Leading entries that are not absolute locations stay plain; the run of
  // entries that are exactly the absolute locations becomes the
  // relocation-table instruction.
  bool ReadRelocSection(const SectionHeader& section, DisassembledProgram* program) override;
  bool ScanRel32InSection(const SectionHeader& section) override;

  // The instruction word a branch of the given type is read as: the
  // halfword (types 0 and 1), the word (type 2) or the first halfword above
  // the second (types 3 and 4).
  static uint32_t ReadBranchWord(uint32_t type, const uint8_t* op);
};

}  // namespace voxpatch

#endif  // VOXPATCH_DISASSEMBLER_ELF32ARM_H
