#include "disassembler_win32.h"

#include <algorithm>
#include <cstring>
#include <sstream>

#include "addressdirectory.h"
#include "disassembledprogram.h"
#include "intervalindex.h"
#include "littleendian.h"
#include "logstream.h"
#include "x86rel32.h"

namespace voxpatch {

namespace {

const uint32_t kSectionHeaderSize = 40;
const uint16_t kRelocHighLow = 3;
const uint16_t kRelocDir64 = 10;

// Index of the first element not below `value` in an ascending list.
size_t LowerBound(const GrowableArray<uint32_t>& list, uint64_t value) {
  return static_cast<size_t>(
      std::lower_bound(list.begin(), list.end(), value,
                       [](uint32_t element, uint64_t v) { return element < v; }) -
      list.begin());
}

}  // namespace

DisassemblerWin32::DisassemblerWin32(const void* start, size_t length, bool wants_pe32plus)
    : Disassembler(start, length), wants_pe32plus_(wants_pe32plus) {}

ExecutableKind DisassemblerWin32::GetKind() const {
  return wants_pe32plus_ ? EXE_WIN_32_X64 : EXE_WIN_32_X86;
}

bool DisassemblerWin32::CheckHeader() {
  sections_.clear();
  file_order_.clear();
  has_text_ = false;
  const uint64_t total = length();

  if (total < 64) return MarkInvalid("Too small");
  const uint8_t* base = PointerAtOffset(0);
  if (base[0] != 'M' || base[1] != 'Z') return MarkInvalid("Not MZ");

  const uint64_t pe_offset = ReadLE32(base + 60);
  if (pe_offset == 0 || pe_offset >= total || pe_offset + 24 >= total)
    return MarkInvalid("Bad offset to PE header");
  if (pe_offset % 8 != 0) return MarkInvalid("Misaligned PE header");
  const uint8_t* pe = base + pe_offset;
  if (pe[0] != 'P' || pe[1] != 'E' || pe[2] != 0 || pe[3] != 0)
    return MarkInvalid("no PE signature");

  machine_ = ReadLE16(pe + 4);
  section_count_ = ReadLE16(pe + 6);
  optional_header_size_ = ReadLE16(pe + 20);
  optional_header_offset_ = pe_offset + 24;
  if (optional_header_offset_ + optional_header_size_ >= total)
    return MarkInvalid("optional header past end of file");
  if (optional_header_size_ < 2) return MarkInvalid("optional header no magic");

  const uint8_t* optional = base + optional_header_offset_;
  const uint16_t magic = ReadLE16(optional);
  uint32_t minimum_size = 0;
  if (magic == 0x20B) {
    is_pe32plus_ = true;
    data_directories_offset_ = 112;
    minimum_size = 112;
  } else if (magic == 0x10B) {
    is_pe32plus_ = false;
    data_directories_offset_ = 96;
    minimum_size = 96;
  } else {
    return MarkInvalid("unrecognized magic");
  }
  if (optional_header_size_ < minimum_size) return MarkInvalid("optional header too short");

  size_of_code_ = ReadLE32(optional + 4);
  size_of_initialized_data_ = ReadLE32(optional + 8);
  size_of_uninitialized_data_ = ReadLE32(optional + 12);
  base_of_code_ = ReadLE32(optional + 20);
  if (is_pe32plus_) {
    base_of_data_ = 0;
    image_base_ = ReadLE64(optional + 24);
    data_directory_count_ = ReadLE32(optional + 108);
  } else {
    base_of_data_ = ReadLE32(optional + 24);
    image_base_ = ReadLE32(optional + 28);
    data_directory_count_ = ReadLE32(optional + 92);
  }
  size_of_image_ = ReadLE32(optional + 56);

  // Every directory is read, then one failure fails them all.
  bool directories_ok = true;
  directories_ok &= ReadDataDirectory(0, &export_table_);
  directories_ok &= ReadDataDirectory(1, &import_table_);
  directories_ok &= ReadDataDirectory(2, &resource_table_);
  directories_ok &= ReadDataDirectory(3, &exception_table_);
  directories_ok &= ReadDataDirectory(5, &base_relocation_table_);
  directories_ok &= ReadDataDirectory(11, &bound_import_table_);
  directories_ok &= ReadDataDirectory(12, &import_address_table_);
  directories_ok &= ReadDataDirectory(13, &delay_import_descriptor_);
  directories_ok &= ReadDataDirectory(14, &clr_runtime_header_);
  if (!directories_ok) return MarkInvalid("malformed data directory");

  // The section table follows the optional header; it must be present
  // before anything is made for it.
  section_table_offset_ = optional_header_offset_ + optional_header_size_;
  const uint64_t input_size = total;
  if (section_table_offset_ + static_cast<uint64_t>(kSectionHeaderSize) * section_count_ >
      input_size)
    return MarkInvalid("section table outside image");
  if (!sections_.reserve(section_count_)) return MarkInvalid("out of memory");
  uint64_t detected_end = 0;
  for (uint32_t i = 0; i < section_count_; ++i) {
    const uint8_t* header =
        base + section_table_offset_ + static_cast<uint64_t>(kSectionHeaderSize) * i;
    Section section;
    std::memcpy(section.name, header, 8);
    section.virtual_size = ReadLE32(header + 8);
    section.virtual_address = ReadLE32(header + 12);
    section.raw_size = ReadLE32(header + 16);
    section.raw_offset = ReadLE32(header + 20);
    const uint64_t raw_end = static_cast<uint64_t>(section.raw_offset) + section.raw_size;
    if (section.raw_size != 0 && raw_end > input_size)
      return MarkInvalid("section outside image");
    if (std::memcmp(section.name, ".text", 6) == 0) has_text_ = true;
    if (raw_end > detected_end) detected_end = raw_end;
    sections_.push_back(section);
  }
  TrimLength(detected_end);

  if (is_pe32plus_ && !wants_pe32plus_)
    return MarkInvalid("64 bit executables are not supported by this disassembler");
  if (!is_pe32plus_ && wants_pe32plus_)
    return MarkInvalid("32 bit executables are not supported by this disassembler");
  if (!has_text_) return MarkInvalid("Resource-only executables are not yet supported");
  return MarkValid();
}

bool DisassemblerWin32::ReadDataDirectory(uint32_t index, DataDirectory* directory) {
  *directory = DataDirectory();
  if (index >= data_directory_count_) return true;
  const uint64_t entry = data_directories_offset_ + 8ull * index;
  if (entry >= optional_header_size_)
    return MarkInvalid("number of data directories inconsistent");
  // The 8-byte record itself must lie inside the file.
  if (optional_header_offset_ + entry + 8 > length())
    return MarkInvalid("data directory outside image");
  const uint8_t* record = PointerAtOffset(optional_header_offset_ + entry);
  directory->rva = ReadLE32(record);
  directory->size = ReadLE32(record + 4);
  if (directory->size > size_of_image_) return MarkInvalid("data directory size too big");
  return true;
}

const DisassemblerWin32::Section* DisassemblerWin32::SectionHoldingRVA(uint32_t rva) const {
  for (const Section& section : sections_) {
    if (rva >= section.virtual_address &&
        rva < static_cast<uint64_t>(section.virtual_address) + section.virtual_size)
      return &section;
  }
  return nullptr;
}

std::string DisassemblerWin32::DescribeRVA(uint32_t rva) const {
  std::ostringstream text;
  text << std::hex << rva;
  const Section* section = SectionHoldingRVA(rva);
  if (section != nullptr) {
    const std::string name(section->name, strnlen(section->name, 8));
    text << " (" << (name.empty() ? std::string("<none>") : name) << "+"
         << (rva - section->virtual_address) << ")";
  }
  return text.str();
}

int64_t DisassemblerWin32::RVAToFileOffset(uint32_t rva) const {
  const Section* section = SectionHoldingRVA(rva);
  if (section != nullptr) {
    const uint32_t delta = rva - section->virtual_address;
    if (delta < section->raw_size) return static_cast<int64_t>(section->raw_offset) + delta;
    return -1;
  }
  if (rva == 0 || rva == 2) return rva;
  LogMessage(kLogError, "REACHED UNREACHABLE");
  return -1;
}

uint32_t DisassemblerWin32::FileOffsetToRVA(uint64_t offset) const {
  for (const Section& section : sections_) {
    if (offset >= section.raw_offset &&
        offset < static_cast<uint64_t>(section.raw_offset) + section.raw_size)
      return static_cast<uint32_t>(offset - section.raw_offset + section.virtual_address);
  }
  return 0;
}

bool DisassemblerWin32::SortSectionsByFileOffset() {
  file_order_.clear();
  if (!file_order_.reserve(sections_.size())) return false;
  for (uint32_t i = 0; i < sections_.size(); ++i) {
    if (sections_[i].raw_size != 0) file_order_.push_back(i);
  }
  std::stable_sort(file_order_.begin(), file_order_.end(), [this](uint32_t a, uint32_t b) {
    return sections_[a].raw_offset < sections_[b].raw_offset;
  });
  return true;
}

bool DisassemblerWin32::ParseRelocs() {
  abs32_locations_.clear();
  const DataDirectory& table = base_relocation_table_;
  if (table.size == 0) return true;

  const int64_t offset = RVAToFileOffset(table.rva);
  const uint64_t total = length();
  if (offset < 0 || static_cast<uint64_t>(offset) + table.size > total)
    return MarkInvalid(".relocs outside image");
  if (table.size <= 8) return true;

  const uint16_t wanted = is_pe32plus_ ? kRelocDir64 : kRelocHighLow;
  const uint64_t table_end = static_cast<uint64_t>(offset) + table.size;
  uint64_t block = static_cast<uint64_t>(offset);
  while (block + 8 < table_end) {
    const uint8_t* header = PointerAtOffset(block);
    const uint32_t page = ReadLE32(header);
    const uint32_t block_size = ReadLE32(header + 4);
    if (block_size < 8 || block_size % 4 != 0)
      return MarkInvalid("unreasonable relocs block");
    if (block + block_size > total) return MarkInvalid(".relocs block outside image");
    const uint8_t* entries = header + 8;
    for (uint32_t i = 0; i < (block_size - 8) / 2; ++i) {
      const uint16_t entry = ReadLE16(entries + 2 * i);
      const uint16_t type = entry >> 12;
      if (type == 0) continue;
      if (type != wanted) return MarkInvalid("unknown type of reloc");
      if (!abs32_locations_.push_back(page + (entry & 0xFFF))) return false;
    }
    block += block_size;
  }
  return true;
}

bool DisassemblerWin32::ParseRel32InSection(const Section& section) {
  const uint64_t start = section.raw_offset;
  const uint64_t end = start + section.raw_size;
  const uint64_t section_rva = section.virtual_address;
  const uint64_t section_end = section_rva + section.virtual_size;
  const DataDirectory& relocs = base_relocation_table_;
  // The first absolute location at or after a point, followed as the scan
  // moves on (the point moves forward but for a few bytes back and forth).
  const uint32_t* const abs32 = abs32_locations_.data();
  const size_t abs32_count = abs32_locations_.size();
  size_t abs32_cursor = 0;
  bool cursor_placed = false;
  auto abs32_from = [&](uint64_t point) {
    if (!cursor_placed) {
      abs32_cursor = LowerBound(abs32_locations_, point);
      cursor_placed = true;
    }
    while (abs32_cursor > 0 && abs32[abs32_cursor - 1] >= point) --abs32_cursor;
    while (abs32_cursor < abs32_count && abs32[abs32_cursor] < point)
      ++abs32_cursor;
    return abs32_cursor;
  };
  uint64_t p = start;
  while (p < end) {
    const uint64_t rva = section_rva + (p - start);
    if (relocs.size != 0 && rva == relocs.rva) {
      p += relocs.size;
      continue;
    }
    // Bytes that start no form are passed over together, up to the table.
    uint64_t stop = end;
    if (relocs.size != 0 && relocs.rva > rva && relocs.rva - rva < end - p)
      stop = p + (relocs.rva - rva);
    const uint64_t plain =
        X86NextFormStart(PointerAtOffset(p), stop - p, is_pe32plus_);
    if (plain != 0) {
      p += plain;
      continue;
    }
    bool wide = false;
    const int at = X86Rel32OperandAt(PointerAtOffset(p), end - p, is_pe32plus_, &wide);
    if (at == 0) {
      ++p;
      continue;
    }
    const uint64_t operand = rva + at;
    // An operand overlapping an absolute address is not one.
    const size_t next_abs = abs32_from(operand >= 3 ? operand - 3 : 0);
    if (next_abs < abs32_count && abs32[next_abs] < operand + 4) {
      p += abs32[next_abs] + 4 - rva;
      continue;
    }
    const uint32_t target = static_cast<uint32_t>(
        operand + 4 + ReadLE32(PointerAtOffset(p + static_cast<uint64_t>(at))));
    const bool in_section = target >= section_rva && target < section_end;
    const bool taken = target < size_of_image_ && (in_section || (is_pe32plus_ && wide));
    if (!taken) {
      ++p;
      continue;
    }
    if (!rel32_locations_.push_back(static_cast<uint32_t>(operand))) return false;
    p += static_cast<uint64_t>(at) + 4;
    PassedInput(PointerAtOffset(p));  // the scanned front may go back
  }
  return true;
}

bool DisassemblerWin32::EmitSection(const Section& section, uint32_t origin,
                                    DisassembledProgram* program) {
  if (!program->AddOriginInsn(origin)) return false;
  const uint64_t start = section.raw_offset;
  const uint64_t end = start + section.raw_size;
  const DataDirectory& relocs = base_relocation_table_;
  size_t next_abs = LowerBound(abs32_locations_, origin);
  size_t next_rel = LowerBound(rel32_locations_, origin);
  uint64_t run = start;
  uint64_t pos = start;
  auto flush = [&]() {
    const bool ok = pos == run || program->AddBytesInsn(PointerAtOffset(run),
                                                        static_cast<size_t>(pos - run));
    return ok;
  };
  while (pos < end) {
    const uint32_t rva = static_cast<uint32_t>(origin + (pos - start));
    if (!relocs_emitted_ && rva == relocs.rva) {
      // The table is regenerated from the absolute references at assembly.
      if (!flush() || !program->AddPeRelocsInsn()) return false;
      relocs_emitted_ = true;
      if (relocs.size != 0) {
        pos += std::min<uint64_t>(relocs.size, end - pos);
        run = pos;
        continue;
      }
    }
    // Locations the walk has passed (in headers, in the skipped table,
    // repeated ones) are left behind.
    while (next_abs < abs32_locations_.size() && abs32_locations_[next_abs] < rva) ++next_abs;
    while (next_rel < rel32_locations_.size() && rel32_locations_[next_rel] < rva) ++next_rel;
    const bool fits = end - pos >= 4;
    const bool at_abs =
        next_abs < abs32_locations_.size() && abs32_locations_[next_abs] == rva;
    const bool at_rel =
        next_rel < rel32_locations_.size() && rel32_locations_[next_rel] == rva;
    if (fits && at_abs) {
      const uint32_t value = ReadLE32(PointerAtOffset(pos));
      if (!flush() ||
          !program->AddAbs32InsnTo(static_cast<uint32_t>(value - image_base_)))
        return false;
      ++next_abs;
      pos += 4;
      run = pos;
      continue;
    }
    if (fits && at_rel) {
      const uint32_t target = rva + 4 + ReadLE32(PointerAtOffset(pos));
      if (!flush() || !program->AddRel32InsnTo(target)) return false;
      ++next_rel;
      pos += 4;
      run = pos;
      PassedInput(PointerAtOffset(pos));
      continue;
    }
    if (at_abs || at_rel) {
      ++pos;
      continue;
    }
    // Nothing happens before the next location or the relocation table:
    // the walk goes straight there.  Distances are taken as the addresses
    // run, wrapping at 2^32.
    uint32_t step = UINT32_MAX;
    if (next_abs < abs32_locations_.size())
      step = abs32_locations_[next_abs] - rva;
    if (next_rel < rel32_locations_.size())
      step = std::min<uint32_t>(step, rel32_locations_[next_rel] - rva);
    if (!relocs_emitted_ && relocs.rva != rva)
      step = std::min<uint32_t>(step, relocs.rva - rva);
    pos += std::min<uint64_t>(step, end - pos);
  }
  return flush();
}

bool DisassemblerWin32::BuildProgram(DisassembledProgram* program) {
  if (!IsValid()) return false;
  program->SetBaseAddress(image_base_);
  relocs_emitted_ = false;

  if (!ParseRelocs()) return false;
  SortAddresses(abs32_locations_.data(), abs32_locations_.size());
  if (!SortSectionsByFileOffset()) return false;

  // Sections are taken in file order; one starting inside bytes already
  // passed is not visited, so no byte is scanned or emitted twice.
  const uint64_t total = length();
  rel32_locations_.clear();
  {
    uint64_t cursor = 0;
    size_t next = 0;
    while (cursor < total) {
      while (next < file_order_.size() && sections_[file_order_[next]].raw_offset < cursor)
        ++next;
      if (next == file_order_.size()) break;
      const Section& section = sections_[file_order_[next++]];
      if (std::memcmp(section.name, ".text", 6) == 0 && !ParseRel32InSection(section))
        return false;
      cursor = static_cast<uint64_t>(section.raw_offset) + section.raw_size;
    }
  }
  SortAddresses(rel32_locations_.data(), rel32_locations_.size());

  // A section's origin is the RVA of its first byte through the first
  // section in table order holding that byte.
  IntervalIndex raw_ranges;
  for (const Section& section : sections_) {
    if (!raw_ranges.Add(section.raw_offset,
                        static_cast<uint64_t>(section.raw_offset) + section.raw_size))
      return false;
  }
  if (!raw_ranges.Build()) return false;

  RestartInputWalk();
  uint64_t cursor = 0;
  size_t next = 0;
  while (cursor < total) {
    while (next < file_order_.size() && sections_[file_order_[next]].raw_offset < cursor) ++next;
    if (next == file_order_.size()) break;
    const Section& section = sections_[file_order_[next++]];
    const uint64_t offset = section.raw_offset;
    const Section& holder = sections_[raw_ranges.Find(offset)];
    const uint32_t origin =
        static_cast<uint32_t>(offset - holder.raw_offset + holder.virtual_address);

    if (offset > cursor &&
        !program->AddBytesInsn(PointerAtOffset(cursor), static_cast<size_t>(offset - cursor)))
      return false;
    if (!EmitSection(section, origin, program)) return false;
    cursor = offset + section.raw_size;
  }

  if (!program->ResolveLabels()) return false;
  program->NumberLabelsInOrder();
  return true;
}

}  // namespace voxpatch
