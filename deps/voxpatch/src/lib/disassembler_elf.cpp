#include "disassembler_elf.h"

#include <algorithm>
#include <limits>

#include "addressdirectory.h"
#include "disassembledprogram.h"
#include "logstream.h"

namespace voxpatch {

namespace {

// a + b, held at the largest value instead of wrapping.
uint64_t AddClamped(uint64_t a, uint64_t b) {
  return b > std::numeric_limits<uint64_t>::max() - a ? std::numeric_limits<uint64_t>::max()
                                                      : a + b;
}

// Reads a field that is 32 bits wide in 32-bit files and 64 bits in 64-bit ones.
template <typename Layout>
uint64_t ReadWord(const uint8_t* p) {
  return Layout::kIs64 ? ReadLE64(p) : ReadLE32(p);
}

}  // namespace

template <typename Layout>
DisassemblerElf<Layout>::DisassemblerElf(const void* start, size_t length)
    : Disassembler(start, length) {}

template <typename Layout>
DisassemblerElf<Layout>::~DisassemblerElf() {
  ClearRel32Locations();
}

template <typename Layout>
void DisassemblerElf<Layout>::ClearRel32Locations() {
  for (TypedRVA* location : rel32_locations_) location->~TypedRVA();
  rel32_locations_.clear();
  location_storage_.Clear();
}

template <typename Layout>
bool DisassemblerElf<Layout>::AddRel32Location(TypedRVA* location) {
  return rel32_locations_.push_back(location);
}

template <typename Layout>
bool DisassemblerElf<Layout>::CheckHeader() {
  const uint64_t total = length();
  if (total < Layout::kHeaderSize) return MarkInvalid("Too small");
  const uint8_t* h = PointerAtOffset(0);
  header_ = h;
  if (h[0] != 0x7F || h[1] != 'E' || h[2] != 'L' || h[3] != 'F')
    return MarkInvalid("No Magic Number");
  const uint16_t type = ReadLE16(h + 16);
  if (type != 2 && type != 3) return MarkInvalid("Not an executable file or shared library");
  if (ReadLE16(h + 18) != ElfMachine()) return MarkInvalid("Not a supported architecture");
  if (ReadLE32(h + 20) != 1) return MarkInvalid("Unknown file version");

  const uint64_t phoff = ReadWord<Layout>(h + (Layout::kIs64 ? 32 : 28));
  const uint64_t shoff = ReadWord<Layout>(h + (Layout::kIs64 ? 40 : 32));
  const uint8_t* counts = h + (Layout::kIs64 ? 56 : 44);
  const uint16_t phnum = ReadLE16(counts);
  const uint16_t shentsize = ReadLE16(counts + 2);
  const uint16_t shnum = ReadLE16(counts + 4);
  const uint16_t shstrndx = ReadLE16(counts + 6);
  if (shentsize != Layout::kSectionHeaderSize)
    return MarkInvalid("Unexpected section header size");

  const uint64_t section_table_end = shoff + Layout::kSectionHeaderSize * shnum;
  if (shoff >= total) return MarkInvalid("Out of bounds section header table offset");
  if (section_table_end > total) return MarkInvalid("Out of bounds section header table");
  const uint64_t program_table_end = phoff + Layout::kProgramHeaderSize * phnum;
  if (phoff >= total) return MarkInvalid("Out of bounds program header table offset");
  if (program_table_end > total) return MarkInvalid("Out of bounds program header table");

  // The tables lie inside the input, so their entries can be kept.
  sections_.clear();
  segments_.clear();
  if (!sections_.reserve(shnum) || !segments_.reserve(phnum)) return MarkInvalid("out of memory");
  uint64_t content = std::max(section_table_end, program_table_end);
  for (uint32_t i = 0; i < shnum; ++i) {
    const uint8_t* s = h + shoff + Layout::kSectionHeaderSize * i;
    SectionHeader section;
    section.type = ReadLE32(s + 4);
    if (Layout::kIs64) {
      section.address = ReadLE64(s + 16);
      section.offset = ReadLE64(s + 24);
      section.size = ReadLE64(s + 32);
      section.entry_size = ReadLE64(s + 56);
    } else {
      section.address = ReadLE32(s + 12);
      section.offset = ReadLE32(s + 16);
      section.size = ReadLE32(s + 20);
      section.entry_size = ReadLE32(s + 36);
    }
    if (section.type != kNoBits) content = std::max(content, AddClamped(section.offset, section.size));
    sections_.push_back(section);
  }
  for (uint32_t i = 0; i < phnum; ++i) {
    const uint8_t* p = h + phoff + Layout::kProgramHeaderSize * i;
    ProgramHeader segment;
    segment.type = ReadLE32(p);
    if (Layout::kIs64) {
      segment.offset = ReadLE64(p + 8);
      segment.address = ReadLE64(p + 16);
      segment.file_size = ReadLE64(p + 32);
      segment.memory_size = ReadLE64(p + 40);
    } else {
      segment.offset = ReadLE32(p + 4);
      segment.address = ReadLE32(p + 8);
      segment.file_size = ReadLE32(p + 16);
      segment.memory_size = ReadLE32(p + 20);
    }
    content = std::max(content, AddClamped(segment.offset, segment.file_size));
    segments_.push_back(segment);
  }
  // The section-name table is noted only when the index names a section.
  section_names_ = shstrndx < shnum ? &sections_[shstrndx] : nullptr;
  TrimLength(content);
  if (!BuildIndexes()) return MarkInvalid("out of memory");
  return MarkValid();
}

template <typename Layout>
int64_t DisassemblerElf<Layout>::RVAToFileOffset(uint32_t rva) const {
  const uint32_t index = rva_to_file_.Find(rva);
  if (index == IntervalIndex::kNone) return -1;
  const ProgramHeader& segment = segments_[index];
  const uint64_t offset = segment.offset + (rva - segment.address);
  return offset > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())
             ? -1
             : static_cast<int64_t>(offset);
}

template <typename Layout>
bool DisassemblerElf<Layout>::FileOffsetToRVA(uint64_t offset, uint32_t* rva) const {
  for (const SectionHeader& section : sections_) {
    if (section.type == kNoBits) continue;
    if (offset >= section.offset && offset - section.offset < section.size) {
      *rva = static_cast<uint32_t>(section.address + (offset - section.offset));
      return true;
    }
  }
  return false;
}

template <typename Layout>
bool DisassemblerElf<Layout>::IsValidTargetRVA(uint32_t rva) const {
  return load_memory_.Find(rva) != IntervalIndex::kNone;
}

template <typename Layout>
uint64_t DisassemblerElf<Layout>::RelocEntryCount(const SectionHeader& section) {
  if (section.entry_size == 0) return 0;
  return std::min(section.size / section.entry_size, section.size / Layout::kRelSize);
}

template <typename Layout>
bool DisassemblerElf<Layout>::EmitBytes(DisassembledProgram* program, uint64_t offset,
                                        uint64_t size) {
  return size == 0 ||
         program->AddBytesInsn(PointerAtOffset(offset), static_cast<size_t>(size));
}

template <typename Layout>
bool DisassemblerElf<Layout>::BuildIndexes() {
  rva_to_file_.Clear();
  load_memory_.Clear();
  abs32_holders_.Clear();
  for (const ProgramHeader& segment : segments_) {
    // A program header translates the part of its memory that has file data.
    const uint64_t mapped = std::min(segment.file_size, segment.memory_size);
    if (!rva_to_file_.Add(segment.address, AddClamped(segment.address, mapped)) ||
        !load_memory_.Add(segment.address, segment.type == kLoad
                                               ? AddClamped(segment.address, segment.memory_size)
                                               : segment.address))
      return false;
  }
  for (const SectionHeader& section : sections_) {
    const bool holds = section.type == kProgBits || section.type == kRel;
    if (!abs32_holders_.Add(section.offset,
                            holds ? AddClamped(section.offset, section.size) : section.offset))
      return false;
  }
  return rva_to_file_.Build() && load_memory_.Build() && abs32_holders_.Build();
}

template <typename Layout>
typename DisassemblerElf<Layout>::WalkStep DisassemblerElf<Layout>::StepOver(
    const SectionHeader& section, uint64_t cursor) const {
  WalkStep step = {false, cursor, false, section.offset};
  // A NOBITS section has no bytes; one named past the detected length gives
  // the walk nowhere to go.
  if (section.type == kNoBits && section.offset > length()) {
    step.skipped = true;
    step.cursor_after = cursor;
    return step;
  }
  step.gap_end = std::max(cursor, section.offset);
  if (section.type == kProgBits || section.type == kRel) {
    step.emits_section = true;
    step.cursor_after = section.offset + section.size;
  }
  return step;
}

template <typename Layout>
uint64_t DisassemblerElf<Layout>::WalkBudget() const {
  // Inputs are far below 2^60 bytes, so the products do not wrap.
  const uint64_t most = std::min(kMaxWalkBytesPerByte * length(), program_limit());
  return std::max(kWalkBytesPerByte * length(), most);
}

template <typename Layout>
bool DisassemblerElf<Layout>::CheckWalk() const {
  const uint64_t input_size = static_cast<uint64_t>(end() - start());
  for (const SectionHeader& section : sections_) {
    if (section.type != kNoBits && AddClamped(section.offset, section.size) > input_size)
      return false;
  }
  // Sections lie inside the input, so one step adds at most twice its size
  // and the sum stops soon after the budget.
  const uint64_t budget = WalkBudget();
  uint64_t emitted = 0;
  uint64_t cursor = 0;
  for (const SectionHeader& section : sections_) {
    const WalkStep step = StepOver(section, cursor);
    emitted += step.gap_end - cursor;
    if (step.emits_section) emitted += section.size;
    if (emitted > budget) return false;
    cursor = step.cursor_after;
  }
  if (cursor < length()) emitted += length() - cursor;
  return emitted <= budget;
}

template <typename Layout>
bool DisassemblerElf<Layout>::CollectAbs32Locations() {
  abs32_locations_.clear();
  for (size_t i = 0; i < sections_.size(); ++i) {
    const SectionHeader& section = sections_[i];
    if (section.type != kRel) continue;
    const uint64_t count = RelocEntryCount(section);
    const uint8_t* entries = PointerAtOffset(section.offset);
    for (uint64_t e = 0; e < count; ++e) {
      const uint8_t* entry = entries + e * Layout::kRelSize;
      uint32_t rva = 0;
      if (!RelocToAddress(ReadWord<Layout>(entry), ReadWord<Layout>(entry + Layout::kRelSize / 2),
                          &rva))
        continue;
      const int64_t offset = RVAToFileOffset(rva);
      if (offset < 0 || abs32_holders_.Find(static_cast<uint64_t>(offset)) == IntervalIndex::kNone)
        continue;
      if (!abs32_locations_.push_back(rva)) return false;
    }
  }
  SortAddresses(abs32_locations_.data(), abs32_locations_.size());
  abs32_offsets_.clear();
  if (!abs32_offsets_.reserve(abs32_locations_.size())) return false;
  for (uint32_t rva : abs32_locations_) abs32_offsets_.push_back(RVAToFileOffset(rva));
  return true;
}

template <typename Layout>
bool DisassemblerElf<Layout>::PrepareAbs32Consumption() {
  const size_t count = abs32_locations_.size();
  abs32_by_offset_.clear();
  abs32_position_.clear();
  abs32_live_link_.clear();
  if (!abs32_by_offset_.reserve(count) || !abs32_position_.reserve(count) ||
      !abs32_position_.set_size(count) || !abs32_live_link_.reserve(count))
    return false;
  for (size_t i = 0; i < count; ++i) abs32_by_offset_.push_back(i);
  std::stable_sort(abs32_by_offset_.begin(), abs32_by_offset_.end(),
                   [this](size_t a, size_t b) { return abs32_offsets_[a] < abs32_offsets_[b]; });
  for (size_t position = 0; position < count; ++position) {
    abs32_position_[abs32_by_offset_[position]] = position;
    abs32_live_link_.push_back(position);
  }
  abs32_consumed_ = 0;
  next_abs32_ = 0;
  return true;
}

template <typename Layout>
size_t DisassemblerElf<Layout>::NextLiveByOffset(size_t position) {
  const size_t count = abs32_live_link_.size();
  size_t live = position;
  while (live < count && abs32_live_link_[live] != live) live = abs32_live_link_[live];
  while (position < count && position != live) {
    const size_t next = abs32_live_link_[position];
    abs32_live_link_[position] = live;
    position = next;
  }
  return live;
}

template <typename Layout>
void DisassemblerElf<Layout>::ConsumeAbs32(size_t index) {
  const size_t position = abs32_position_[index];
  if (abs32_live_link_[position] != position) return;
  abs32_live_link_[position] = position + 1;
  ++abs32_consumed_;
}

template <typename Layout>
size_t DisassemblerElf<Layout>::NextAbs32() {
  const size_t count = abs32_locations_.size();
  while (next_abs32_ < count) {
    const size_t position = abs32_position_[next_abs32_];
    if (abs32_live_link_[position] == position) break;
    ++next_abs32_;
  }
  return next_abs32_;
}

template <typename Layout>
void DisassemblerElf<Layout>::DropAbs32In(const SectionHeader& section) {
  const uint64_t section_end = AddClamped(section.offset, section.size);
  const int64_t* offsets = abs32_offsets_.data();
  size_t position = static_cast<size_t>(
      std::lower_bound(abs32_by_offset_.begin(), abs32_by_offset_.end(), section.offset,
                       [offsets](size_t index, uint64_t offset) {
                         return static_cast<uint64_t>(offsets[index]) < offset;
                       }) -
      abs32_by_offset_.begin());
  while ((position = NextLiveByOffset(position)) < abs32_by_offset_.size()) {
    const size_t index = abs32_by_offset_[position];
    if (static_cast<uint64_t>(offsets[index]) >= section_end) break;
    LogStream(kLogDebug) << "Skipping relocation entry for unsupported section: "
                         << section.type;
    ConsumeAbs32(index);
  }
}

template <typename Layout>
bool DisassemblerElf<Layout>::BuildProgram(DisassembledProgram* program) {
  if (!IsValid()) return false;
  program->SetBaseAddress(0);
  relocs_emitted_ = false;
  if (!CheckWalk() || !CollectAbs32Locations()) return false;

  ClearRel32Locations();
  for (const SectionHeader& section : sections_) {
    if (section.type == kProgBits && !ScanRel32InSection(section)) return false;
  }
  std::stable_sort(rel32_locations_.begin(), rel32_locations_.end(),
                   [](const TypedRVA* a, const TypedRVA* b) { return a->rva() < b->rva(); });
  for (TypedRVA* location : rel32_locations_) {
    const int64_t offset = RVAToFileOffset(location->rva());
    if (offset < 0) return false;
    location->set_file_offset(offset);
  }

  if (!EmitFile(program) || !program->ResolveLabels()) return false;
  program->NumberLabelsInOrder();
  return true;
}

template <typename Layout>
bool DisassemblerElf<Layout>::EmitFile(DisassembledProgram* program) {
  if (!PrepareAbs32Consumption()) return false;
  next_rel32_ = 0;
  const size_t abs_count = abs32_locations_.size();
  uint64_t cursor = 0;
  for (const SectionHeader& section : sections_) {
    const WalkStep step = StepOver(section, cursor);
    if (step.skipped) continue;
    if (!EmitBytes(program, cursor, step.gap_end - cursor)) return false;
    switch (section.type) {
      case kProgBits:
        if (!EmitProgBitsSection(section, program)) return false;
        break;
      case kRel:
        if (!ReadRelocSection(section, program)) return false;
        break;
      case kNoBits:
      case kInitArray:
      case kFiniArray:
        DropAbs32In(section);
        break;
      default: {
        const size_t next = NextAbs32();
        if (next < abs_count &&
            static_cast<uint64_t>(abs32_offsets_[next]) >= section.offset &&
            static_cast<uint64_t>(abs32_offsets_[next]) - section.offset < section.size)
          LogStream(kLogDebug) << "Relocation address in unrecognized ELF section: "
                               << section.type;
        break;
      }
    }
    cursor = step.cursor_after;
  }
  if (cursor < length() && !EmitBytes(program, cursor, length() - cursor)) return false;
  return abs32_consumed_ == abs_count;
}

template <typename Layout>
bool DisassemblerElf<Layout>::EmitProgBitsSection(const SectionHeader& section,
                                                  DisassembledProgram* program) {
  if (!program->AddOriginInsn(static_cast<uint32_t>(section.address))) return false;
  const uint64_t end = section.offset + section.size;
  uint64_t e = section.offset;
  const size_t abs_count = abs32_locations_.size();
  const size_t rel_count = rel32_locations_.size();
  while (true) {
    // An absolute location the walk has passed is never emitted: the
    // disassembly fails.  Branches behind the position are left behind
    // (they lie in bytes emitted before or overlap a location taken).
    const size_t next_abs = NextAbs32();
    if (next_abs < abs_count && static_cast<uint64_t>(abs32_offsets_[next_abs]) < e)
      return false;
    while (next_rel32_ < rel_count &&
           static_cast<uint64_t>(rel32_locations_[next_rel32_]->file_offset()) < e)
      ++next_rel32_;

    uint64_t stop = end;
    bool at_abs32 = false;
    if (next_abs < abs_count && static_cast<uint64_t>(abs32_offsets_[next_abs]) < end) {
      stop = static_cast<uint64_t>(abs32_offsets_[next_abs]);
      at_abs32 = true;
    }
    bool at_rel32 = false;
    if (next_rel32_ < rel_count) {
      const uint64_t offset = static_cast<uint64_t>(rel32_locations_[next_rel32_]->file_offset());
      if (offset + 4 <= stop) {
        stop = offset;
        at_abs32 = false;
        at_rel32 = true;
      }
    }
    if (e < stop) {
      if (!EmitBytes(program, e, stop - e)) return false;
      e = stop;
    }
    if (at_abs32) {
      // The whole operand must lie inside the section; one in its last
      // bytes stays plain.
      ConsumeAbs32(next_abs);
      if (end - e < 4) continue;
      if (!program->AddAbs32InsnTo(ReadLE32(PointerAtOffset(e)))) return false;
      e += 4;
    } else if (at_rel32) {
      TypedRVA* location = rel32_locations_[next_rel32_++];
      if (!location->EmitBranch(program, location->rva() + location->relative_target()))
        return false;
      e += location->OperandSize();
    } else {
      return true;
    }
  }
}

template class DisassemblerElf<Elf32Layout>;
template class DisassemblerElf<Elf64Layout>;

}  // namespace voxpatch
