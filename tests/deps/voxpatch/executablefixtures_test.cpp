// Every PE and ELF fixture is recognised, really disassembled (absolute
// references as many as the binary tools count, the relocation-table
// instruction where expected, relative references) and rebuilt exactly: to
// its own bytes, or, with a section table out of file order, to the bytes
// the file walk emits.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "peelftesthelpers.h"

using namespace voxpatch;
using namespace voxpatch_test;

class ExecutableFixtureTest : public ::testing::TestWithParam<PeElfFixture> {};

TEST_P(ExecutableFixtureTest, IsReallyDisassembledAndRoundTrips) {
  const PeElfFixture& f = GetParam();
  const std::string image = ReadFixture(f.name);
  ASSERT_FALSE(image.empty());

  ExecutableKind kind = EXE_UNKNOWN;
  size_t length = 0;
  ASSERT_EQ(C_OK, IdentifyExecutable(image.data(), image.size(), &kind, &length));
  EXPECT_EQ(f.kind, kind);
  // Symbols that mingw leaves after the last section are not part of it.
  if (f.name.find("mingw_exe_v") != std::string::npos) {
    EXPECT_LT(length, image.size());
  } else {
    EXPECT_EQ(image.size(), length);
  }

  auto program = Disassemble(image);
  ASSERT_NE(nullptr, program);
  const ProgramCounts counts = CountsOf(*program);
  EXPECT_EQ(f.abs32, counts.abs32);
  EXPECT_EQ(f.op != 0 ? 1u : 0u, counts.reloc_tables);
  if (kind == EXE_ELF_32_ARM) {
    EXPECT_GE(counts.arm, 10u);
    EXPECT_EQ(0u, counts.rel32);
  } else if (f.name.find("_debug_") != std::string::npos) {
    // A separate debug file's code sections are NOBITS.
    EXPECT_EQ(0u, counts.rel32);
  } else {
    EXPECT_GE(counts.rel32, 10u);
  }
  if (f.op != 0) {
    const std::vector<uint32_t> ops = EncodedOps(program.get());
    EXPECT_EQ(1, std::count(ops.begin(), ops.end(), f.op));
  }

  const std::map<std::string, std::string> walks = ElfWalkBytes();
  const auto walk = walks.find(f.name);
  const std::string expected = walk != walks.end() ? walk->second : image.substr(0, length);
  std::string rebuilt;
  ASSERT_EQ(C_OK, RoundTrip(image, &rebuilt));
  ASSERT_EQ(expected.size(), rebuilt.size());
  EXPECT_TRUE(rebuilt == expected);
}

TEST(ExecutableFixtures, ShuffledSectionTablesAreWalkedAsListed) {
  // Every shuffled fixture and separate debug file is one of the list
  // above, and its walk goes back over bytes (it is longer than the file);
  // the debug files' walks more than four times.
  const std::map<std::string, std::string> walks = ElfWalkBytes();
  size_t shuffled = 0, debug = 0;
  for (const PeElfFixture& f : PeElfFixtures({"elf", "arm"})) {
    const bool is_debug = f.name.find("_debug_") != std::string::npos;
    if (f.name.find("_shuffled_") == std::string::npos && !is_debug) continue;
    ++(is_debug ? debug : shuffled);
    ASSERT_EQ(1u, walks.count(f.name)) << f.name;
    const size_t length = ReadFixture(f.name).size();
    EXPECT_GT(walks.at(f.name).size(), (is_debug ? 4 : 1) * length) << f.name;
  }
  EXPECT_EQ(6u, shuffled);
  EXPECT_EQ(4u, debug);
}

TEST(ExecutableFixtures, AbsoluteLocationBehindTheWalkFailsTheDisassembly) {
  // .got, holding absolute addresses, is listed after .data.
  for (const char* name : {"elf32_lld_pie_passover_v1", "arm_lld_pie_passover_v1"}) {
    const std::string image = ReadFixture(name);
    ASSERT_FALSE(image.empty()) << name;
    ExecutableKind kind = EXE_UNKNOWN;
    size_t length = 0;
    EXPECT_EQ(C_OK, IdentifyExecutable(image.data(), image.size(), &kind, &length)) << name;
    DisassembledProgram* program = nullptr;
    EXPECT_EQ(C_DISASSEMBLY_FAILED, DisassembleExecutable(image.data(), image.size(), &program))
        << name;
    EXPECT_EQ(nullptr, program) << name;
  }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, ExecutableFixtureTest,
                         ::testing::ValuesIn(PeElfFixtures({"pe", "elf", "arm"})),
                         [](const ::testing::TestParamInfo<PeElfFixture>& info) {
                           return info.param.name;
                         });
