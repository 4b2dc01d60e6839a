#include "disassembler_elf32x86.h"

#include <new>

namespace voxpatch {

namespace {

const uint32_t kR386Relative = 8;

}  // namespace

bool DisassemblerElf32X86::RelocToAddress(uint64_t r_offset, uint64_t r_info,
                                          uint32_t* rva) const {
  if (r_info != kR386Relative) return false;
  *rva = static_cast<uint32_t>(r_offset);
  return true;
}

bool DisassemblerElf32X86::ReadRelocSection(const SectionHeader& section,
                                            DisassembledProgram* program) {
  const GrowableArray<uint32_t>& locations = abs32_locations();
  const uint64_t count = locations.size();
  if (!relocs_emitted_ && count != 0 && RelocEntryCount(section) >= count) {
    const uint8_t* entries = PointerAtOffset(section.offset);
    uint64_t i = 0;
    while (i < count && ReadLE32(entries + 8 * i + 4) == kR386Relative &&
           ReadLE32(entries + 8 * i) == locations[i])
      ++i;
    if (i == count) {
      relocs_emitted_ = true;
      return program->AddElfRelocsInsn() &&
             EmitBytes(program, section.offset + 8 * count, section.size - 8 * count);
    }
  }
  return EmitBytes(program, section.offset, section.size);
}

bool DisassemblerElf32X86::ScanRel32InSection(const SectionHeader& section) {
  return ScanX86Section(section, false, [this](uint32_t rva) {
    return MakeLocation<TypedRVAX86>(rva);
  });
}

}  // namespace voxpatch
