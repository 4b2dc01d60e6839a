// Disassembler for thin Mach-O executables, dynamic libraries and bundles
// for i386 and x86-64.  Every 32-bit relative branch, call or RIP-relative
// operand inside a code section becomes a reference to a rel32 label; all
// other bytes stay plain.  Fat (universal) files are not recognised.

#ifndef VOXPATCH_DISASSEMBLER_MACHO_H
#define VOXPATCH_DISASSEMBLER_MACHO_H

#include <cstddef>
#include <cstdint>

#include "disassembler.h"
#include "growablearray.h"

namespace voxpatch {

class DisassemblerMacho : public Disassembler {
 public:
  struct Segment {
    uint64_t address;  // rebased once the header check succeeded
    uint32_t size;
    uint32_t file_offset;
    uint32_t file_size;
  };
  struct Section {
    uint64_t address;  // rebased once the header check succeeded
    uint32_t size;
    uint32_t file_offset;
  };

  DisassemblerMacho(const void* start, size_t length);

  ExecutableKind GetKind() const override { return kind_; }
  bool CheckHeader() override;
  bool BuildProgram(DisassembledProgram* program) override;

  // File offset of an RVA through the segment holding it; -1 when the RVA
  // lies past the segment's file data or in no segment.
  int64_t RVAToFileOffset(uint32_t rva) const;
  // The same as a pointer into the input; null for -1.
  const uint8_t* RVAToPointer(uint32_t rva) const;
  // The first code section (by file offset) at or after a file offset.
  const Section* CodeSectionAtOrAfter(uint64_t file_offset) const;
  // The segment whose file data holds a file offset.
  const Segment* SegmentAtFileOffset(uint64_t file_offset) const;
  bool IsRVAInSegment(uint32_t rva) const;

  const GrowableArray<Segment>& segments() const { return segments_; }
  const GrowableArray<Section>& code_sections() const { return code_sections_; }
  const GrowableArray<uint32_t>& rel32_locations() const { return rel32_locations_; }

 private:
  bool ParseSegment32(uint64_t offset, uint32_t command_size);
  bool ParseSegment64(uint64_t offset, uint32_t command_size);
  bool AddCodeSection(const Segment& segment, uint64_t address, uint64_t size,
                      uint32_t file_offset);
  bool RecordSegment(const Segment& segment);
  // The start RVA of every code section (in code_sections_ order), in time
  // linear in segments plus sections.
  bool ComputeSectionRVAs(GrowableArray<uint32_t>* rvas) const;
  // Merges the segments' virtual ranges for IsRVAInSegment.
  bool BuildSegmentRanges();
  // Records the rel32 operands of the code in [file_offset, file_offset +
  // size), whose first byte lies at start_rva.
  bool FindRel32(uint64_t file_offset, uint64_t size, uint32_t start_rva);
  bool EmitSection(const Section& section, uint32_t start_rva, DisassembledProgram* program);

  uint32_t Read32(uint64_t offset) const;
  uint64_t Read64(uint64_t offset) const;

  ExecutableKind kind_ = EXE_UNKNOWN;
  bool is64_ = false;
  uint64_t file_extent_ = 0;
  GrowableArray<uint32_t> rel32_locations_;
  // Whether emission may hand back the front of rel32_locations_ (every
  // kLocationReleaseStep references) as it passes it.
  bool release_locations_ = false;
  static constexpr size_t kLocationReleaseStep = 256 * 1024;
  size_t locations_released_ = 0;  // entries before this are gone
  GrowableArray<Segment> segments_;
  GrowableArray<Section> code_sections_;
  // Sorted, disjoint [start, end) virtual ranges of the segments; built for
  // the scan (until then lookups walk the segments).
  struct Range {
    uint64_t start;
    uint64_t end;
  };
  GrowableArray<Range> segment_ranges_;
};

}  // namespace voxpatch

#endif  // VOXPATCH_DISASSEMBLER_MACHO_H
