#include "disassembler_macho.h"

#include <algorithm>

#include "addressdirectory.h"
#include "disassembledprogram.h"
#include "hugepages.h"
#include "logstream.h"
#include "x86rel32.h"

namespace voxpatch {

namespace {

const uint32_t kMagic32 = 0xFEEDFACEu;
const uint32_t kMagic64 = 0xFEEDFACFu;
const uint32_t kCpuI386 = 7;
const uint32_t kCpuX86_64 = 0x01000007u;
const uint32_t kLcSegment = 0x1;
const uint32_t kLcSegment64 = 0x19;
const uint32_t kSegment32Size = 56;
const uint32_t kSection32Size = 68;
const uint32_t kSegment64Size = 72;
const uint32_t kSection64Size = 80;
// File types accepted: executable (2), preload (5), dylib (6), bundle (8).
const uint32_t kFileTypeMask = 0x164;
const uint64_t k4G = 0x100000000ull;

bool IsCodeSection(uint32_t flags) {
  // Pure-instructions attribute set and section type regular.
  return (flags & 0x800000FFu) == 0x80000000u;
}

}  // namespace

DisassemblerMacho::DisassemblerMacho(const void* start, size_t length)
    : Disassembler(start, length) {}

uint32_t DisassemblerMacho::Read32(uint64_t offset) const {
  const uint8_t* p = PointerAtOffset(offset);
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint64_t DisassemblerMacho::Read64(uint64_t offset) const {
  return static_cast<uint64_t>(Read32(offset)) |
         static_cast<uint64_t>(Read32(offset + 4)) << 32;
}

bool DisassemblerMacho::CheckHeader() {
  file_extent_ = 0;
  segments_.clear();
  code_sections_.clear();
  rel32_locations_.clear();
  segment_ranges_.clear();
  const uint64_t total = length();

  if (total < 32) return MarkInvalid("Too small");

  uint64_t header_size = 0;
  const uint32_t magic = Read32(0);
  const uint32_t cpu = Read32(4);
  if (magic == kMagic64) {
    if (cpu != kCpuX86_64) return MarkInvalid("unsupported cpu type");
    kind_ = EXE_MACHO_X64;
    is64_ = true;
    header_size = 32;
  } else {
    if (magic != kMagic32) return MarkInvalid("Unknown magic type");
    if (cpu != kCpuI386) return MarkInvalid("unsupported cpu type");
    kind_ = EXE_MACHO_X86;
    is64_ = false;
    header_size = 28;
  }

  const uint32_t file_type = Read32(12);
  if (file_type > 8 || ((1u << file_type) & kFileTypeMask) == 0)
    return MarkInvalid("Unsupported filetype in header");

  const uint32_t command_count = Read32(16);
  uint64_t offset = header_size;
  for (uint32_t i = 0; i < command_count; ++i) {
    // The 8-byte command header must itself fit before it is read.
    if (offset + 8 > total) return MarkInvalid("file to small in load commands");
    const uint32_t command = Read32(offset);
    const uint32_t command_size = Read32(offset + 4);
    // A size below the command header would never advance.
    if (command_size < 8) return MarkInvalid("bad load command size");
    if (offset + command_size > total)
      return MarkInvalid("file to small in load commands");
    if (command == kLcSegment) {
      if (!ParseSegment32(offset, command_size)) return false;
    } else if (command == kLcSegment64) {
      if (!ParseSegment64(offset, command_size)) return false;
    }
    offset += command_size;
  }

  // Rebase every address on the lowest segment.
  if (!segments_.empty()) {
    uint64_t base = segments_[0].address;
    for (const Segment& segment : segments_) base = std::min(base, segment.address);
    for (Segment& segment : segments_) {
      segment.address -= base;
      if (segment.address + segment.size > 0xFFFFFFFFull) return MarkInvalid("overflow");
    }
    for (Section& section : code_sections_) section.address -= base;
  }

  if (code_sections_.empty())
    return MarkInvalid("Resource-only executables are not yet supported");

  // Code is read from the input: a section reaching past its end is refused.
  const uint64_t input_size = static_cast<uint64_t>(end() - start());
  for (const Section& section : code_sections_) {
    if (static_cast<uint64_t>(section.file_offset) + section.size > input_size)
      return MarkInvalid("section outside file");
  }

  std::stable_sort(code_sections_.begin(), code_sections_.end(),
                   [](const Section& a, const Section& b) {
                     return a.file_offset < b.file_offset;
                   });
  TrimLength(file_extent_);
  return MarkValid();
}

bool DisassemblerMacho::RecordSegment(const Segment& segment) {
  if (!segments_.push_back(segment)) return MarkInvalid("out of memory");
  const uint64_t end = static_cast<uint64_t>(segment.file_offset) + segment.file_size;
  if (end > file_extent_) file_extent_ = end;
  if (end > length()) return MarkInvalid("segment too large");
  return true;
}

bool DisassemblerMacho::AddCodeSection(const Segment& segment, uint64_t address,
                                       uint64_t size, uint32_t file_offset) {
  if (address < segment.address || address - segment.address > segment.size ||
      size > segment.size - (address - segment.address))
    return MarkInvalid("section larger than segment");
  const Section section = {address, static_cast<uint32_t>(size), file_offset};
  if (!code_sections_.push_back(section)) return MarkInvalid("out of memory");
  return true;
}

bool DisassemblerMacho::ParseSegment32(uint64_t offset, uint32_t command_size) {
  if (is64_) return MarkInvalid("LC_SEGMENT not supported");
  if (command_size < kSegment32Size) return MarkInvalid("bad LC_SEGMENT");

  const Segment segment = {Read32(offset + 24), Read32(offset + 28),
                           Read32(offset + 32), Read32(offset + 36)};
  if (!RecordSegment(segment)) return false;

  const uint32_t section_count = Read32(offset + 48);
  if (command_size < kSegment32Size + static_cast<uint64_t>(kSection32Size) * section_count)
    return MarkInvalid("sections too small");

  for (uint32_t i = 0; i < section_count; ++i) {
    const uint64_t record = offset + kSegment32Size + static_cast<uint64_t>(kSection32Size) * i;
    if (!IsCodeSection(Read32(record + 56))) continue;
    if (!AddCodeSection(segment, Read32(record + 32), Read32(record + 36),
                        Read32(record + 40)))
      return false;
  }
  return true;
}

bool DisassemblerMacho::ParseSegment64(uint64_t offset, uint32_t command_size) {
  if (!is64_) return MarkInvalid("LC_SEGMENT_64 not supported");
  if (command_size < kSegment64Size) return MarkInvalid("bad LC_SEGMENT_64");

  const uint32_t section_count = Read32(offset + 64);
  // Segments without sections (the zero page, the link-edit data) are
  // neither recorded nor part of the detected length.
  if (section_count == 0) return true;

  const uint64_t address = Read64(offset + 24);
  const uint64_t size = Read64(offset + 32);
  const uint64_t file_offset = Read64(offset + 40);
  const uint64_t file_size = Read64(offset + 48);
  if (size >= k4G || file_offset >= k4G || file_size >= k4G) return MarkInvalid("overflow");

  const Segment segment = {address, static_cast<uint32_t>(size),
                           static_cast<uint32_t>(file_offset),
                           static_cast<uint32_t>(file_size)};
  if (!RecordSegment(segment)) return false;

  if (command_size < kSegment64Size + static_cast<uint64_t>(kSection64Size) * section_count)
    return MarkInvalid("sections too small");

  for (uint32_t i = 0; i < section_count; ++i) {
    const uint64_t record = offset + kSegment64Size + static_cast<uint64_t>(kSection64Size) * i;
    if (!IsCodeSection(Read32(record + 64))) continue;
    const uint64_t section_size = Read64(record + 40);
    if (section_size >= k4G) return MarkInvalid("overflow");
    if (!AddCodeSection(segment, Read64(record + 32), section_size, Read32(record + 48)))
      return false;
  }
  return true;
}

int64_t DisassemblerMacho::RVAToFileOffset(uint32_t rva) const {
  for (const Segment& segment : segments_) {
    if (rva >= segment.address && rva < segment.address + segment.size) {
      const uint64_t delta = rva - segment.address;
      if (delta >= segment.file_size) return -1;
      return static_cast<int64_t>(segment.file_offset + delta);
    }
  }
  LogMessage(kLogWarning, "RVAToFileOffset reached invalid point");
  return -1;
}

const uint8_t* DisassemblerMacho::RVAToPointer(uint32_t rva) const {
  const int64_t offset = RVAToFileOffset(rva);
  if (offset < 0 || static_cast<uint64_t>(offset) >= length()) return nullptr;
  return PointerAtOffset(static_cast<uint64_t>(offset));
}

const DisassemblerMacho::Section* DisassemblerMacho::CodeSectionAtOrAfter(
    uint64_t file_offset) const {
  for (const Section& section : code_sections_) {
    if (section.file_offset >= file_offset) return &section;
  }
  return nullptr;
}

const DisassemblerMacho::Segment* DisassemblerMacho::SegmentAtFileOffset(
    uint64_t file_offset) const {
  for (const Segment& segment : segments_) {
    if (file_offset >= segment.file_offset &&
        file_offset < static_cast<uint64_t>(segment.file_offset) + segment.file_size)
      return &segment;
  }
  return nullptr;
}

bool DisassemblerMacho::IsRVAInSegment(uint32_t rva) const {
  if (!segment_ranges_.empty()) {
    // The last range starting at or below rva is the only one that can hold it.
    const Range* begin = segment_ranges_.begin();
    const Range* end = segment_ranges_.end();
    const Range* after = std::upper_bound(
        begin, end, static_cast<uint64_t>(rva),
        [](uint64_t value, const Range& range) { return value < range.start; });
    return after != begin && rva < (after - 1)->end;
  }
  for (const Segment& segment : segments_) {
    if (rva >= segment.address && rva < segment.address + segment.size) return true;
  }
  return false;
}

bool DisassemblerMacho::BuildSegmentRanges() {
  segment_ranges_.clear();
  GrowableArray<Range> ranges;
  for (const Segment& segment : segments_) {
    if (segment.size == 0) continue;
    const Range range = {segment.address, segment.address + segment.size};
    if (!ranges.push_back(range)) return false;
  }
  std::sort(ranges.begin(), ranges.end(),
            [](const Range& a, const Range& b) { return a.start < b.start; });
  for (const Range& range : ranges) {
    if (!segment_ranges_.empty() && range.start <= segment_ranges_[segment_ranges_.size() - 1].end) {
      Range& last = segment_ranges_[segment_ranges_.size() - 1];
      if (range.end > last.end) last.end = range.end;
    } else if (!segment_ranges_.push_back(range)) {
      return false;
    }
  }
  return true;
}

bool DisassemblerMacho::ComputeSectionRVAs(GrowableArray<uint32_t>* rvas) const {
  // A section starts at its file offset translated through the first
  // segment (in load-command order) whose file data holds it, or at 0 when
  // none does.  Sections are sorted by file offset, so each segment holds a run of
  // them.  Segments are taken in load-command order and each section keeps
  // the first that holds it; `next` skips the sections already placed
  // (with path halving), so every section is placed once.
  const size_t count = code_sections_.size();
  GrowableArray<size_t> next;
  rvas->clear();
  if (!rvas->reserve(count) || !next.reserve(count + 1)) return false;
  for (size_t i = 0; i < count; ++i) rvas->push_back(0);
  for (size_t i = 0; i <= count; ++i) next.push_back(i);
  auto find = [&next, count](size_t i) {
    while (i < count && next[i] != i) {
      next[i] = next[next[i]];
      i = next[i];
    }
    return i;
  };
  const Section* sections = code_sections_.data();
  for (const Segment& segment : segments_) {
    const uint64_t end = static_cast<uint64_t>(segment.file_offset) + segment.file_size;
    size_t i = static_cast<size_t>(
        std::lower_bound(sections, sections + count, segment.file_offset,
                         [](const Section& section, uint32_t offset) {
                           return section.file_offset < offset;
                         }) -
        sections);
    for (i = find(i); i < count && sections[i].file_offset < end; i = find(i + 1)) {
      (*rvas)[i] = static_cast<uint32_t>(sections[i].file_offset - segment.file_offset +
                                         segment.address);
      next[i] = i + 1;
    }
  }
  return true;
}

bool DisassemblerMacho::FindRel32(uint64_t file_offset, uint64_t size, uint32_t start_rva) {
  const uint8_t* const begin = PointerAtOffset(file_offset);
  const uint8_t* const end = begin + size;

  const uint8_t* p = begin;
  while (p < end) {
    // Bytes that start no form are passed over together.
    p += X86NextFormStart(p, static_cast<uint64_t>(end - p), is64_);
    if (p == end) break;
    const size_t remaining = static_cast<size_t>(end - p);
    const uint8_t* candidate = nullptr;
    bool x64_only = false;
    if (remaining >= 5 && (p[0] == 0xE8 || p[0] == 0xE9)) {
      candidate = p + 1;
    } else if (remaining >= 6 && p[0] == 0xFF && (p[1] == 0x15 || p[1] == 0x25)) {
      candidate = p + 2;
      x64_only = true;
    } else if (remaining >= 6 && p[0] == 0x0F && p[1] >= 0x80 && p[1] <= 0x8F &&
               p[1] != 0x8A && p[1] != 0x8B) {
      candidate = p + 2;
    } else if (remaining >= 7 && (p[0] == 0x48 || p[0] == 0x49) &&
               (p[1] == 0x8D || p[1] == 0x8B) && (p[2] & 0xC7) == 5) {
      candidate = p + 3;
      x64_only = true;
    }
    if (candidate != nullptr && (is64_ || !x64_only)) {
      const uint32_t rva = start_rva + static_cast<uint32_t>(candidate - begin);
      const uint32_t displacement =
          static_cast<uint32_t>(candidate[0]) | static_cast<uint32_t>(candidate[1]) << 8 |
          static_cast<uint32_t>(candidate[2]) << 16 |
          static_cast<uint32_t>(candidate[3]) << 24;
      const uint32_t target = rva + 4 + displacement;
      if (IsRVAInSegment(target)) {
        if (!rel32_locations_.push_back(rva)) return false;
        p = candidate + 4;
        PassedInput(p);  // the scanned front may go back
        continue;
      }
    }
    ++p;
  }
  return true;
}

bool DisassemblerMacho::EmitSection(const Section& section, uint32_t start_rva,
                                    DisassembledProgram* program) {
  if (!program->AddOriginInsn(start_rva)) return false;

  const uint8_t* p = PointerAtOffset(section.file_offset);
  const uint8_t* const end = p + section.size;
  uint32_t rva = start_rva;
  const uint32_t* locations = rel32_locations_.data();
  const size_t count = rel32_locations_.size();
  // Entries handed back lie before every later section's references.
  size_t next = static_cast<size_t>(
      std::lower_bound(locations + locations_released_, locations + count, start_rva) -
      locations);

  while (p < end) {
    while (next < count && locations[next] < rva) ++next;
    const size_t remaining = static_cast<size_t>(end - p);
    if (next < count && locations[next] == rva && remaining >= 4) {
      const uint32_t displacement =
          static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
          static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
      const uint32_t target = rva + 4 + displacement;
      if (!IsRVAInSegment(target)) {
        // Found at this address in another section (sections may share
        // addresses); these bytes make no reference, so they stay plain.
        // (This also keeps 0xFFFFFFFF, which the encoded program's address
        // tables use for unassigned slots, from ever becoming a label.)
        ++next;
        continue;
      }
      if (!program->AddRel32InsnTo(target)) return false;
      p += 4;
      rva += 4;
      ++next;
      if (release_locations_ && next % kLocationReleaseStep == 0) {
        ReleasePages(rel32_locations_.data(), next * sizeof(uint32_t));
        locations_released_ = next;
      }
      continue;
    }
    // Plain bytes up to the next reference.
    size_t run = remaining;
    if (next < count && locations[next] > rva &&
        static_cast<uint64_t>(locations[next] - rva) < run)
      run = locations[next] - rva;
    if (!program->AddBytesInsn(p, run)) return false;
    p += run;
    rva += static_cast<uint32_t>(run);
    PassedInput(p);
  }
  return true;
}

bool DisassemblerMacho::BuildProgram(DisassembledProgram* program) {
  if (!IsValid()) return false;
  program->SetBaseAddress(0);

  // Lookups per candidate and per section must not walk every segment: a
  // file may hold very many of both.
  GrowableArray<uint32_t> section_rvas;
  if (!BuildSegmentRanges() || !ComputeSectionRVAs(&section_rvas)) return false;

  // Sections that overlap in the file are scanned as one range, from the
  // first one's start address: no byte is scanned twice, however many
  // sections claim it, so the scan (and the reference list) stays linear
  // in the file size.  Only crafted files have overlapping code sections.
  rel32_locations_.clear();
  const size_t sections = code_sections_.size();
  for (size_t i = 0; i < sections;) {
    const uint64_t start = code_sections_[i].file_offset;
    uint64_t end = start + code_sections_[i].size;
    size_t j = i + 1;
    for (; j < sections && code_sections_[j].file_offset < end; ++j)
      end = std::max(end, static_cast<uint64_t>(code_sections_[j].file_offset) +
                              code_sections_[j].size);
    if (!FindRel32(start, end - start, section_rvas[i])) return false;
    i = j;
  }
  SortAddresses(rel32_locations_.data(), rel32_locations_.size());

  // Each reference makes at most two instructions (itself and the plain
  // bytes before it); each section adds an origin and a last run.  Sizing
  // the list up front spares copying it while it fills.
  const uint64_t references = rel32_locations_.size();
  program->ReserveInstructions(static_cast<size_t>(
      2 * references + 3 * static_cast<uint64_t>(code_sections_.size()) + 1));

  // When the sections follow each other in address order without overlap,
  // the reference list is read front to back once: its front can go back
  // to the system while the program grows.
  release_locations_ = true;
  locations_released_ = 0;
  for (size_t i = 1; i < code_sections_.size(); ++i) {
    if (section_rvas[i] < static_cast<uint64_t>(section_rvas[i - 1]) + code_sections_[i - 1].size)
      release_locations_ = false;
  }

  // The cursor runs to the detected length, taking the code sections in file
  // order.  Each section is visited once: one that starts inside bytes
  // already emitted (an overlap) is passed over, and a zero-size one does
  // not hold the cursor.  A section may end past the detected length (it
  // still lies inside the input); the walk then stops.
  const uint64_t total = length();
  const size_t section_count = code_sections_.size();
  RestartInputWalk();
  size_t next = 0;
  uint64_t cursor = 0;
  while (cursor < total) {
    while (next < section_count && code_sections_[next].file_offset < cursor) ++next;
    if (next == section_count) {
      if (!program->AddBytesInsn(PointerAtOffset(cursor), static_cast<size_t>(total - cursor)))
        return false;
      break;
    }
    const size_t index = next++;
    const Section& section = code_sections_[index];
    if (section.file_offset > cursor &&
        !program->AddBytesInsn(PointerAtOffset(cursor),
                               static_cast<size_t>(section.file_offset - cursor)))
      return false;
    if (!EmitSection(section, section_rvas[index], program)) return false;
    cursor = static_cast<uint64_t>(section.file_offset) + section.size;
  }

  // The references are all emitted; their list is not needed beside the
  // label order that numbering makes.
  rel32_locations_.clear();
  locations_released_ = 0;
  if (!program->ResolveLabels()) return false;
  program->NumberLabelsInOrder();
  return true;
}

}  // namespace voxpatch
