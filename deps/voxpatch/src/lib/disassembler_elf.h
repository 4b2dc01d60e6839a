// Base of the ELF disassemblers, one template over the 32-bit and 64-bit
// file layouts.  Absolute addresses come from the RELATIVE entries of
// SHT_REL sections (abs32), relative branches from a scan of every
// SHT_PROGBITS section (rel32, kept as typed locations that know their
// instruction set); a relocation section holding exactly the expected
// entries is replaced by an instruction that regenerates it.

#ifndef VOXPATCH_DISASSEMBLER_ELF_H
#define VOXPATCH_DISASSEMBLER_ELF_H

#include <cstddef>
#include <cstdint>
#include <new>

#include "blockarena.h"
#include "disassembledprogram.h"
#include "disassembler.h"
#include "growablearray.h"
#include "intervalindex.h"
#include "littleendian.h"
#include "x86rel32.h"

namespace voxpatch {

// Field layout of 32-bit ELF files.
struct Elf32Layout {
  static constexpr bool kIs64 = false;
  static constexpr uint64_t kHeaderSize = 52;
  static constexpr uint64_t kSectionHeaderSize = 40;
  static constexpr uint64_t kProgramHeaderSize = 32;
  static constexpr uint64_t kRelSize = 8;
};

// Field layout of 64-bit ELF files.
struct Elf64Layout {
  static constexpr bool kIs64 = true;
  static constexpr uint64_t kHeaderSize = 64;
  static constexpr uint64_t kSectionHeaderSize = 64;
  static constexpr uint64_t kProgramHeaderSize = 56;
  static constexpr uint64_t kRelSize = 16;
};

template <typename Layout>
class DisassemblerElf : public Disassembler {
 public:
  enum : uint32_t {
    kProgBits = 1,
    kNoBits = 8,
    kRel = 9,
    kInitArray = 14,
    kFiniArray = 15,
    kLoad = 1,
  };

  struct SectionHeader {
    uint32_t type;
    uint64_t address;
    uint64_t offset;
    uint64_t size;
    uint64_t entry_size;
  };
  struct ProgramHeader {
    uint32_t type;
    uint64_t offset;
    uint64_t address;
    uint64_t file_size;
    uint64_t memory_size;
  };

  // A rel32 location and what it knows of its instruction.
  class TypedRVA {
   public:
    explicit TypedRVA(uint32_t rva) : rva_(rva) {}
    virtual ~TypedRVA() = default;
    TypedRVA(const TypedRVA&) = delete;
    TypedRVA& operator=(const TypedRVA&) = delete;

    // Reads the instruction at op and keeps its relative target.
    virtual bool ResolveTarget(const uint8_t* op) = 0;
    virtual bool EmitBranch(DisassembledProgram* program, uint32_t target_rva) = 0;
    // Bytes the operand occupies.
    virtual uint16_t OperandSize() const = 0;

    uint32_t rva() const { return rva_; }
    uint32_t relative_target() const { return relative_target_; }
    void set_relative_target(uint32_t target) { relative_target_ = target; }
    int64_t file_offset() const { return file_offset_; }
    void set_file_offset(int64_t offset) { file_offset_ = offset; }

   private:
    uint32_t rva_;
    uint32_t relative_target_ = 0;
    int64_t file_offset_ = -1;
  };

  ~DisassemblerElf() override;

  bool CheckHeader() override;
  bool BuildProgram(DisassembledProgram* program) override;

  // The machine number (e_machine) the subclass accepts.
  virtual uint16_t ElfMachine() const = 0;
  // The RVA a relocation entry makes absolute, or false when the entry is
  // not one the subclass takes.
  virtual bool RelocToAddress(uint64_t r_offset, uint64_t r_info, uint32_t* rva) const = 0;
  // Emits a relocation section (its file range is inside the input).
  virtual bool ReadRelocSection(const SectionHeader& section, DisassembledProgram* program) = 0;
  // Adds the rel32 locations of one SHT_PROGBITS section.
  virtual bool ScanRel32InSection(const SectionHeader& section) = 0;

  // File offset of an RVA through the first program header holding it in
  // its file data; -1 when none does.
  int64_t RVAToFileOffset(uint32_t rva) const;
  // RVA of a file offset through the first section other than SHT_NOBITS
  // holding it; false when none does.
  bool FileOffsetToRVA(uint64_t offset, uint32_t* rva) const;
  // Whether a branch target lies in the memory of a PT_LOAD segment.
  bool IsValidTargetRVA(uint32_t rva) const;

  const GrowableArray<SectionHeader>& sections() const { return sections_; }
  const GrowableArray<ProgramHeader>& segments() const { return segments_; }
  const GrowableArray<uint32_t>& abs32_locations() const { return abs32_locations_; }
  size_t rel32_location_count() const { return rel32_locations_.size(); }
  // The section named by e_shstrndx, or null when the index is out of range.
  const SectionHeader* section_names() const { return section_names_; }

  // The file walk emits at most this many bytes per byte of the detected
  // length.  A section table that is not in file order sends the walk back
  // over bytes it has emitted (every section's bytes are emitted where the
  // table lists it).  Linked files stay below 2; separate debug files of
  // programs linked with their relocations kept go further: each debug
  // section is listed before its RELA section, which lies behind all the
  // debug sections, so the walk emits the bytes from one to the other once
  // per RELA section (4 to 7 bytes per byte with 7 to 13 of them).  Past
  // kWalkBytesPerByte the walk also keeps within the program limit
  // (Disassembler::SetProgramLimit).  Past the bound the disassembly fails
  // before any section is read, so a table of many sections over the same
  // bytes costs no more than a walk over the table.
  static constexpr uint64_t kWalkBytesPerByte = 4;
  static constexpr uint64_t kMaxWalkBytesPerByte = 16;
  // The most bytes the walk may emit.
  uint64_t WalkBudget() const;

 protected:
  DisassemblerElf(const void* start, size_t length);

  // Number of whole relocation entries of a section: entries are
  // Layout::kRelSize bytes apart, and no more than sh_size / sh_entsize.
  static uint64_t RelocEntryCount(const SectionHeader& section);
  // Emits [offset, offset + size) of the input as one run (nothing when empty).
  bool EmitBytes(DisassembledProgram* program, uint64_t offset, uint64_t size);
  // Whether the one relocation-table instruction has been emitted yet.
  bool relocs_emitted_ = false;

  // Records a location found by a scan; false when memory runs out.
  bool AddRel32Location(TypedRVA* location);
  // Makes a location of type T in storage that goes with all the others
  // (a walk makes hundreds of thousands); null when memory runs out.
  template <typename T, typename... Args>
  T* MakeLocation(Args... args) {
    void* at = location_storage_.Allocate(sizeof(T));
    return at == nullptr ? nullptr : new (at) T(args...);
  }
  // Ends a location made by MakeLocation that was not recorded.
  static void DropLocation(TypedRVA* location) {
    if (location != nullptr) location->~TypedRVA();
  }
  // The x86 byte-pattern scan of one section (x64 adds the 64-bit forms);
  // make(rva) builds the typed location of an operand.
  template <typename Make>
  bool ScanX86Section(const SectionHeader& section, bool x64, Make make);

 private:
  // One section's step of the file walk from a cursor: the bytes emitted
  // before the section's own ([cursor, gap_end)), whether the section's
  // bytes are emitted, and the cursor after the step.
  struct WalkStep {
    bool skipped;  // a NOBITS section past the detected length: no step
    uint64_t gap_end;
    bool emits_section;
    uint64_t cursor_after;
  };
  WalkStep StepOver(const SectionHeader& section, uint64_t cursor) const;
  // Every section with file bytes lies inside the input, and the walk stays
  // within kMaxWalkBytesPerByte.
  bool CheckWalk() const;
  bool BuildIndexes();
  bool CollectAbs32Locations();
  bool EmitFile(DisassembledProgram* program);
  bool EmitProgBitsSection(const SectionHeader& section, DisassembledProgram* program);
  void ClearRel32Locations();

  // Consumption of abs32 locations.  The walk takes them in address order;
  // the sections that drop theirs (NOBITS, INIT_ARRAY, FINI_ARRAY) take
  // them by file range, found through the locations in file-offset order.
  bool PrepareAbs32Consumption();
  void ConsumeAbs32(size_t index);
  // The first unconsumed location in address order, or the count.
  size_t NextAbs32();
  // The first unconsumed position at or after `position` in file-offset
  // order, or the count.
  size_t NextLiveByOffset(size_t position);
  void DropAbs32In(const SectionHeader& section);

  const uint8_t* header_ = nullptr;
  GrowableArray<SectionHeader> sections_;
  GrowableArray<ProgramHeader> segments_;
  const SectionHeader* section_names_ = nullptr;

  IntervalIndex rva_to_file_;   // program headers' file data, by address
  IntervalIndex load_memory_;   // PT_LOAD memory ranges
  IntervalIndex abs32_holders_;  // file ranges of type 1 and 9 sections

  GrowableArray<uint32_t> abs32_locations_;
  GrowableArray<int64_t> abs32_offsets_;
  GrowableArray<TypedRVA*> rel32_locations_;
  BlockArena location_storage_;  // where the rel32 locations live
  // Address-order index of each file-offset position, its inverse, and for
  // each position the next one that may be unconsumed (itself while it is
  // unconsumed; links are shortened as they are followed).
  GrowableArray<size_t> abs32_by_offset_;
  GrowableArray<size_t> abs32_position_;
  GrowableArray<size_t> abs32_live_link_;
  size_t abs32_consumed_ = 0;
  size_t next_abs32_ = 0;
  size_t next_rel32_ = 0;
};

// A rel32 location in x86 or x86-64 code: the 32-bit displacement of a
// call, a jump or an operand relative to the instruction pointer.
template <typename Base>
class X86TypedRVA : public Base {
 public:
  using Base::Base;
  bool ResolveTarget(const uint8_t* op) override {
    this->set_relative_target(ReadLE32(op) + 4);
    return true;
  }
  bool EmitBranch(DisassembledProgram* program, uint32_t target_rva) override {
    return program->AddRel32InsnTo(target_rva);
  }
  uint16_t OperandSize() const override { return 4; }
};

using DisassemblerElf32 = DisassemblerElf<Elf32Layout>;
using DisassemblerElf64 = DisassemblerElf<Elf64Layout>;

extern template class DisassemblerElf<Elf32Layout>;
extern template class DisassemblerElf<Elf64Layout>;

template <typename Layout>
template <typename Make>
bool DisassemblerElf<Layout>::ScanX86Section(const SectionHeader& section, bool x64,
                                             Make make) {
  const uint8_t* bytes = PointerAtOffset(section.offset);
  const uint64_t size = section.size;
  uint64_t p = 0;
  while (p < size) {
    // Bytes that start no form are passed over together.
    p += X86NextFormStart(bytes + p, size - p, x64);
    if (p == size) break;
    bool wide = false;
    const int at = X86Rel32OperandAt(bytes + p, size - p, x64, &wide);
    if (at != 0) {
      const uint32_t operand = static_cast<uint32_t>(section.address + p + at);
      const uint32_t target = operand + ReadLE32(bytes + p + at) + 4;
      if (IsValidTargetRVA(target)) {
        TypedRVA* location = make(operand);
        if (location == nullptr || !location->ResolveTarget(bytes + p + at) ||
            !AddRel32Location(location)) {
          DropLocation(location);
          return false;
        }
        p += static_cast<uint64_t>(at) + 4;
        continue;
      }
    }
    ++p;
  }
  return true;
}

}  // namespace voxpatch

#endif  // VOXPATCH_DISASSEMBLER_ELF_H
