// Mach-O disassembler and executable detection: real toolchain fixtures and
// hand-made headers.

#include <gtest/gtest.h>

#include <cstring>

#include <sys/mman.h>
#include <unistd.h>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>

#include "disassembledprogram.h"
#include "disassembler_macho.h"
#include "encodedprogram.h"
#include "executableparser.h"
#include "childprocess.h"
#include "hostileinputs.h"
#include "logcapture.h"
#include "machoimagebuilder.h"
#include "programtesthelpers.h"

using namespace voxpatch;
using namespace voxpatch_test;

namespace {

const char* CheckReason(const std::string& image) {
  DisassemblerMacho d(image.data(), image.size());
  if (d.CheckHeader()) return nullptr;
  return d.failure_reason();
}

// A minimal well-formed 64-bit image: one __TEXT segment [0x1000, 0x3000)
// holding one code section at file offset 0x1000 of `code_size` bytes.
// One segment with a single 16-byte code section whose header claims
// `count` sections, so the section table size can be made to lie.
MachOImageBuilder OneSectionClaiming(bool is64, uint32_t count) {
  MachOImageBuilder b(is64);
  MachOSegment seg;
  seg.vm_size = 0x100;
  seg.file_size = 0x100;
  seg.section_count_override = count;
  MachOSection code;
  code.size = 0x10;
  code.offset = 0x80;
  seg.sections.push_back(code);
  b.AddSegment(seg);
  return b;
}

MachOImageBuilder Simple64(uint64_t code_size = 0x100, uint32_t flags = kSectionCode) {
  MachOImageBuilder b(true);
  MachOSegment zero;
  zero.address = 0;
  zero.vm_size = 0x100000000ull;
  b.AddSegment(zero);
  MachOSegment text;
  text.address = 0x100000000ull;
  text.vm_size = 0x3000;
  text.file_offset = 0;
  text.file_size = 0x2000;
  MachOSection code;
  code.address = 0x100001000ull;
  code.size = code_size;
  code.offset = 0x1000;
  code.flags = flags;
  text.sections.push_back(code);
  b.AddSegment(text);
  return b;
}

}  // namespace

// --- Real fixtures -----------------------------------------------------------

struct FixtureCase {
  const char* name;
  ExecutableKind kind;
};

class MachoFixtureTest : public ::testing::TestWithParam<FixtureCase> {};

TEST_P(MachoFixtureTest, DetectsKindAndLength) {
  const FixtureCase& c = GetParam();
  const std::string image = ReadFixture(c.name);
  ASSERT_FALSE(image.empty());
  const FixtureRefs refs = LoadFixtureRefs()[c.name];
  ASSERT_GT(refs.length, 0u) << "no record for " << c.name;

  ExecutableKind kind = EXE_UNKNOWN;
  size_t length = 0;
  ASSERT_EQ(C_OK, IdentifyExecutable(image.data(), image.size(), &kind, &length));
  EXPECT_EQ(c.kind, kind);
  EXPECT_EQ(refs.length, length);
  EXPECT_LE(length, image.size());
}

TEST_P(MachoFixtureTest, FindsEveryRel32OperandObjdumpShows) {
  const FixtureCase& c = GetParam();
  const std::string image = ReadFixture(c.name);
  const FixtureRefs refs = LoadFixtureRefs()[c.name];
  ASSERT_EQ(refs.count, refs.targets.size());
  ASSERT_GE(refs.count, 10u) << "fixture has too few references to be telling";

  DisassembledProgram* raw = nullptr;
  ASSERT_EQ(C_OK, DisassembleExecutable(image.data(), image.size(), &raw));
  std::unique_ptr<DisassembledProgram> program(raw);
  EXPECT_EQ(c.kind, program->kind());

  const ProgramLayout layout = LayoutOf(*program);
  EXPECT_EQ(refs.length, layout.bytes);
  for (const auto& ref : refs.targets) {
    auto found = layout.rel32.find(ref.first);
    ASSERT_NE(found, layout.rel32.end()) << "no rel32 operand at offset " << ref.first;
    EXPECT_EQ(ref.second, found->second) << "wrong target at offset " << ref.first;
  }
  // The byte-pattern scan may also take a few operand-like byte sequences;
  // it must not take many more than real instructions.
  EXPECT_LE(layout.rel32.size(), refs.count + refs.count / 2);

  // Labels: one per distinct target, numbered 0.. in address order.
  std::set<uint32_t> targets;
  for (const auto& r : layout.rel32) targets.insert(r.second);
  EXPECT_EQ(targets.size(), program->rel32_labels().size());
  int32_t expected_index = 0;
  for (const AddressLabel* label : program->rel32_labels()) {
    EXPECT_EQ(expected_index++, label->index);
  }
  EXPECT_TRUE(program->abs32_labels().empty());
}

TEST_P(MachoFixtureTest, RoundTripGivesBackDetectedBytes) {
  const FixtureCase& c = GetParam();
  const std::string image = ReadFixture(c.name);
  const FixtureRefs refs = LoadFixtureRefs()[c.name];
  std::string rebuilt;
  ASSERT_EQ(C_OK, RoundTrip(image, &rebuilt));
  ASSERT_EQ(refs.length, rebuilt.size());
  EXPECT_TRUE(rebuilt == image.substr(0, rebuilt.size()));
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, MachoFixtureTest,
    ::testing::Values(FixtureCase{"macho64_exe_v1", EXE_MACHO_X64},
                      FixtureCase{"macho64_exe_v2", EXE_MACHO_X64},
                      FixtureCase{"macho64_dylib_v1", EXE_MACHO_X64},
                      FixtureCase{"macho64_dylib_v2", EXE_MACHO_X64},
                      FixtureCase{"macho64_bundle_v1", EXE_MACHO_X64},
                      FixtureCase{"macho64_bundle_v2", EXE_MACHO_X64},
                      FixtureCase{"macho32_exe_v1", EXE_MACHO_X86},
                      FixtureCase{"macho32_exe_v2", EXE_MACHO_X86},
                      FixtureCase{"macho32_dylib_v1", EXE_MACHO_X86},
                      FixtureCase{"macho32_dylib_v2", EXE_MACHO_X86},
                      FixtureCase{"macho32_bundle_v1", EXE_MACHO_X86},
                      FixtureCase{"macho32_bundle_v2", EXE_MACHO_X86}),
    [](const ::testing::TestParamInfo<FixtureCase>& info) { return std::string(info.param.name); });

TEST(MachoFixtures, DataOnlyDylibWithEmptyCodeSectionFinishes) {
  // ld64.lld gives a data-only dylib a zero-size __text section; emission
  // must visit it once and go on instead of finding it again forever.
  const std::string image = ReadFixture("macho64_dataonly");
  ASSERT_FALSE(image.empty());
  DisassembledProgram* raw = nullptr;
  ASSERT_EQ(C_OK, DisassembleExecutable(image.data(), image.size(), &raw));
  std::unique_ptr<DisassembledProgram> program(raw);
  const ProgramLayout layout = LayoutOf(*program);
  EXPECT_EQ(1u, layout.origins.size());
  EXPECT_TRUE(layout.rel32.empty());
  EXPECT_LE(layout.bytes, image.size());

  std::string rebuilt;
  ASSERT_EQ(C_OK, RoundTrip(image, &rebuilt));
  EXPECT_TRUE(rebuilt == image.substr(0, rebuilt.size()));
}

TEST(MachoFixtures, FatFileIsNotRecognised) {
  const std::string image = ReadFixture("macho_fat_v1");
  ASSERT_GT(image.size(), 4096u);
  EXPECT_STREQ("Unknown magic type", CheckReason(image));
  ExecutableKind kind = EXE_MACHO_X64;
  size_t length = 1;
  EXPECT_EQ(C_INPUT_NOT_RECOGNIZED,
            IdentifyExecutable(image.data(), image.size(), &kind, &length));
  EXPECT_EQ(EXE_UNKNOWN, kind);
  EXPECT_EQ(0u, length);
  DisassembledProgram* program = reinterpret_cast<DisassembledProgram*>(1);
  EXPECT_EQ(C_INPUT_NOT_RECOGNIZED,
            DisassembleExecutable(image.data(), image.size(), &program));
  EXPECT_EQ(nullptr, program);
}

TEST(MachoDetection, EmptyRangeIsRejected) {
  ExecutableKind kind = EXE_MACHO_X64;
  size_t length = 7;
  EXPECT_EQ(C_INPUT_NOT_RECOGNIZED, IdentifyExecutable("", 0, &kind, &length));
  EXPECT_EQ(EXE_UNKNOWN, kind);
  EXPECT_EQ(0u, length);
}

// --- Header checks -------------------------------------------------------------

struct HeaderCase {
  const char* label;
  std::string image;
  const char* reason;  // null: accepted
};

std::vector<HeaderCase> HeaderCases() {
  std::vector<HeaderCase> cases;
  const std::string good64 = Simple64().Build(0x2000);
  cases.push_back({"good64", good64, nullptr});
  cases.push_back({"too_small", good64.substr(0, 31), "Too small"});
  {
    MachOImageBuilder b(false);
    cases.push_back({"small32_header_only", b.Build(28), "Too small"});
  }
  {
    std::string fat = good64;
    Poke32(&fat, 0, 0xBEBAFECAu);
    cases.push_back({"fat_magic", fat, "Unknown magic type"});
  }
  {
    MachOImageBuilder b = Simple64();
    b.cpu_type = 7;
    cases.push_back({"cpu64_i386", b.Build(0x2000), "unsupported cpu type"});
  }
  {
    MachOImageBuilder b(false);
    b.cpu_type = 0x01000007u;
    cases.push_back({"cpu32_x64", b.Build(0x100), "unsupported cpu type"});
  }
  for (uint32_t type : {0u, 1u, 3u, 4u, 7u, 9u, 0x22u}) {
    MachOImageBuilder b = Simple64();
    b.file_type = type;
    cases.push_back({"filetype", b.Build(0x2000), "Unsupported filetype in header"});
  }
  for (uint32_t type : {2u, 5u, 6u, 8u}) {
    MachOImageBuilder b = Simple64();
    b.file_type = type;
    cases.push_back({"filetype_ok", b.Build(0x2000), nullptr});
  }
  {
    // Commands claim more than the file holds.
    MachOImageBuilder b = Simple64();
    cases.push_back({"commands_cut", b.Build(0).substr(0, 32 + 72 + 40),
                     "file to small in load commands"});
  }
  {
    // More commands announced than present: the next command header lies
    // past the end of the file.
    MachOImageBuilder b(true);
    MachOSegment seg;
    seg.vm_size = 0x1000;
    seg.file_size = 32 + 152;
    MachOSection code;
    code.size = 0x10;
    code.offset = 0x40;
    seg.sections.push_back(code);
    b.AddSegment(seg);
    b.command_count_set = true;
    b.command_count = 2;
    std::string image = b.Build(0);
    EXPECT_EQ(32u + 152u, image.size());
    cases.push_back({"command_header_past_end", image, "file to small in load commands"});
  }
  {
    // A command size below 8 would never advance.
    MachOImageBuilder b = Simple64();
    b.AddRawCommand(0x2, "", 0);
    std::string image = b.Build(0x2000);
    const size_t at = b.CommandsEnd() - 8;
    Poke32(&image, at + 4, 0);
    b.command_count_set = false;
    cases.push_back({"command_size_zero", image, "bad load command size"});
    Poke32(&image, at + 4, 4);
    cases.push_back({"command_size_four", image, "bad load command size"});
  }
  {
    MachOImageBuilder b(true);
    MachOSegment seg;
    b.AddSegment(seg, false);
    cases.push_back({"lc_segment_in_64", b.Build(0x100), "LC_SEGMENT not supported"});
  }
  {
    MachOImageBuilder b(false);
    MachOSegment seg;
    b.AddSegment(seg, true);
    cases.push_back({"lc_segment64_in_32", b.Build(0x100), "LC_SEGMENT_64 not supported"});
  }
  {
    MachOImageBuilder b(false);
    MachOSegment seg;
    seg.command_size_override = 48;
    b.AddSegment(seg);
    cases.push_back({"bad_lc_segment", b.Build(0x100), "bad LC_SEGMENT"});
  }
  {
    MachOImageBuilder b(true);
    MachOSegment seg;
    seg.command_size_override = 64;
    b.AddSegment(seg);
    cases.push_back({"bad_lc_segment64", b.Build(0x100), "bad LC_SEGMENT_64"});
  }
  {
    MachOImageBuilder b(false);
    MachOSegment seg;
    seg.vm_size = 0x200;
    seg.file_size = 0x200;
    b.AddSegment(seg);
    cases.push_back({"segment32_too_large", b.Build(0x1FF), "segment too large"});
  }
  {
    // fileoff + filesize wraps to 0x1000 in 32 bits.
    MachOImageBuilder b(false);
    MachOSegment seg;
    seg.vm_size = 0x2000;
    seg.file_offset = 0xFFFFF000u;
    seg.file_size = 0x2000;
    MachOSection code;
    code.address = 0;
    code.size = 0x10;
    code.offset = 0x100;
    seg.sections.push_back(code);
    b.AddSegment(seg);
    cases.push_back({"segment32_wraps", b.Build(0x2000), "segment too large"});
  }
  {
    MachOImageBuilder b = Simple64();
    cases.push_back({"segment64_too_large", b.Build(0x1FFF), "segment too large"});
  }
  {
    // 56 + 68 * n wraps to 108 in 32 bits, below the real command size 124.
    MachOImageBuilder b = OneSectionClaiming(false, 0x3C3C3C3Du);
    cases.push_back({"sections32_wrap", b.Build(0x100), "sections too small"});
  }
  {
    MachOImageBuilder b = OneSectionClaiming(true, 2);
    cases.push_back({"sections64_too_small", b.Build(0x100), "sections too small"});
  }
  {
    // 72 + 80 * n wraps to 136 in 32 bits, below the real command size 152.
    MachOImageBuilder b = OneSectionClaiming(true, 0x3333334u);
    cases.push_back({"sections64_wrap", b.Build(0x100), "sections too small"});
  }
  {
    MachOImageBuilder b = Simple64(0x2001);
    cases.push_back({"section_larger", b.Build(0x2000), "section larger than segment"});
  }
  {
    MachOImageBuilder b(true);
    MachOSegment seg;
    seg.address = 0x1000;
    seg.vm_size = 0x1000;
    seg.file_size = 0x100;
    MachOSection code;
    code.address = 0xFFF;  // below the segment
    code.size = 0x10;
    seg.sections.push_back(code);
    b.AddSegment(seg);
    cases.push_back({"section_below", b.Build(0x100), "section larger than segment"});
  }
  {
    MachOImageBuilder b(true);
    MachOSegment seg;
    seg.vm_size = 0x100000000ull;
    seg.file_size = 0x100;
    MachOSection code;
    code.size = 0x10;
    seg.sections.push_back(code);
    b.AddSegment(seg);
    cases.push_back({"vmsize_4g", b.Build(0x100), "overflow"});
  }
  {
    MachOImageBuilder b(true);
    MachOSegment seg;
    seg.vm_size = 0x1000;
    seg.file_offset = 0x100000000ull;
    MachOSection code;
    seg.sections.push_back(code);
    b.AddSegment(seg);
    cases.push_back({"fileoff_4g", b.Build(0x100), "overflow"});
  }
  {
    MachOImageBuilder b(true);
    MachOSegment seg;
    seg.vm_size = 0x1000;
    seg.file_size = 0x100;
    MachOSection code;
    code.size = 0x100000000ull;
    seg.sections.push_back(code);
    b.AddSegment(seg);
    cases.push_back({"section_size_4g", b.Build(0x100), "overflow"});
  }
  {
    // Two segments 4 GiB apart: the upper one cannot be rebased into 32 bits.
    MachOImageBuilder b(true);
    MachOSegment low;
    low.vm_size = 0x1000;
    low.file_size = 0x100;
    MachOSection code;
    code.size = 0x10;
    low.sections.push_back(code);
    b.AddSegment(low);
    MachOSegment high = low;
    high.address = 0xFFFFF800ull;
    high.sections[0].address = 0xFFFFF800ull;
    b.AddSegment(high);
    cases.push_back({"rebase_overflow", b.Build(0x400), "overflow"});
  }
  {
    MachOImageBuilder b = Simple64(0x100, kSectionData);
    cases.push_back({"data_only", b.Build(0x2000),
                     "Resource-only executables are not yet supported"});
  }
  {
    // A stub section (type 8, symbol stubs) with the pure-instructions flag.
    MachOImageBuilder b = Simple64(0x100, 0x80000408u);
    cases.push_back({"stubs_only", b.Build(0x2000),
                     "Resource-only executables are not yet supported"});
  }
  {
    // A code section whose file range lies past the segment's file data.
    MachOImageBuilder b(true);
    MachOSegment seg;
    seg.vm_size = 0x1000;
    seg.file_size = 0x200;
    MachOSection code;
    code.address = 0x100;
    code.size = 0x80;
    code.offset = 0x1F0;
    seg.sections.push_back(code);
    b.AddSegment(seg);
    cases.push_back({"section_outside_file", b.Build(0x200), "section outside file"});
  }
  return cases;
}

TEST(MachoHeader, EveryCheckGivesItsReason) {
  for (const HeaderCase& c : HeaderCases()) {
    const char* reason = CheckReason(c.image);
    if (c.reason == nullptr) {
      EXPECT_EQ(nullptr, reason) << c.label << ": " << (reason ? reason : "");
    } else {
      ASSERT_NE(nullptr, reason) << c.label << " was accepted";
      EXPECT_STREQ(c.reason, reason) << c.label;
    }
    // Detection agrees, and a rejected image is never disassembled.
    DisassembledProgram* program = nullptr;
    const PatchStatus status = DisassembleExecutable(c.image.data(), c.image.size(), &program);
    EXPECT_EQ(c.reason == nullptr ? C_OK : C_INPUT_NOT_RECOGNIZED, status) << c.label;
    FreeDisassembledProgram(program);
  }
}

TEST(MachoHeader, ReasonBeforeCheckIsUninitialized) {
  const std::string image = Simple64().Build(0x2000);
  DisassemblerMacho d(image.data(), image.size());
  EXPECT_STREQ("uninitialized", d.failure_reason());
  DisassembledProgram program(EXE_MACHO_X64);
  EXPECT_FALSE(d.BuildProgram(&program));
  EXPECT_EQ(0u, program.instruction_count());
}

TEST(MachoHeader, ZeroPageOf64BitFileIsSkipped) {
  const std::string image = Simple64().Build(0x2000);
  DisassemblerMacho d(image.data(), image.size());
  ASSERT_TRUE(d.CheckHeader());
  EXPECT_EQ(EXE_MACHO_X64, d.GetKind());
  ASSERT_EQ(1u, d.segments().size());
  EXPECT_EQ(0u, d.segments()[0].address);
  ASSERT_EQ(1u, d.code_sections().size());
  EXPECT_EQ(0x1000u, d.code_sections()[0].address);
  EXPECT_EQ(0x2000u, d.length());
  LogCapture log;
  EXPECT_EQ(0x1000, d.RVAToFileOffset(0x1000));
  EXPECT_EQ(image.data() + 0x1000, reinterpret_cast<const char*>(d.RVAToPointer(0x1000)));
  EXPECT_EQ(-1, d.RVAToFileOffset(0x2800));  // inside vm range, past file data
  EXPECT_EQ(nullptr, d.RVAToPointer(0x2800));
  EXPECT_TRUE(log.lines().empty());
  EXPECT_EQ(-1, d.RVAToFileOffset(0x5000));  // in no segment
  ASSERT_EQ(1u, log.lines().size());
  EXPECT_EQ("RVAToFileOffset reached invalid point", log.lines()[0].message);
  EXPECT_EQ(2, log.lines()[0].level);
  ASSERT_NE(nullptr, d.CodeSectionAtOrAfter(0x800));
  EXPECT_EQ(0x1000u, d.CodeSectionAtOrAfter(0x800)->file_offset);
  EXPECT_EQ(nullptr, d.CodeSectionAtOrAfter(0x1001));
  EXPECT_EQ(&d.segments()[0], d.SegmentAtFileOffset(0x1FFF));
  EXPECT_EQ(nullptr, d.SegmentAtFileOffset(0x2000));
  EXPECT_TRUE(d.IsRVAInSegment(0x2FFF));
  EXPECT_FALSE(d.IsRVAInSegment(0x3000));
}

TEST(MachoHeader, ZeroPageOf32BitFileIsKept) {
  MachOImageBuilder b(false);
  MachOSegment zero;
  zero.vm_size = 0x1000;
  b.AddSegment(zero);
  MachOSegment text;
  text.address = 0x1000;
  text.vm_size = 0x1000;
  text.file_size = 0x400;
  MachOSection code;
  code.address = 0x1200;
  code.size = 0x10;
  code.offset = 0x200;
  text.sections.push_back(code);
  b.AddSegment(text);
  const std::string image = b.Build(0x600);
  DisassemblerMacho d(image.data(), image.size());
  ASSERT_TRUE(d.CheckHeader());
  EXPECT_EQ(EXE_MACHO_X86, d.GetKind());
  ASSERT_EQ(2u, d.segments().size());
  EXPECT_EQ(0x1000u, d.segments()[1].address);  // rebase subtracted 0
  EXPECT_EQ(0x1200u, d.code_sections()[0].address);
  EXPECT_EQ(0x400u, d.length());  // trailing bytes are not part of it
}

// --- Rel32 scan -------------------------------------------------------------------

namespace {

// An image whose single code section (file offset 0x1000, RVA 0x1000,
// segment RVAs [0, 0x3000)) holds `code`.
std::string ImageWithCode(bool is64, const std::string& code) {
  MachOImageBuilder b(is64);
  MachOSegment text;
  text.address = 0;
  text.vm_size = 0x3000;
  text.file_size = 0x2000;
  MachOSection section;
  section.address = 0x1000;
  section.size = code.size();
  section.offset = 0x1000;
  text.sections.push_back(section);
  b.AddSegment(text);
  std::string image = b.Build(0x2000);
  image.replace(0x1000, code.size(), code);
  return image;
}

std::map<uint64_t, uint32_t> Rel32Of(const std::string& image) {
  DisassembledProgram* raw = nullptr;
  EXPECT_EQ(C_OK, DisassembleExecutable(image.data(), image.size(), &raw));
  if (raw == nullptr) return {};
  std::unique_ptr<DisassembledProgram> program(raw);
  return LayoutOf(*program).rel32;
}

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}

}  // namespace

struct ScanCase {
  const char* label;
  bool is64;
  std::string code;
  std::map<uint64_t, uint32_t> expected;  // file offset -> target RVA
};

TEST(MachoScan, PatternsAndTargets) {
  const std::vector<ScanCase> cases = {
      // call +0x10: operand at 0x1001, target 0x1005 + 0x10.
      {"call", true, Bytes({0xE8, 0x10, 0, 0, 0, 0x90}), {{0x1001, 0x1015}}},
      {"jmp_back", false, Bytes({0xE9, 0xFB, 0xFF, 0xFF, 0xFF}), {{0x1001, 0x1000}}},
      {"jcc", false, Bytes({0x0F, 0x84, 0x00, 0x01, 0, 0}), {{0x1002, 0x1106}}},
      {"jp_excluded", true, Bytes({0x0F, 0x8A, 0x00, 0x01, 0, 0}), {}},
      {"jnp_excluded", true, Bytes({0x0F, 0x8B, 0x00, 0x01, 0, 0}), {}},
      {"ff15_64", true, Bytes({0xFF, 0x15, 0x00, 0x02, 0, 0}), {{0x1002, 0x1206}}},
      {"ff25_32_ignored", false, Bytes({0xFF, 0x25, 0x00, 0x02, 0, 0}), {}},
      {"lea_rip_64", true, Bytes({0x48, 0x8D, 0x05, 0x00, 0x01, 0, 0}), {{0x1003, 0x1107}}},
      {"mov_rip_64", true, Bytes({0x49, 0x8B, 0x3D, 0x00, 0x01, 0, 0}), {{0x1003, 0x1107}}},
      {"mov_rip_32_ignored", false, Bytes({0x48, 0x8B, 0x05, 0x00, 0x01, 0, 0}), {}},
      {"mov_not_rip", true, Bytes({0x48, 0x8B, 0x45, 0x00, 0x01, 0, 0}), {}},
      // Target outside every segment: plain bytes, the scan goes on at the
      // next byte and finds the call hidden in the operand.
      {"outside_then_inner", true,
       Bytes({0xE8, 0xE8, 0x00, 0xF0, 0xFF, 0xFF, 0x90}), {{0x1002, 0x6}}},
      // A call too close to the section end (fewer than 5 bytes) is not taken.
      {"short_tail", true, Bytes({0x90, 0xE8, 0x00, 0x00, 0x00}), {}},
      // After a taken operand the scan resumes behind it.
      {"resume_after", true,
       Bytes({0xE8, 0xE8, 0x00, 0x00, 0x00, 0xE8, 0x00, 0x00, 0x00, 0x00}),
       {{0x1001, 0x10ED}, {0x1006, 0x100A}}},
  };
  for (const ScanCase& c : cases) {
    EXPECT_EQ(c.expected, Rel32Of(ImageWithCode(c.is64, c.code))) << c.label;
  }
}

TEST(MachoScan, TwoReferencesShareOneLabel) {
  const std::string code = Bytes({0xE8, 0x05, 0, 0, 0, 0xE8, 0x00, 0, 0, 0, 0x90});
  const std::string image = ImageWithCode(true, code);
  DisassembledProgram* raw = nullptr;
  ASSERT_EQ(C_OK, DisassembleExecutable(image.data(), image.size(), &raw));
  std::unique_ptr<DisassembledProgram> program(raw);
  ASSERT_EQ(1u, program->rel32_labels().size());
  EXPECT_EQ(0x100Au, (*program->rel32_labels().begin())->address);
  EXPECT_EQ(2, (*program->rel32_labels().begin())->count);
}

TEST(MachoScan, SyntheticSectionsRoundTrip) {
  // Several sections, one of them empty and one sharing its offset with it,
  // with references between them.
  MachOImageBuilder b(true);
  MachOSegment text;
  text.vm_size = 0x4000;
  text.file_size = 0x3000;
  for (uint32_t offset : {0x1000u, 0x1800u, 0x1800u, 0x2000u}) {
    MachOSection s;
    s.address = offset;
    s.offset = offset;
    s.size = offset == 0x1800u && text.sections.size() == 1 ? 0 : 0x100;
    text.sections.push_back(s);
  }
  b.AddSegment(text);
  std::string image = b.Build(0x3000);
  // Calls from each section into the next one.
  const std::string call1 = Bytes({0xE8, 0xFB, 0x07, 0, 0});      // 0x1005 + 0x7FB = 0x1800
  const std::string call2 = Bytes({0xE8, 0xFB, 0x07, 0, 0});      // 0x1805 + 0x7FB = 0x2000
  const std::string call3 = Bytes({0xE8, 0xF6, 0xEF, 0xFF, 0xFF});  // 0x2005 - 0x100A
  image.replace(0x1000, call1.size(), call1);
  image.replace(0x1800, call2.size(), call2);
  image.replace(0x2000, call3.size(), call3);
  const auto rel32 = Rel32Of(image);
  EXPECT_EQ(3u, rel32.size());
  EXPECT_EQ(0x1800u, rel32.at(0x1001));
  EXPECT_EQ(0x2000u, rel32.at(0x1801));
  EXPECT_EQ(0x2005u - 0x100Au, rel32.at(0x2001));

  std::string rebuilt;
  ASSERT_EQ(C_OK, RoundTrip(image, &rebuilt));
  EXPECT_TRUE(rebuilt == image);
}

namespace {

// The stored encoded program of an input disassembled in place.
std::string StoredProgramOf(const uint8_t* data, size_t length, bool rereadable) {
  DisassembledProgram* program = nullptr;
  if (DisassembleExecutable(data, length, &program, rereadable) != C_OK) return std::string();
  EncodedProgram* encoded = nullptr;
  PatchStatus status = TrimLabels(program);
  if (status == C_OK) status = EncodeReleasing(program, &encoded);
  FreeDisassembledProgram(program);
  if (status != C_OK) return std::string();
  StreamBundleWriter set;
  status = StoreEncodedProgram(encoded, &set);
  FreeEncodedProgram(encoded);
  ByteWriter flat;
  if (status != C_OK || !set.SerializeTo(&flat)) return std::string();
  return std::string(reinterpret_cast<const char*>(flat.Buffer()), flat.Length());
}

}  // namespace

TEST(MachoScan, InputGoesBackBehindTheWalksOnlyWhereItCanBeReadAgain) {
  // A code section of several MiB full of calls, so that both walks pass
  // many steps of handing back.
  const uint32_t size = 6u << 20;
  MachOImageBuilder b(true);
  MachOSegment text;
  text.vm_size = size + 0x1000;
  text.file_size = size + 0x1000;
  MachOSection section;
  section.address = 0x1000;
  section.offset = 0x1000;
  section.size = size;
  text.sections.push_back(section);
  b.AddSegment(text);
  std::string image = b.Build(size + 0x1000);
  std::mt19937 rng(5);
  for (uint32_t at = 0x1000; at + 5 <= 0x1000 + size; at += 5 + rng() % 11) {
    const uint32_t rel = 0x1000 + rng() % size - (at + 5);
    image[at] = '\xE8';
    std::memcpy(&image[at + 1], &rel, 4);
  }
  const std::string expected = StoredProgramOf(
      reinterpret_cast<const uint8_t*>(image.data()), image.size(), false);
  ASSERT_FALSE(expected.empty());

  // Heap memory is not rereadable: it is left as it was.
  std::vector<uint8_t> heap(image.begin(), image.end());
  EXPECT_EQ(expected, StoredProgramOf(heap.data(), heap.size(), false));
  EXPECT_EQ(0, std::memcmp(heap.data(), image.data(), image.size()));

  // A read-only file mapping reads the same after its pages went back.
  const int fd = memfd_create("macho", 0);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(static_cast<ssize_t>(image.size()), write(fd, image.data(), image.size()));
  void* mapped = mmap(nullptr, image.size(), PROT_READ, MAP_PRIVATE, fd, 0);
  close(fd);
  ASSERT_NE(MAP_FAILED, mapped);
  EXPECT_EQ(expected, StoredProgramOf(static_cast<const uint8_t*>(mapped), image.size(), true));
  munmap(mapped, image.size());
}

TEST(MachoScan, WalkStopsAtTheDetectedLength) {
  // Segment file data [0, 0x1000); a code section [0x800, 0x1000) ends exactly
  // there, and an empty code section sits at 0x1000: the walk is over before
  // it, so it gets no origin.
  {
    MachOImageBuilder b(true);
    MachOSegment text;
    text.vm_size = 0x2000;
    text.file_size = 0x1000;
    for (uint64_t size : {0x800u, 0u}) {
      MachOSection s;
      s.address = s.offset = static_cast<uint32_t>(0x800 + (size == 0 ? 0x800 : 0));
      s.size = size;
      text.sections.push_back(s);
    }
    b.AddSegment(text);
    const std::string image = b.Build(0x1000);
    DisassembledProgram* raw = nullptr;
    ASSERT_EQ(C_OK, DisassembleExecutable(image.data(), image.size(), &raw));
    std::unique_ptr<DisassembledProgram> program(raw);
    EXPECT_EQ(std::vector<uint32_t>{0x800}, LayoutOf(*program).origins);
  }
  // A code section that runs past the segment's file data, but not past the
  // input, is taken whole although the detected length ends before it.
  {
    MachOImageBuilder b(true);
    MachOSegment text;
    text.vm_size = 0x2000;
    text.file_size = 0x1000;
    MachOSection s;
    s.address = s.offset = 0xF00;
    s.size = 0x200;
    text.sections.push_back(s);
    b.AddSegment(text);
    std::string image = b.Build(0x1400);
    const std::string call = Bytes({0xE8, 0x00, 0, 0, 0});  // at 0x1000: target 0x1005
    image.replace(0x1000, call.size(), call);
    DisassemblerMacho d(image.data(), image.size());
    ASSERT_TRUE(d.CheckHeader()) << d.failure_reason();
    EXPECT_EQ(0x1000u, d.length());
    EXPECT_EQ((std::map<uint64_t, uint32_t>{{0x1001, 0x1005}}), Rel32Of(image));
    std::string rebuilt;
    ASSERT_EQ(C_OK, RoundTrip(image, &rebuilt));
    EXPECT_TRUE(rebuilt == image.substr(0, 0x1100));
  }
}

TEST(MachoScan, ManySegmentsAndSectionsStayLinear) {
  // Tens of thousands of segments and code sections, and a code section in
  // which every byte starts a call whose target lies in no segment: each
  // lookup must not walk all segments (that takes minutes, past the
  // test's time limit).
  MachOImageBuilder b(false);
  MachOSegment text;
  text.vm_size = 0xC00000;
  text.file_size = 0xC00000;
  MachOSection calls;
  calls.address = calls.offset = 0x600000;
  calls.size = 0x400000;
  text.sections.push_back(calls);
  // Many small code sections, each on its own segment's file data.
  const uint32_t kSmall = 20000;
  for (uint32_t i = 0; i < kSmall; ++i) {
    MachOSection s;
    s.address = s.offset = 0xA00000 + 16 * i;
    s.size = 16;
    text.sections.push_back(s);
  }
  b.AddSegment(text);
  for (uint32_t i = 0; i < 80000; ++i) {
    MachOSegment far;
    far.address = 0x10000000u + 0x100u * i;
    far.vm_size = 0x10;
    far.file_offset = 0xA00000 + 16 * (i % kSmall);
    far.file_size = 16;
    b.AddSegment(far);
  }
  std::string image = b.Build(0xC00000);
  ASSERT_LE(b.CommandsEnd(), 0x600000u);
  std::memset(&image[0x600000], 0xE8, 0x400000);
  DisassembledProgram* raw = nullptr;
  ASSERT_EQ(C_OK, DisassembleExecutable(image.data(), image.size(), &raw));
  std::unique_ptr<DisassembledProgram> program(raw);
  const ProgramLayout layout = LayoutOf(*program);
  EXPECT_TRUE(layout.rel32.empty());
  EXPECT_EQ(1u + kSmall, layout.origins.size());
  // Each small section starts at its offset through the text segment, the
  // first in load-command order that holds it.
  EXPECT_EQ(0xA00000u + 16 * (kSmall - 1), layout.origins.back());
  EXPECT_EQ(0xC00000u, layout.bytes);
}

TEST(MachoScan, ManyReferencesInSectionsOfEitherAddressOrder) {
  // Two code sections on two segments, the first (by file offset) holding
  // more references than the disassembler keeps in one stretch of its
  // reference list.  The second section lies above the first in memory,
  // or below it: every reference must be found either way.
  const uint32_t kFirstCalls = 300000;
  const uint32_t kSecondCalls = 20000;
  const uint32_t first_offset = 0x1000;
  const uint32_t first_size = 5 * kFirstCalls;
  const uint32_t second_offset = first_offset + first_size;
  const uint32_t second_size = 5 * kSecondCalls;
  const uint32_t total = second_offset + second_size;
  for (bool second_below : {false, true}) {
    // RVAs after rebasing: the lower segment starts at 0.
    const uint32_t first_base = second_below ? 0x10000000u : 0;  // RVA of file offset 0
    const uint32_t second_base = second_below ? 0 : second_offset;
    MachOImageBuilder b(true);
    MachOSegment one;
    one.address = first_base;
    one.vm_size = second_offset;
    one.file_size = second_offset;
    MachOSection a;
    a.address = first_base + first_offset;
    a.offset = first_offset;
    a.size = first_size;
    one.sections.push_back(a);
    b.AddSegment(one);
    MachOSegment two;
    two.address = second_base;
    two.file_offset = second_offset;
    two.vm_size = second_size;
    two.file_size = second_size;
    MachOSection c;
    c.address = second_base;
    c.offset = second_offset;
    c.size = second_size;
    two.sections.push_back(c);
    b.AddSegment(two);
    std::string image = b.Build(total);
    ASSERT_LE(b.CommandsEnd(), first_offset);

    // A call every 5 bytes, each to a random place in either segment.
    std::mt19937 rng(second_below ? 2 : 1);
    std::map<uint64_t, uint32_t> expected;  // operand file offset -> target
    for (uint32_t at = first_offset; at < total; at += 5) {
      const uint32_t operand_rva = at < second_offset ? first_base + at + 1
                                                      : second_base + (at - second_offset) + 1;
      const uint32_t target = rng() % 2 == 0 ? first_base + first_offset + rng() % first_size
                                             : second_base + rng() % second_size;
      image[at] = static_cast<char>(0xE8);
      Poke32(&image, at + 1, target - (operand_rva + 4));
      expected[at + 1] = target;
    }

    DisassembledProgram* raw = nullptr;
    ASSERT_EQ(C_OK, DisassembleExecutable(image.data(), image.size(), &raw)) << second_below;
    std::unique_ptr<DisassembledProgram> program(raw);
    const ProgramLayout layout = LayoutOf(*program);
    EXPECT_EQ(total, layout.bytes) << second_below;
    EXPECT_EQ((std::vector<uint32_t>{first_base + first_offset, second_base}), layout.origins)
        << second_below;
    ASSERT_EQ(expected.size(), layout.rel32.size()) << second_below;
    EXPECT_TRUE(expected == layout.rel32) << second_below;
  }
}

TEST(MachoScan, SectionsSharingAddressesTakeOnlyTheirOwnReferences) {
  // A section whose file data lies in no segment starts at address 0, so
  // its addresses can be those of another section.  Section A (file 0x800,
  // address 0x800) and section B (file 0x1800, address 0) share 0x800..0x900.
  // B holds a call at 0x810 (operand at 0x811, target 0x100); in A the bytes
  // at that address give the target 0xFFFFFFFF, which lies in no segment
  // (and is what the encoded program keeps for unassigned address slots).
  // Each section must be emitted with its own references only.
  MachOImageBuilder b(true);
  MachOSegment text;
  text.vm_size = 0x3000;
  text.file_size = 0x1000;
  for (uint32_t offset : {0x800u, 0x1800u}) {
    MachOSection s;
    s.address = 0x800;
    s.offset = offset;
    s.size = offset == 0x800u ? 0x100 : 0x900;
    text.sections.push_back(s);
  }
  b.AddSegment(text);
  std::string image = b.Build(0x3000);
  auto put32 = [&](size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) image[at + i] = static_cast<char>(value >> (8 * i));
  };
  image[0x1800 + 0x810] = static_cast<char>(0xE8);
  put32(0x1800 + 0x811, 0x100u - 0x815u);
  image[0x810] = static_cast<char>(0x90);
  put32(0x811, 0xFFFFFFFFu - 0x815u);
  std::string rebuilt;
  ASSERT_EQ(C_OK, RoundTrip(image, &rebuilt));
  ASSERT_GE(rebuilt.size(), 0x2100u);
  EXPECT_TRUE(rebuilt == image.substr(0, rebuilt.size()));
  DisassembledProgram* raw = nullptr;
  ASSERT_EQ(C_OK, DisassembleExecutable(image.data(), image.size(), &raw));
  std::unique_ptr<DisassembledProgram> program(raw);
  ASSERT_EQ(1u, program->rel32_labels().size());
  EXPECT_EQ(0x100u, (*program->rel32_labels().begin())->address);
}

TEST(MachoScan, OverlappingSectionsAreScannedOnce) {
  // One 1 MiB stretch of calls claimed by many code sections: the same
  // range again and again, and ranges that start inside each other.  The
  // program must be that of the one stretch, and taking it apart must cost
  // what one section costs, not what every section would.
  const uint32_t kSize = 1u << 20, kSections = 1000;
  const ProgramLayout single = [&] {
    const std::string image = OverlappingSectionsImage(1, 0, kSize);
    DisassembledProgram* raw = nullptr;
    EXPECT_EQ(C_OK, DisassembleExecutable(image.data(), image.size(), &raw));
    std::unique_ptr<DisassembledProgram> program(raw);
    return raw != nullptr ? LayoutOf(*program) : ProgramLayout();
  }();
  ASSERT_EQ(kSize / 5, single.rel32.size());
  struct Case {
    const char* label;
    uint32_t step;  // how far each section starts behind the one before
  };
  for (const Case& c : {Case{"same range", 0}, Case{"nested ranges", 5}}) {
    SCOPED_TRACE(c.label);
    const std::string image = OverlappingSectionsImage(kSections, c.step, kSize);
    DisassembledProgram* raw = nullptr;
    ASSERT_EQ(C_OK, DisassembleExecutable(image.data(), image.size(), &raw));
    std::unique_ptr<DisassembledProgram> program(raw);
    const ProgramLayout layout = LayoutOf(*program);
    // The same calls, found once each, at the same places behind the code's
    // start (the load commands before it take more room here).
    const uint64_t shift = layout.bytes - single.bytes;
    ASSERT_EQ(single.rel32.size(), layout.rel32.size());
    auto expected = single.rel32.begin();
    for (const auto& found : layout.rel32) {
      EXPECT_EQ(expected->first + shift, found.first);
      EXPECT_EQ(expected->second + shift, found.second);
      ++expected;
    }
    program.reset();
    const ChildOutcome child = RunInChild([&] {
      DisassembledProgram* p = nullptr;
      const int status = DisassembleExecutable(image.data(), image.size(), &p);
      delete p;
      return status;
    });
    ASSERT_TRUE(child.finished);
    EXPECT_EQ(C_OK, child.result);
    EXPECT_LT(child.peak_growth_kib, 64 * 1024);
  }
}
