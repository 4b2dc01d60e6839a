// Every PE and ELF fixture is recognised, really disassembled (absolute
// references as many as the binary tools count, the relocation-table
// instruction where expected, relative references) and rebuilt exactly.

#include <gtest/gtest.h>

#include <algorithm>
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
  } else {
    EXPECT_GE(counts.rel32, 10u);
  }
  if (f.op != 0) {
    const std::vector<uint32_t> ops = EncodedOps(program.get());
    EXPECT_EQ(1, std::count(ops.begin(), ops.end(), f.op));
  }

  std::string rebuilt;
  ASSERT_EQ(C_OK, RoundTrip(image, &rebuilt));
  ASSERT_EQ(length, rebuilt.size());
  EXPECT_TRUE(rebuilt == image.substr(0, length));
}

INSTANTIATE_TEST_SUITE_P(Fixtures, ExecutableFixtureTest,
                         ::testing::ValuesIn(PeElfFixtures({"pe", "elf", "arm"})),
                         [](const ::testing::TestParamInfo<PeElfFixture>& info) {
                           return info.param.name;
                         });
