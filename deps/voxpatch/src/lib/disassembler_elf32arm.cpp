#include "disassembler_elf32arm.h"

#include <memory>
#include <new>

#include "armbranchcodec.h"

namespace voxpatch {

namespace {

const uint32_t kRArmRelative = 23;

}  // namespace

uint32_t DisassemblerElf32ARM::ReadBranchWord(uint32_t type, const uint8_t* op) {
  switch (type) {
    case 0:
    case 1:
      return ReadLE16(op);
    case 2:
      return ReadLE32(op);
    default:
      return static_cast<uint32_t>(ReadLE16(op)) << 16 | ReadLE16(op + 2);
  }
}

bool DisassemblerElf32ARM::TypedRVAARM::ResolveTarget(const uint8_t* op) {
  uint32_t target = 0;
  if (!CompressArmBranch(type_, ReadBranchWord(type_, op), rva(), &compressed_op_, &target))
    return false;
  set_relative_target(target);
  op_data_ = op;
  return true;
}

bool DisassemblerElf32ARM::TypedRVAARM::EmitBranch(DisassembledProgram* program,
                                                   uint32_t target_rva) {
  AddressLabel* label = program->Rel32LabelAt(target_rva);
  return label != nullptr &&
         program->AddArmRel32Insn(compressed_op_, label, op_data_, OperandSize());
}

uint16_t DisassemblerElf32ARM::TypedRVAARM::OperandSize() const {
  return ArmBranchOpSize(type_);
}

bool DisassemblerElf32ARM::RelocToAddress(uint64_t r_offset, uint64_t r_info,
                                          uint32_t* rva) const {
  if (r_info != kRArmRelative) return false;
  *rva = static_cast<uint32_t>(r_offset);
  return true;
}

bool DisassemblerElf32ARM::ReadRelocSection(const SectionHeader& section,
                                            DisassembledProgram* program) {
  const GrowableArray<uint32_t>& locations = abs32_locations();
  const uint64_t count = locations.size();
  const uint64_t n = RelocEntryCount(section);
  if (count == 0 || relocs_emitted_) return EmitBytes(program, section.offset, section.size);

  const uint8_t* entries = PointerAtOffset(section.offset);
  auto r_offset = [entries](uint64_t i) { return ReadLE32(entries + 8 * i); };
  auto r_info = [entries](uint64_t i) { return ReadLE32(entries + 8 * i + 4); };

  // Entries before the first absolute location stay plain.
  uint64_t first = 0;
  while (first < n && r_offset(first) != locations[0]) ++first;
  if (!EmitBytes(program, section.offset, 8 * first)) return false;
  if (count > n) return EmitBytes(program, section.offset + 8 * first, section.size - 8 * first);

  // The entries from there on must be the locations, in order; running out
  // of entries counts as a mismatch.
  uint64_t matched = 0;
  while (matched < count && first + matched < n && r_info(first + matched) == kRArmRelative &&
         r_offset(first + matched) == locations[matched])
    ++matched;
  if (matched == count) {
    relocs_emitted_ = true;
    const uint64_t rest = section.offset + 8 * (first + count);
    return program->AddElfArmRelocsInsn() &&
           EmitBytes(program, rest, section.offset + section.size - rest);
  }
  // The matched entries and the mismatching one are left out; the final
  // diff of a patch restores them.
  const uint64_t after = first + matched < n ? first + matched + 1 : n;
  const uint64_t skipped = 8 * after;
  return EmitBytes(program, section.offset + skipped, section.size - skipped);
}

bool DisassemblerElf32ARM::ScanRel32InSection(const SectionHeader& section) {
  const uint8_t* bytes = PointerAtOffset(section.offset);
  const uint64_t size = section.size;
  bool aligned = true;  // whether p is on a 32-bit boundary of the code
  uint64_t p = 0;
  // Builds the location of a branch of `type` at p; `taken` tells whether
  // its target lies in a loaded segment (then it is recorded).
  auto consider = [&](uint32_t type, bool* taken) {
    const uint32_t rva = static_cast<uint32_t>(section.address + p);
    uint16_t op = 0;
    uint32_t target = 0;
    if (!CompressArmBranch(type, ReadBranchWord(type, bytes + p), rva, &op, &target))
      return false;
    *taken = IsValidTargetRVA(rva + target);
    if (!*taken) return true;
    TypedRVAARM* location = MakeLocation<TypedRVAARM>(type, rva);
    if (location == nullptr || !location->ResolveTarget(bytes + p) ||
        !AddRel32Location(location)) {
      DropLocation(location);
      return false;
    }
    return true;
  };

  while (p < size) {
    const uint64_t remaining = size - p;
    bool taken = false;
    if (remaining >= 3) {
      const uint16_t halfword = ReadLE16(bytes + p);
      const bool thumb8 = (halfword & 0xF000) == 0xD000;
      const bool thumb11 = (halfword & 0xF800) == 0xE000;
      if (thumb8 || thumb11) {
        if (!consider(thumb8 ? 0 : 1, &taken)) return false;
        aligned = taken || !aligned;
        p += 2;
        continue;
      }
    }
    if (remaining < 5) {
      aligned = !aligned;
      p += 2;
      continue;
    }
    const uint16_t second = ReadLE16(bytes + p + 2);
    const uint32_t thumb2 = static_cast<uint32_t>(ReadLE16(bytes + p)) << 16 | second;
    if ((thumb2 & 0xF8008000u) == 0xF0008000u) {
      if (!consider((second & 0x5000) != 0 ? 3 : 4, &taken)) return false;
      aligned = taken || !aligned;
      p += taken ? 4 : 2;
      continue;
    }
    if (!aligned) {
      aligned = true;
      p += 2;
      continue;
    }
    if ((ReadLE32(bytes + p) & 0x0E000000u) == 0x0A000000u) {
      if (!consider(2, &taken)) return false;
      aligned = taken;
      p += taken ? 4 : 2;
      continue;
    }
    aligned = false;
    p += 2;
  }
  return true;
}

}  // namespace voxpatch
