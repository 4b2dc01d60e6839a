// Disassemblers for Windows portable executables: PE32 (i386) and PE32+
// (x86-64).  Absolute addresses come from the base relocation table, whose
// bytes are replaced by an instruction that regenerates it; relative
// branches, calls and (PE32+) RIP-relative operands come from a byte-pattern
// scan of the ".text" sections.

#ifndef VOXPATCH_DISASSEMBLER_WIN32_H
#define VOXPATCH_DISASSEMBLER_WIN32_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "disassembler.h"
#include "growablearray.h"

namespace voxpatch {

class DisassemblerWin32 : public Disassembler {
 public:
  // A 40-byte section header of the file.
  struct Section {
    char name[8];
    uint32_t virtual_size;
    uint32_t virtual_address;
    uint32_t raw_size;
    uint32_t raw_offset;
  };
  struct DataDirectory {
    uint32_t rva = 0;
    uint32_t size = 0;
  };

  ExecutableKind GetKind() const override;
  bool CheckHeader() override;
  bool BuildProgram(DisassembledProgram* program) override;

  // The first section (in table order) whose virtual range holds an RVA.
  const Section* SectionHoldingRVA(uint32_t rva) const;
  // The RVA in hexadecimal, with " (name+offset)" when a section holds it.
  std::string DescribeRVA(uint32_t rva) const;
  // File offset of an RVA, or -1 (logged unless the RVA is 0 or 2, which
  // give themselves).
  int64_t RVAToFileOffset(uint32_t rva) const;
  // RVA of a file offset through the first section whose raw data holds
  // it; 0 when none does.
  uint32_t FileOffsetToRVA(uint64_t offset) const;

  bool is_pe32plus() const { return is_pe32plus_; }
  uint64_t image_base() const { return image_base_; }
  uint32_t size_of_image() const { return size_of_image_; }
  const DataDirectory& base_relocation_table() const { return base_relocation_table_; }
  const GrowableArray<Section>& sections() const { return sections_; }
  const GrowableArray<uint32_t>& abs32_locations() const { return abs32_locations_; }
  const GrowableArray<uint32_t>& rel32_locations() const { return rel32_locations_; }

 protected:
  DisassemblerWin32(const void* start, size_t length, bool wants_pe32plus);

 private:
  bool ReadDataDirectory(uint32_t index, DataDirectory* directory);
  bool ParseRelocs();
  bool ParseRel32InSection(const Section& section);
  bool EmitSection(const Section& section, uint32_t origin, DisassembledProgram* program);
  // The sections with raw data, by raw offset (table order on a tie).
  bool SortSectionsByFileOffset();

  const bool wants_pe32plus_;
  bool is_pe32plus_ = false;
  bool has_text_ = false;
  bool relocs_emitted_ = false;
  uint16_t machine_ = 0;
  uint16_t section_count_ = 0;
  uint16_t optional_header_size_ = 0;
  uint32_t data_directories_offset_ = 0;
  uint64_t optional_header_offset_ = 0;
  uint64_t section_table_offset_ = 0;
  uint32_t size_of_code_ = 0;
  uint32_t size_of_initialized_data_ = 0;
  uint32_t size_of_uninitialized_data_ = 0;
  uint32_t base_of_code_ = 0;
  uint32_t base_of_data_ = 0;
  uint64_t image_base_ = 0;
  uint32_t size_of_image_ = 0;
  uint32_t data_directory_count_ = 0;
  DataDirectory export_table_, import_table_, resource_table_, exception_table_,
      base_relocation_table_, bound_import_table_, import_address_table_,
      delay_import_descriptor_, clr_runtime_header_;
  GrowableArray<Section> sections_;
  GrowableArray<uint32_t> file_order_;  // indexes into sections_
  GrowableArray<uint32_t> abs32_locations_;
  GrowableArray<uint32_t> rel32_locations_;
};

// PE32 images (kind WIN_32_X86).
class DisassemblerWin32X86 : public DisassemblerWin32 {
 public:
  DisassemblerWin32X86(const void* start, size_t length)
      : DisassemblerWin32(start, length, false) {}
};

// PE32+ images (kind WIN_32_X64).
class DisassemblerWin32X64 : public DisassemblerWin32 {
 public:
  DisassemblerWin32X64(const void* start, size_t length)
      : DisassemblerWin32(start, length, true) {}
};

}  // namespace voxpatch

#endif  // VOXPATCH_DISASSEMBLER_WIN32_H
