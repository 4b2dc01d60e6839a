// ELF disassemblers (i386, x86-64, ARM): toolchain fixtures and hand-made
// images.

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "disassembler_elf32arm.h"
#include "disassembler_elf32x86.h"
#include "disassembler_elf64x64.h"
#include "elfimagebuilder.h"
#include "hostileinputs.h"
#include "logcapture.h"
#include "peelftesthelpers.h"

using namespace voxpatch;
using namespace voxpatch_test;

namespace {

const uint32_t kProgBits = 1, kRel = 9, kNoBits = 8, kInitArray = 14;

// .text at 0x100 (0x100 bytes), .data at 0x200 (0x40 bytes), and a
// relocation section at 0x300 with the given entries.
ElfImage Standard(uint16_t machine, size_t reloc_entries) {
  ElfImage img;
  img.machine = machine;
  img.sections = {{0, 0, 0, 0},
                   {kProgBits, 0x100, 0x100, 0x100},
                   {kProgBits, 0x200, 0x200, 0x40},
                   {kRel, 0, 0x300, static_cast<uint32_t>(8 * reloc_entries), 8}};
  return img;
}

void PutReloc(std::string* image, size_t at, uint32_t offset, uint32_t info) {
  Poke32(image, at, offset);
  Poke32(image, at + 4, info);
}

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}

template <typename D>
const char* CheckReason(const std::string& image) {
  static std::string reason;
  D d(image.data(), image.size());
  if (d.CheckHeader()) return nullptr;
  reason = d.failure_reason();
  return reason.c_str();
}

}  // namespace

// --- Fixtures ------------------------------------------------------------------

TEST(ElfFixtures, ArmLibraryKeepsAllFiveBranchTypesAfterTrimming) {
  for (const char* name : {"arm_branches_v1", "arm_branches_v2"}) {
    const std::string image = ReadFixture(name);
    auto program = Disassemble(image);
    ASSERT_NE(nullptr, program) << name;
    ASSERT_EQ(C_OK, TrimLabels(program.get()));
    const ProgramCounts counts = CountsOf(*program);
    EXPECT_EQ((std::set<uint32_t>{1, 2, 3, 4, 5}), counts.arm_types) << name;
    // The trimmed program still rebuilds the library exactly.
    std::string rebuilt;
    ASSERT_EQ(C_OK, RoundTrip(image, &rebuilt));
    EXPECT_TRUE(rebuilt == image) << name;
  }
}

TEST(ElfFixtures, EachFileGoesToItsOwnClass) {
  const std::string arm = ReadFixture("arm_lld_pie_v1");
  EXPECT_STREQ("Not a supported architecture", CheckReason<DisassemblerElf32X86>(arm));
  EXPECT_EQ(nullptr, CheckReason<DisassemblerElf32ARM>(arm));
  const std::string x64 = ReadFixture("elf64_lld_so_v1");
  EXPECT_STREQ("Not a supported architecture", CheckReason<DisassemblerElf32X86>(x64));
  EXPECT_EQ(nullptr, CheckReason<DisassemblerElf64X64>(x64));
  // The 64-bit header checks on a real file.
  std::string broken = x64;
  Poke16(&broken, 58, 40);
  EXPECT_STREQ("Unexpected section header size", CheckReason<DisassemblerElf64X64>(broken));
  EXPECT_STREQ("Too small", CheckReason<DisassemblerElf64X64>(x64.substr(0, 63)));
  broken = x64;
  Poke32(&broken, 40, static_cast<uint32_t>(x64.size()));
  EXPECT_STREQ("Out of bounds section header table offset",
               CheckReason<DisassemblerElf64X64>(broken));
  broken = x64;
  Poke32(&broken, 32, static_cast<uint32_t>(x64.size()) - 8);
  EXPECT_STREQ("Out of bounds program header table", CheckReason<DisassemblerElf64X64>(broken));
}

// --- Header checks ------------------------------------------------------------

TEST(ElfHeader, EveryCheckGivesItsReason) {
  struct Case {
    const char* label;
    std::string image;
    const char* reason;
  };
  const std::string good = ElfImage().Build();
  auto poke16 = [&good](size_t at, uint16_t v) {
    std::string s = good;
    Poke16(&s, at, v);
    return s;
  };
  auto poke32 = [&good](size_t at, uint32_t v) {
    std::string s = good;
    Poke32(&s, at, v);
    return s;
  };
  ElfImage many_sections;
  many_sections.sections.resize(3, many_sections.sections[0]);
  const std::string three = many_sections.Build();
  const std::vector<Case> cases = {
      // The section header table ends exactly at the end of the file.
      {"good", good, nullptr},
      {"too_small", good.substr(0, 51), "Too small"},
      {"magic", poke32(0, 0x464C457E), "No Magic Number"},
      {"relocatable", poke16(16, 1), "Not an executable file or shared library"},
      {"executable", poke16(16, 2), nullptr},
      {"arm_machine", poke16(18, 40), "Not a supported architecture"},
      {"version", poke32(20, 2), "Unknown file version"},
      {"section_header_64", poke16(46, 64), "Unexpected section header size"},
      {"section_table_offset", poke32(32, static_cast<uint32_t>(good.size())),
       "Out of bounds section header table offset"},
      {"section_table_end", poke32(32, static_cast<uint32_t>(good.size()) - 39),
       "Out of bounds section header table"},
      {"section_table_count", three.substr(0, three.size() - 1),
       "Out of bounds section header table"},
      {"program_table_offset", poke32(28, static_cast<uint32_t>(good.size())),
       "Out of bounds program header table offset"},
      {"program_table_end", poke32(28, static_cast<uint32_t>(good.size()) - 31),
       "Out of bounds program header table"},
      // 0x1000 program headers do not fit.
      {"program_table_count", poke16(44, 0x1000), "Out of bounds program header table"},
      // An e_shstrndx past the sections is never read.
      {"names_index_out_of_range", poke16(50, 0xFFF0), nullptr},
  };
  for (const Case& c : cases) {
    ExpectReason(c.label, c.reason, CheckReason<DisassemblerElf32X86>(c.image));
  }
}

TEST(ElfHeader, LengthEndsWithTheLastContent) {
  // Trailing bytes after the section header table are cut; a NOBITS
  // section at a far offset does not count.
  ElfImage img = Standard(3, 0);
  img.sections.push_back({kNoBits, 0x400, 0x7FFFF000u, 0x1000});
  const std::string image = img.Build() + std::string(100, 'x');
  DisassemblerElf32X86 d(image.data(), image.size());
  ASSERT_TRUE(d.CheckHeader());
  EXPECT_EQ(image.size() - 100, d.length());

  // A section whose end wraps in 32 bits reaches past the input: the length
  // stays the input's and the disassembly fails.
  img = Standard(3, 0);
  img.sections[1].offset = 0xFFFFFF00u;
  img.sections[1].size = 0x200;
  const std::string wraps = img.Build();
  ExecutableKind kind = EXE_UNKNOWN;
  size_t length = 0;
  ASSERT_EQ(C_OK, IdentifyExecutable(wraps.data(), wraps.size(), &kind, &length));
  EXPECT_EQ(wraps.size(), length);
  DisassembledProgram* program = nullptr;
  EXPECT_EQ(C_DISASSEMBLY_FAILED, DisassembleExecutable(wraps.data(), wraps.size(), &program));
}

// --- Relocations and emission -------------------------------------------------

TEST(ElfRelocs, I386TableBecomesOneInstruction) {
  struct Case {
    const char* label;
    std::vector<std::pair<uint32_t, uint32_t>> entries;  // r_offset, r_info
    size_t abs32;
    bool table;
  };
  const std::vector<Case> cases = {
      {"matching", {{0x200, 8}, {0x204, 8}, {0x208, 0x101}}, 2, true},
      // The first entry's location lies outside every segment: it is no
      // absolute location, so the table stays plain bytes.
      {"first_not_location", {{0x5000, 8}, {0x200, 8}}, 1, false},
      {"wrong_order", {{0x204, 8}, {0x200, 8}}, 2, false},
      // A location in the last 2 bytes of .data stays plain.
      {"operand_past_section", {{0x23E, 8}}, 0, true},
  };
  for (const Case& c : cases) {
    ElfImage img = Standard(3, c.entries.size());
    std::string image = img.Build();
    for (size_t i = 0; i < c.entries.size(); ++i)
      PutReloc(&image, 0x300 + 8 * i, c.entries[i].first, c.entries[i].second);
    Poke32(&image, 0x200, 0x100);
    Poke32(&image, 0x204, 0x110);
    auto program = Disassemble(image);
    ASSERT_NE(nullptr, program) << c.label;
    const ProgramCounts counts = CountsOf(*program);
    EXPECT_EQ(c.abs32, counts.abs32) << c.label;
    EXPECT_EQ(c.table ? 1u : 0u, counts.reloc_tables) << c.label;
    if (c.abs32 == 2 || !c.table) {
      std::string rebuilt;
      ASSERT_EQ(C_OK, RoundTrip(image, &rebuilt)) << c.label;
      EXPECT_TRUE(rebuilt == image) << c.label;
    }
  }
}

TEST(ElfRelocs, EntriesAreReadWholeAndInsideTheirSection) {
  // sh_entsize 4 would count two entries in 8 bytes; only one whole 8-byte
  // entry lies in the section, the bytes after it are not read as one.
  ElfImage img = Standard(3, 1);
  img.sections[3].entry_size = 4;
  std::string image = img.Build();
  PutReloc(&image, 0x300, 0x200, 8);
  PutReloc(&image, 0x308, 0x204, 8);
  auto program = Disassemble(image);
  ASSERT_NE(nullptr, program);
  EXPECT_EQ(1u, CountsOf(*program).abs32);

  // sh_entsize 0 gives no entries.
  img.sections[3].entry_size = 0;
  image = img.Build();
  PutReloc(&image, 0x300, 0x200, 8);
  program = Disassemble(image);
  ASSERT_NE(nullptr, program);
  EXPECT_EQ(0u, CountsOf(*program).abs32);
}

TEST(ElfRelocs, InitArrayLocationIsDroppedWithItsLine) {
  // .init_array shares its bytes with a PROGBITS section listed after it.
  ElfImage img = Standard(3, 1);
  img.sections.insert(img.sections.begin() + 3, ElfSection{kInitArray, 0x240, 0x240, 8});
  img.sections.insert(img.sections.begin() + 4, ElfSection{kProgBits, 0x240, 0x240, 8});
  std::string image = img.Build();
  PutReloc(&image, 0x300, 0x240, 8);
  LogCapture log;
  auto program = Disassemble(image);
  ASSERT_NE(nullptr, program);
  EXPECT_EQ(0u, CountsOf(*program).abs32);
  EXPECT_TRUE(log.contains("Skipping relocation entry for unsupported section: 14"));
}

TEST(ElfEmission, FarAndWrappingOffsetsStayInsideTheInput) {
  // A NOBITS section between the others names an offset far past the input.
  ElfImage img = Standard(3, 0);
  img.sections.insert(img.sections.begin() + 2, ElfSection{kNoBits, 0x180, 0xFFFFFF00u, 0x100});
  std::string image = img.Build();
  std::string rebuilt;
  ASSERT_EQ(C_OK, RoundTrip(image, &rebuilt));
  EXPECT_TRUE(rebuilt == image);

  // A segment whose end lies beyond 32 bits still holds its targets.
  img = Standard(3, 0);
  img.segments.push_back({1, 0, 0xFFFFF000u, 0, 0x2000});
  image = img.Build();
  image.replace(0x100, 5, Bytes({0xE8, 0xFB, 0xF7, 0xFF, 0xFF}));  // 0x105 + disp = 0xFFFFF900
  auto program = Disassemble(image);
  ASSERT_NE(nullptr, program);
  EXPECT_EQ((std::map<uint64_t, uint32_t>{{0x101, 0xFFFFF900u}}), LayoutOf(*program).rel32);
}

TEST(ElfEmission, CallRunningIntoAnAbsoluteLocationStaysPlain) {
  ElfImage img = Standard(3, 1);
  std::string image = img.Build();
  image.replace(0x200, 5, Bytes({0xE8, 0x00, 0x00, 0x00, 0x00}));
  PutReloc(&image, 0x300, 0x203, 8);
  auto program = Disassemble(image);
  ASSERT_NE(nullptr, program);
  const ProgramCounts counts = CountsOf(*program);
  EXPECT_EQ(1u, counts.abs32);
  EXPECT_EQ(0u, counts.rel32);
}

TEST(ElfEmission, OverlappingSectionIsEmittedAgainAsPlainBytes) {
  // The second copy of .text sends the walk back to 0x100: its bytes are
  // emitted twice, its call only the first time.
  ElfImage img = Standard(3, 0);
  img.sections.insert(img.sections.begin() + 2, ElfSection{kProgBits, 0x100, 0x100, 0x100});
  std::string image = img.Build();
  image.replace(0x100, 5, Bytes({0xE8, 0x10, 0x00, 0x00, 0x00}));
  auto program = Disassemble(image);
  ASSERT_NE(nullptr, program);
  EXPECT_EQ(1u, CountsOf(*program).rel32);
  std::string rebuilt;
  ASSERT_EQ(C_OK, RoundTrip(image, &rebuilt));
  EXPECT_TRUE(rebuilt == image.substr(0, 0x200) + image.substr(0x100));
}

TEST(ElfEmission, CursorGoesBackToEverySection) {
  // Each case lists the sections of Standard (with a call in .text and two
  // absolute locations in .data) in another order, or adds one.
  const ElfSection text{kProgBits, 0x100, 0x100, 0x100};
  const ElfSection data{kProgBits, 0x200, 0x200, 0x40};
  const ElfSection relocs{kRel, 0, 0x300, 16, 8};
  struct Case {
    const char* label;
    std::vector<ElfSection> sections;
    // The file ranges the rebuilt program holds, in order; none: the
    // disassembly fails.
    std::vector<std::pair<size_t, size_t>> rebuilt;
    size_t rel32, abs32;
  };
  const size_t end = 0x1000 + 4 * 40;  // the section header table ends the file
  const std::vector<Case> cases = {
      {"in_order", {text, data, relocs}, {{0, end}}, 1, 2},
      // .text after .data: its call lies behind the walk and stays plain.
      {"text_last", {data, text, relocs}, {{0, 0x240}, {0x100, end - 0x100}}, 0, 2},
      // The relocation section first: read where it is listed, then the
      // walk goes back to .text.
      {"relocs_first", {relocs, text, data}, {{0, 0x310}, {0x100, end - 0x100}}, 1, 2},
      // .data before .text, which has no absolute location: fine.
      {"data_then_relocs_then_text", {data, relocs, text}, {{0, 0x310}, {0x100, end - 0x100}},
       0, 2},
  };
  for (const Case& c : cases) {
    ElfImage img = Standard(3, 2);
    img.sections.resize(1);
    img.sections.insert(img.sections.end(), c.sections.begin(), c.sections.end());
    std::string image = img.Build();
    ASSERT_EQ(end, image.size());
    image.replace(0x100, 5, Bytes({0xE8, 0x10, 0x00, 0x00, 0x00}));
    PutReloc(&image, 0x300, 0x200, 8);
    PutReloc(&image, 0x308, 0x204, 8);
    auto program = Disassemble(image);
    ASSERT_NE(nullptr, program) << c.label;
    const ProgramCounts counts = CountsOf(*program);
    EXPECT_EQ(c.rel32, counts.rel32) << c.label;
    EXPECT_EQ(c.abs32, counts.abs32) << c.label;
    EXPECT_EQ(1u, counts.reloc_tables) << c.label;
    std::string expected;
    for (const auto& range : c.rebuilt) expected += image.substr(range.first, range.second);
    std::string rebuilt;
    ASSERT_EQ(C_OK, RoundTrip(image, &rebuilt)) << c.label;
    EXPECT_TRUE(rebuilt == expected) << c.label;
  }
}

TEST(ElfEmission, EveryAbsoluteLocationMustBeEmitted) {
  struct Case {
    const char* label;
    std::vector<ElfSection> sections;
    std::vector<uint32_t> relative;  // r_offset of the R_386_RELATIVE entries
  };
  const ElfSection text{kProgBits, 0x100, 0x100, 0x100};
  const ElfSection data{kProgBits, 0x200, 0x200, 0x40};
  const ElfSection relocs{kRel, 0, 0x300, 16, 8};
  const std::vector<Case> cases = {
      // .data is emitted before .text, whose location the walk has passed.
      {"passed_over", {data, text, relocs}, {0x110, 0x200}},
      // A location inside the relocation section is never emitted.
      {"in_relocation_section", {text, data, relocs}, {0x200, 0x308}},
      // Two relocation sections over the same entries give every location
      // twice; the second copy lies behind the walk.
      {"relocations_read_twice", {text, data, relocs, relocs}, {0x200, 0x204}},
  };
  for (const Case& c : cases) {
    ElfImage img = Standard(3, 2);
    img.sections.resize(1);
    img.sections.insert(img.sections.end(), c.sections.begin(), c.sections.end());
    std::string image = img.Build();
    for (size_t i = 0; i < c.relative.size(); ++i) PutReloc(&image, 0x300 + 8 * i, c.relative[i], 8);
    DisassembledProgram* program = nullptr;
    EXPECT_EQ(C_DISASSEMBLY_FAILED, DisassembleExecutable(image.data(), image.size(), &program))
        << c.label;
    EXPECT_EQ(nullptr, program) << c.label;
  }
}

TEST(ElfEmission, SectionsPastTheInputFailTheDisassembly) {
  // A section with file bytes past the end fails; a NOBITS one never counts.
  struct Case {
    const char* label;
    ElfSection section;
    PatchStatus status;
  };
  const std::vector<Case> cases = {
      {"note_past_end", {7, 0, 0x380, 0x10000}, C_DISASSEMBLY_FAILED},
      {"symbols_past_end", {2, 0, 0x1100, 0x10}, C_DISASSEMBLY_FAILED},
      {"rel_past_end", {kRel, 0, 0xF00, 0x400, 8}, C_DISASSEMBLY_FAILED},
      {"nobits_past_end", {kNoBits, 0x400, 0x1100, 0x10}, C_OK},
      {"note_ending_at_end", {7, 0, 0x380, 0x1000 - 0x380 + 5 * 40}, C_OK},
  };
  for (const Case& c : cases) {
    ElfImage img = Standard(3, 0);
    img.sections.push_back(c.section);
    const std::string image = img.Build();
    DisassembledProgram* program = nullptr;
    EXPECT_EQ(c.status, DisassembleExecutable(image.data(), image.size(), &program)) << c.label;
    if (c.status == C_OK) {
      std::string rebuilt;
      ASSERT_EQ(C_OK, RoundTrip(image, &rebuilt)) << c.label;
      EXPECT_TRUE(rebuilt == image) << c.label;
    }
    FreeDisassembledProgram(program);
  }
}

TEST(ElfEmission, WalkKeepsWithinItsBudget) {
  // Copies of a section over the whole file send the walk back to 0 each
  // time; a last one-byte section adds one byte.  Four times the length is
  // always allowed, up to sixteen times as far as the program limit allows.
  ASSERT_EQ(4u, DisassemblerElf32::kWalkBytesPerByte);
  ASSERT_EQ(16u, DisassemblerElf32::kMaxWalkBytesPerByte);
  // copies, limit in lengths (0: none); one byte more fails.
  const std::vector<std::pair<uint32_t, uint32_t>> cases = {{16, 0}, {4, 1}, {8, 8}, {16, 64}};
  for (const auto& c : cases) {
    for (bool one_more : {false, true}) {
      ElfImage img;
      const uint32_t length = static_cast<uint32_t>(img.file_size + 40 * (1 + c.first + one_more));
      img.sections.resize(1 + c.first, ElfSection{kProgBits, 0, 0, length});
      if (one_more) img.sections.push_back({kProgBits, length - 1, length - 1, 1});
      const std::string image = img.Build();
      const uint64_t limit = c.second == 0 ? UINT64_MAX : uint64_t(c.second) * length;
      DisassembledProgram* program = nullptr;
      EXPECT_EQ(one_more ? C_DISASSEMBLY_FAILED : C_OK,
                DisassembleExecutable(image.data(), image.size(), &program, false, limit))
          << c.first << " " << c.second << " " << one_more;
      FreeDisassembledProgram(program);
    }
  }
}

// --- ARM ----------------------------------------------------------------------

TEST(ElfArm, LeadingEntriesStayPlainBeforeTheTable) {
  ElfImage img = Standard(40, 4);
  std::string image = img.Build();
  PutReloc(&image, 0x300, 0x208, 0x102);  // R_ARM_ABS32 with a symbol
  PutReloc(&image, 0x308, 0x20C, 0x216);  // R_ARM_JUMP_SLOT
  PutReloc(&image, 0x310, 0x200, 23);
  PutReloc(&image, 0x318, 0x204, 23);
  auto program = Disassemble(image);
  ASSERT_NE(nullptr, program);
  const ProgramCounts counts = CountsOf(*program);
  EXPECT_EQ(2u, counts.abs32);
  EXPECT_EQ(1u, counts.reloc_tables);
  std::string rebuilt;
  ASSERT_EQ(C_OK, RoundTrip(image, &rebuilt));
  EXPECT_TRUE(rebuilt == image);
}

TEST(ElfArm, RunningOutOfEntriesIsAMismatch) {
  // The first relocation section ends after the entry of the first
  // location; the second holds the other.
  ElfImage img = Standard(40, 2);
  img.sections.push_back({kRel, 0, 0x310, 8, 8});
  std::string image = img.Build();
  PutReloc(&image, 0x300, 0x20C, 0x216);
  PutReloc(&image, 0x308, 0x200, 23);
  PutReloc(&image, 0x310, 0x204, 23);
  auto program = Disassemble(image);
  ASSERT_NE(nullptr, program);
  const ProgramCounts counts = CountsOf(*program);
  EXPECT_EQ(0u, counts.reloc_tables);
  // The entry of 0x200 is left out of the program.
  EXPECT_EQ(image.size() - 8, LayoutOf(*program).bytes);
}

TEST(ElfArm, ShortBranchNeedsThreeBytesLeft) {
  for (uint32_t size : {4u, 6u}) {
    ElfImage img = Standard(40, 0);
    img.sections[1].size = size;
    std::string image = img.Build();
    image.replace(0x100, 4, Bytes({0x00, 0xBF, 0xFE, 0xE7}));  // nop; b .
    auto program = Disassemble(image);
    ASSERT_NE(nullptr, program);
    EXPECT_EQ(size == 6 ? 1u : 0u, CountsOf(*program).arm) << size;
  }
}

TEST(ElfEmission, ManyProgramHeadersAreLookedUpQuickly) {
  // 20000 program headers before the one that maps the file, over 1 MiB of
  // calls and 1 MiB of relocations: walking every header per lookup would
  // take minutes, past the test's time limit.
  const uint32_t kSize = 0x100000;
  const std::string image = OverlappingElfSectionsImage(1, 20000, kSize);
  auto program = Disassemble(image);
  ASSERT_NE(nullptr, program);
  const ProgramCounts counts = CountsOf(*program);
  EXPECT_EQ(kSize / 5, counts.rel32);
  EXPECT_EQ(kSize / 8, counts.abs32);
  EXPECT_EQ(1u, counts.reloc_tables);
}
