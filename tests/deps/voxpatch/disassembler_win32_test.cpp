// PE disassemblers: toolchain fixtures and hand-made images.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "disassembler_win32.h"
#include "peelftesthelpers.h"

using namespace voxpatch;
using namespace voxpatch_test;

namespace {

struct PeSection {
  const char* name;
  uint32_t address;
  uint32_t virtual_size;
  uint32_t raw_offset;
  uint32_t raw_size;
};

// A small PE image: headers at 0, PE header at 0x80, the given sections.
struct PeImage {
  bool pe32plus = false;
  uint32_t pe_offset = 0x80;
  uint16_t optional_size = 0;  // 0: the standard size with 16 directories
  uint16_t magic = 0;          // 0: the one of pe32plus
  uint32_t directory_count = 16;
  uint32_t size_of_image = 0x10000;
  uint64_t image_base = 0x400000;
  uint32_t reloc_rva = 0;
  uint32_t reloc_size = 0;
  std::vector<PeSection> sections = {{".text", 0x1000, 0x200, 0x400, 0x200}};
  size_t file_size = 0x600;

  size_t OptionalOffset() const { return pe_offset + 24; }

  std::string Build() const {
    std::string image(file_size, '\0');
    image[0] = 'M';
    image[1] = 'Z';
    Poke32(&image, 60, pe_offset);
    if (pe_offset < 64 || pe_offset + 24 > file_size) return image;
    image.replace(pe_offset, 4, std::string("PE\0\0", 4));
    const uint16_t size = optional_size != 0 ? optional_size : (pe32plus ? 240 : 224);
    Poke16(&image, pe_offset + 4, pe32plus ? 0x8664 : 0x14C);
    Poke16(&image, pe_offset + 6, static_cast<uint16_t>(sections.size()));
    Poke16(&image, pe_offset + 20, size);
    const size_t opt = OptionalOffset();
    auto poke32 = [&](size_t at, uint32_t v) {
      if (at + 4 <= image.size()) Poke32(&image, at, v);
    };
    auto poke16 = [&](size_t at, uint16_t v) {
      if (at + 2 <= image.size()) Poke16(&image, at, v);
    };
    poke16(opt, magic != 0 ? magic : (pe32plus ? 0x20B : 0x10B));
    if (pe32plus) {
      poke32(opt + 24, static_cast<uint32_t>(image_base));
      poke32(opt + 28, static_cast<uint32_t>(image_base >> 32));
      poke32(opt + 108, directory_count);
    } else {
      poke32(opt + 28, static_cast<uint32_t>(image_base));
      poke32(opt + 92, directory_count);
    }
    poke32(opt + 56, size_of_image);
    const size_t directories = opt + (pe32plus ? 112 : 96);
    poke32(directories + 5 * 8, reloc_rva);
    poke32(directories + 5 * 8 + 4, reloc_size);
    size_t at = opt + size;
    for (const PeSection& s : sections) {
      if (at + 40 > image.size()) break;
      std::memcpy(&image[at], s.name, std::min<size_t>(8, std::strlen(s.name)));
      Poke32(&image, at + 8, s.virtual_size);
      Poke32(&image, at + 12, s.address);
      Poke32(&image, at + 16, s.raw_size);
      Poke32(&image, at + 20, s.raw_offset);
      at += 40;
    }
    return image;
  }
};

const char* CheckReason(const std::string& image, bool pe32plus) {
  static std::string reason;
  DisassemblerWin32X86 x86(image.data(), image.size());
  DisassemblerWin32X64 x64(image.data(), image.size());
  Disassembler& d = pe32plus ? static_cast<Disassembler&>(x64) : x86;
  if (d.CheckHeader()) return nullptr;
  reason = d.failure_reason();
  return reason.c_str();
}

// An image with a .text section at file 0x400 / RVA 0x1000 holding `code`,
// a .data section at 0x600 / 0x2000 and a .reloc section at 0x800 / 0x3000
// with the given relocation table.
std::string ImageWithCode(bool pe32plus, const std::string& code, const std::string& relocs,
                          PeImage* spec_out = nullptr) {
  PeImage img;
  img.pe32plus = pe32plus;
  img.sections = {{".text", 0x1000, 0x200, 0x400, 0x200},
                   {".data", 0x2000, 0x200, 0x600, 0x200},
                   {".reloc", 0x3000, 0x200, 0x800, 0x200}};
  img.file_size = 0xA00;
  img.reloc_rva = 0x3000;
  img.reloc_size = static_cast<uint32_t>(relocs.size());
  std::string image = img.Build();
  image.replace(0x400, code.size(), code);
  image.replace(0x800, relocs.size(), relocs);
  if (spec_out != nullptr) *spec_out = img;
  return image;
}

// One relocation block for a page with the given entries.
std::string RelocBlock(uint32_t page, const std::vector<uint16_t>& entries) {
  std::string block(8 + 2 * entries.size(), '\0');
  Poke32(&block, 0, page);
  Poke32(&block, 4, static_cast<uint32_t>(block.size()));
  for (size_t i = 0; i < entries.size(); ++i) Poke16(&block, 8 + 2 * i, entries[i]);
  return block;
}

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}

}  // namespace

// --- Fixtures ------------------------------------------------------------------

TEST(PeFixtures, PE32PlusIsLeftToTheSecondCandidate) {
  const std::string image = ReadFixture("pe64_lld_exe_v1");
  EXPECT_STREQ("64 bit executables are not supported by this disassembler",
               CheckReason(image, false));
  EXPECT_EQ(nullptr, CheckReason(image, true));
  const std::string image32 = ReadFixture("pe32_lld_exe_v1");
  EXPECT_STREQ("32 bit executables are not supported by this disassembler",
               CheckReason(image32, true));
}

// --- Header checks ------------------------------------------------------------

TEST(PeHeader, EveryCheckGivesItsReason) {
  struct Case {
    const char* label;
    PeImage img;
    const char* reason;
    std::string image = std::string();  // when set: used instead of img
  };
  std::vector<Case> cases;
  auto with = [](auto change) {
    PeImage img;
    change(&img);
    return img;
  };
  cases.push_back({"good", PeImage(), nullptr});
  cases.push_back({"good64", with([](PeImage* s) { s->pe32plus = true; }), nullptr});
  cases.push_back({"too_small", PeImage(), "Too small", std::string(63, 'M')});
  {
    std::string image = PeImage().Build();
    image[1] = 'X';
    cases.push_back({"not_mz", PeImage(), "Not MZ", image});
  }
  cases.push_back({"offset_zero", with([](PeImage* s) { s->pe_offset = 0; }),
                   "Bad offset to PE header"});
  cases.push_back({"offset_past_end", with([](PeImage* s) { s->pe_offset = 0x600; }),
                   "Bad offset to PE header"});
  cases.push_back({"offset_24_short", with([](PeImage* s) {
                     s->pe_offset = 0x5E8;  // + 24 is the length
                   }),
                   "Bad offset to PE header"});
  cases.push_back({"misaligned", with([](PeImage* s) { s->pe_offset = 0x84; }),
                   "Misaligned PE header"});
  {
    std::string image = PeImage().Build();
    image[0x82] = 'X';
    cases.push_back({"no_signature", PeImage(), "no PE signature", image});
  }
  cases.push_back({"optional_past_end", with([](PeImage* s) {
                     s->optional_size = static_cast<uint16_t>(0x600 - 0x98);
                   }),
                   "optional header past end of file"});
  cases.push_back({"no_magic", with([](PeImage* s) { s->optional_size = 1; }),
                   "optional header no magic"});
  cases.push_back({"bad_magic", with([](PeImage* s) { s->magic = 0x107; }), "unrecognized magic"});
  cases.push_back({"short32", with([](PeImage* s) { s->optional_size = 95; }),
                   "optional header too short"});
  cases.push_back({"short64", with([](PeImage* s) {
                     s->pe32plus = true;
                     s->optional_size = 111;
                   }),
                   "optional header too short"});
  // Directory 14 lies at 96 + 112 = 208, beyond an optional header of 200.
  cases.push_back({"directories_inconsistent", with([](PeImage* s) { s->optional_size = 200; }),
                   "malformed data directory"});
  // Few directories read as empty.
  cases.push_back({"few_directories", with([](PeImage* s) {
                     s->optional_size = 96;
                     s->directory_count = 0;
                   }),
                   nullptr});
  cases.push_back({"directory_too_big", with([](PeImage* s) {
                     s->reloc_size = 0x20000;  // above the size of image
                     s->reloc_rva = 0x1000;
                   }),
                   "malformed data directory"});
  {
    // The optional header fits in the file, the record of directory 14
    // (bytes 208 to 216 of it) does not.
    PeImage img;
    img.optional_size = 96 + 8 * 14 + 1;
    img.file_size = img.OptionalOffset() + img.optional_size + 1;
    cases.push_back({"record_outside_file", img, "malformed data directory"});
  }
  cases.push_back({"no_text", with([](PeImage* s) { s->sections[0].name = ".code"; }),
                   "Resource-only executables are not yet supported"});
  cases.push_back({"text_prefix_only", with([](PeImage* s) { s->sections[0].name = ".textbss"; }),
                   "Resource-only executables are not yet supported"});
  cases.push_back({"section_table_outside", with([](PeImage* s) {
                     s->sections.resize(30, s->sections[0]);
                   }),
                   "section table outside image"});
  cases.push_back({"section_outside", with([](PeImage* s) { s->sections[0].raw_size = 0x201; }),
                   "section outside image"});
  // raw offset + raw size wraps to 0x100 in 32 bits.
  cases.push_back({"section_end_wraps", with([](PeImage* s) {
                     s->sections[0].raw_offset = 0xFFFFFF00u;
                   }),
                   "section outside image"});

  for (const Case& c : cases) {
    const std::string image = c.image.empty() ? c.img.Build() : c.image;
    ExpectReason(c.label, c.reason, CheckReason(image, c.img.pe32plus));
  }
}

TEST(PeHeader, TrailingDataIsCutAndEmptyRangeRejected) {
  PeImage img;
  img.file_size = 0x900;
  const std::string image = img.Build();
  DisassemblerWin32X86 d(image.data(), image.size());
  ASSERT_TRUE(d.CheckHeader());
  EXPECT_EQ(0x600u, d.length());
  ExecutableKind kind = EXE_MACHO_X64;
  size_t length = 1;
  EXPECT_EQ(C_INPUT_NOT_RECOGNIZED, IdentifyExecutable("", 0, &kind, &length));
}

// --- Base relocations ---------------------------------------------------------

TEST(PeRelocs, BrokenTablesFailTheDisassembly) {
  struct Case {
    const char* label;
    bool pe32plus;
    std::string relocs;
    uint32_t size_override;  // 0: the table's size
    const char* reason;
  };
  std::string bad_size = RelocBlock(0x1000, {0x3010, 0x3014});
  Poke32(&bad_size, 4, 10);
  std::string tiny = RelocBlock(0x1000, {0x3010, 0x3014});
  Poke32(&tiny, 4, 4);
  std::string long_block = RelocBlock(0x1000, {0x3010, 0x3014});
  Poke32(&long_block, 4, 0x1000);
  const std::vector<Case> cases = {
      {"unreasonable_size", false, bad_size, 0, "unreasonable relocs block"},
      {"below_header", false, tiny, 0, "unreasonable relocs block"},
      {"block_outside", false, long_block, 0, ".relocs block outside image"},
      {"dir64_in_pe32", false, RelocBlock(0x1000, {0xA010, 0}), 0, "unknown type of reloc"},
      {"highlow_in_pe32plus", true, RelocBlock(0x1000, {0x3010, 0}), 0, "unknown type of reloc"},
      {"table_outside", false, RelocBlock(0x1000, {0x3010, 0}), 0x201, ".relocs outside image"},
  };
  for (const Case& c : cases) {
    PeImage img;
    std::string image = ImageWithCode(c.pe32plus, std::string(), c.relocs, &img);
    if (c.size_override != 0) {
      const size_t directories = img.OptionalOffset() + (c.pe32plus ? 112 : 96);
      Poke32(&image, directories + 5 * 8 + 4, c.size_override);
    }
    std::unique_ptr<DisassemblerWin32> d;
    if (c.pe32plus) {
      d.reset(new DisassemblerWin32X64(image.data(), image.size()));
    } else {
      d.reset(new DisassemblerWin32X86(image.data(), image.size()));
    }
    ASSERT_TRUE(d->CheckHeader()) << c.label << ": " << d->failure_reason();
    DisassembledProgram program(d->GetKind());
    EXPECT_FALSE(d->BuildProgram(&program)) << c.label;
    EXPECT_STREQ(c.reason, d->failure_reason()) << c.label;
    DisassembledProgram* out = nullptr;
    EXPECT_EQ(C_DISASSEMBLY_FAILED, DisassembleExecutable(image.data(), image.size(), &out))
        << c.label;
  }
}

TEST(PeRelocs, AbsoluteAddressesAndTheRegeneratedTable) {
  // Absolute addresses at .text+0x10 and .data+0x8 (value: image base +
  // target); the table's own bytes never reach the program.
  std::string code(0x20, '\x90');
  Poke32(&code, 0x10, 0x400000 + 0x2004);
  std::string relocs = RelocBlock(0x1000, {0x3010, 0}) + RelocBlock(0x2000, {0x3008, 0});
  std::string image = ImageWithCode(false, code, relocs);
  Poke32(&image, 0x608, 0x400000 + 0x1000);
  auto program = Disassemble(image);
  ASSERT_NE(nullptr, program);
  const ProgramCounts counts = CountsOf(*program);
  EXPECT_EQ(2u, counts.abs32);
  EXPECT_EQ(1u, counts.reloc_tables);
  std::vector<uint32_t> targets;
  for (const AddressLabel* label : program->abs32_labels()) targets.push_back(label->address);
  EXPECT_EQ((std::vector<uint32_t>{0x1000, 0x2004}), targets);
  const ProgramLayout layout = LayoutOf(*program);
  EXPECT_EQ(image.size() - relocs.size(), layout.bytes);

  std::string rebuilt;
  ASSERT_EQ(C_OK, RoundTrip(image, &rebuilt));
  EXPECT_TRUE(rebuilt == image);
}

TEST(PeRelocs, UnreachedLocationsDoNotBlockLaterOnes) {
  // Locations in the headers (0x10), duplicated (0x1010 twice) and in the
  // last two bytes of .text (0x11FE) are passed over; 0x1010 and 0x2008
  // are still taken.
  std::string code(0x200, '\0');
  std::string relocs = RelocBlock(0x0, {0x3010, 0}) +
                       RelocBlock(0x1000, {0x3010, 0x3010, 0x31FE, 0}) +
                       RelocBlock(0x2000, {0x3008, 0});
  const std::string image = ImageWithCode(false, code, relocs);
  auto program = Disassemble(image);
  ASSERT_NE(nullptr, program);
  EXPECT_EQ(2u, CountsOf(*program).abs32);
  EXPECT_EQ(image.size() - relocs.size(), LayoutOf(*program).bytes);
}

// --- Rel32 scan ---------------------------------------------------------------

TEST(PeScan, PatternsAndTargets) {
  struct Case {
    const char* label;
    bool pe32plus;
    std::string code;
    std::string relocs;
    std::map<uint64_t, uint32_t> expected;  // operand file offset -> target
  };
  const std::vector<Case> cases = {
      {"call_in_section", false, Bytes({0xE8, 0x10, 0, 0, 0}), "", {{0x401, 0x1015}}},
      {"jcc_in_section", true, Bytes({0x0F, 0x85, 0x10, 0, 0, 0}), "", {{0x402, 0x1016}}},
      {"jp_excluded", false, Bytes({0x0F, 0x8A, 0x10, 0, 0, 0}), "", {}},
      // A call into .data is no branch in either class.
      {"call_other_section32", false, Bytes({0xE8, 0xFB, 0x0F, 0, 0}), "", {}},
      {"call_other_section64", true, Bytes({0xE8, 0xFB, 0x0F, 0, 0}), "", {}},
      // A RIP-relative load from .data is one in PE32+ only.
      {"rip_load64", true, Bytes({0x48, 0x8B, 0x05, 0xF9, 0x0F, 0, 0}), "", {{0x403, 0x2000}}},
      {"rip_load32", false, Bytes({0x48, 0x8B, 0x05, 0xF9, 0x0F, 0, 0}), "", {}},
      {"indirect_call64", true, Bytes({0xFF, 0x15, 0xFA, 0x0F, 0, 0}), "", {{0x402, 0x2000}}},
      // Beyond the size of image: not taken.
      {"rip_beyond_image", true, Bytes({0x48, 0x8B, 0x05, 0xF9, 0xFF, 0, 0}), "", {}},
      // The operand would overlap the absolute address at 0x1003.
      {"overlaps_abs32", false, Bytes({0xE8, 0x10, 0, 0, 0, 0, 0, 0}),
       RelocBlock(0x1000, {0x3003, 0}), {}},
  };
  for (const Case& c : cases) {
    const std::string image = ImageWithCode(c.pe32plus, c.code, c.relocs);
    auto program = Disassemble(image);
    ASSERT_NE(nullptr, program) << c.label;
    EXPECT_EQ(c.expected, LayoutOf(*program).rel32) << c.label;
  }
}

TEST(PeScan, OperandNearRvaZeroStillSeesAbsoluteAddresses) {
  // .text at RVA 0: the call's operand at RVA 1 overlaps the absolute
  // address at RVA 2 (1 - 3 must not wrap around and miss it).
  PeImage img;
  img.sections = {{".text", 0x0, 0x200, 0x400, 0x200}, {".reloc", 0x3000, 0x200, 0x600, 0x200}};
  img.file_size = 0x800;
  img.reloc_rva = 0x3000;
  const std::string relocs = RelocBlock(0x0, {0x3002, 0});
  img.reloc_size = static_cast<uint32_t>(relocs.size());
  std::string image = img.Build();
  image.replace(0x400, 6, Bytes({0xE8, 0x00, 0x00, 0x00, 0x00, 0x00}));
  image.replace(0x600, relocs.size(), relocs);
  auto program = Disassemble(image);
  ASSERT_NE(nullptr, program);
  const ProgramCounts counts = CountsOf(*program);
  EXPECT_EQ(0u, counts.rel32);
  EXPECT_EQ(1u, counts.abs32);
}

TEST(PeScan, SectionEndAboveFourGigabytesDoesNotWrap) {
  // .text at RVA 0xFFFFF000 of 0x2000 bytes: its end lies beyond 32 bits,
  // and a call to 0xFFFFF800 is inside it.
  PeImage img;
  img.sections = {{".text", 0xFFFFF000u, 0x2000, 0x400, 0x200}};
  img.size_of_image = 0xFFFFFFFFu;
  std::string image = img.Build();
  image.replace(0x400, 5, Bytes({0xE8, 0xFB, 0x07, 0, 0}));
  auto program = Disassemble(image);
  ASSERT_NE(nullptr, program);
  EXPECT_EQ((std::map<uint64_t, uint32_t>{{0x401, 0xFFFFF800u}}), LayoutOf(*program).rel32);
}

TEST(PeScan, SectionsSharingTheirBytesAreScannedOnce) {
  // 60000 ".text" sections over the same 1 MiB of calls: scanning each of
  // them would take minutes, past the test's time limit.
  const uint32_t kSections = 60000;
  const uint32_t kCode = 0x300000, kCodeSize = 0x100000;
  PeImage img;
  img.sections.assign(kSections, PeSection{".text", 0x1000, kCodeSize, kCode, kCodeSize});
  img.size_of_image = 0x200000;
  img.file_size = kCode + kCodeSize;
  std::string image = img.Build();
  ASSERT_LT(img.OptionalOffset() + 224 + 40 * kSections, kCode);
  for (uint32_t at = kCode; at + 5 <= kCode + kCodeSize; at += 5) image[at] = '\xE8';
  auto program = Disassemble(image);
  ASSERT_NE(nullptr, program);
  const ProgramLayout layout = LayoutOf(*program);
  EXPECT_EQ(kCodeSize / 5, layout.rel32.size());
  EXPECT_EQ(std::vector<uint32_t>{0x1000}, layout.origins);
  EXPECT_EQ(image.size(), layout.bytes);
}

TEST(PeWalk, EventsAreFoundWhereTheAddressesWrap) {
  // .text runs from RVA 0xFFFFFF00 past 2^32 to 0x100; the relocation table
  // lies at RVA 0x80 (in .reloc), which the walk through .text reaches
  // after the wrap, behind an absolute address at 0xFFFFFF10.  The walk
  // must stop at both, at the same places as a byte-by-byte walk would.
  PeImage img;
  img.sections = {{".text", 0xFFFFFF00u, 0x200, 0x400, 0x200}, {".reloc", 0x80, 0x100, 0x600, 0x100}};
  img.file_size = 0x700;
  img.reloc_rva = 0x80;
  const std::string relocs = RelocBlock(0xFFFFF000u, {0x3F10, 0});
  img.reloc_size = static_cast<uint32_t>(relocs.size());
  std::string image = img.Build();
  image.replace(0x600, relocs.size(), relocs);
  Poke32(&image, 0x410, 0x400000 + 0x1234);
  auto program = Disassemble(image);
  ASSERT_NE(nullptr, program);
  std::string walk;
  for (size_t i = 0; i < program->instruction_count(); ++i) {
    const Instruction* insn = program->instruction(i);
    char step[32];
    switch (insn->kind()) {
      case INSN_START:
        std::snprintf(step, sizeof(step), "O%x ", static_cast<const OriginInstruction*>(insn)->rva());
        break;
      case INSN_BYTE_RUN:
        std::snprintf(step, sizeof(step), "B%zx ", static_cast<const BytesInstruction*>(insn)->length());
        break;
      case INSN_ABS32_REF:
        std::snprintf(step, sizeof(step), "A%x ", DisassembledProgram::InstructionAbs32Label(insn)->address);
        break;
      case INSN_PE_RELOC_TABLE:
        std::snprintf(step, sizeof(step), "R ");
        break;
      default:
        std::snprintf(step, sizeof(step), "?%u ", insn->kind());
        break;
    }
    walk += step;
  }
  // Headers; .text up to the address, the address, up to RVA 0x80, the
  // table (whose 12 bytes are passed over), the rest; then .reloc whole.
  EXPECT_EQ("B400 Offffff00 B10 A1234 B16c R B74 O80 B100 ", walk);
}
