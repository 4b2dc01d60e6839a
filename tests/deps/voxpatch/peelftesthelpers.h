// Helpers shared by the PE and ELF disassembler tests: the fixture records
// made with the fixtures, and counts of what a disassembly produced.

#ifndef VOXPATCH_TESTS_PEELFTESTHELPERS_H
#define VOXPATCH_TESTS_PEELFTESTHELPERS_H

#include <cstdint>
#include <fstream>

#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "disassembledprogram.h"
#include "encodedprogram.h"
#include "executableparser.h"
#include "programtesthelpers.h"
#include "imagepoke.h"

namespace voxpatch_test {

struct PeElfFixture {
  std::string name;
  int kind = 0;
  size_t abs32 = 0;    // absolute relocations counted by the binary tools
  uint32_t op = 0;     // relocation-table op expected in the encoded program
};

// The fixtures of one family ("pe", "elf" or "arm" name prefixes).
inline std::vector<PeElfFixture> PeElfFixtures(const std::vector<std::string>& prefixes) {
  std::vector<PeElfFixture> result;
  std::ifstream in(FixturePath("pe_elf_fixtures.txt"));
  PeElfFixture f;
  while (in >> f.name >> f.kind >> f.abs32 >> f.op) {
    for (const std::string& prefix : prefixes) {
      if (f.name.compare(0, prefix.size(), prefix) == 0) result.push_back(f);
    }
  }
  return result;
}

// The bytes the file walk emits for the fixtures whose section table is out
// of file order (elf_walks.txt, made with the fixtures from their section
// tables): what their rebuilt programs hold.  Fixtures without a line
// rebuild to their own bytes.
inline std::map<std::string, std::string> ElfWalkBytes() {
  std::map<std::string, std::string> result;
  std::ifstream in(FixturePath("elf_walks.txt"));
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string name, range;
    fields >> name;
    const std::string image = ReadFixture(name);
    std::string& bytes = result[name];
    while (fields >> range) {
      const size_t colon = range.find(':');
      bytes += image.substr(std::stoul(range.substr(0, colon)), std::stoul(range.substr(colon + 1)));
    }
  }
  return result;
}

// What a disassembled program holds.
struct ProgramCounts {
  size_t abs32 = 0;
  size_t rel32 = 0;
  size_t arm = 0;
  size_t reloc_tables = 0;
  std::set<uint32_t> arm_types;  // op selectors 1..5 of the ARM branches
};

inline ProgramCounts CountsOf(const voxpatch::DisassembledProgram& program) {
  using namespace voxpatch;
  ProgramCounts c;
  for (size_t i = 0; i < program.instruction_count(); ++i) {
    const Instruction* insn = program.instruction(i);
    switch (insn->kind()) {
      case INSN_ABS32_REF: ++c.abs32; break;
      case INSN_REL32_REF: ++c.rel32; break;
      case INSN_ARM_REL32_REF:
        ++c.arm;
        c.arm_types.insert(static_cast<const ArmRel32Instruction*>(insn)->compressed_op() >> 12);
        break;
      case INSN_PE_RELOC_TABLE:
      case INSN_ELF_RELOC_TABLE:
      case INSN_ELF_ARM_RELOC_TABLE:
        ++c.reloc_tables;
        break;
      default: break;
    }
  }
  return c;
}

inline std::unique_ptr<voxpatch::DisassembledProgram> Disassemble(const std::string& image) {
  voxpatch::DisassembledProgram* raw = nullptr;
  if (voxpatch::DisassembleExecutable(image.data(), image.size(), &raw) != voxpatch::C_OK)
    return nullptr;
  return std::unique_ptr<voxpatch::DisassembledProgram>(raw);
}

// The ops of a program after trimming and encoding.
inline std::vector<uint32_t> EncodedOps(voxpatch::DisassembledProgram* program) {
  using namespace voxpatch;
  if (TrimLabels(program) != C_OK) return {};
  EncodedProgram* encoded = nullptr;
  if (Encode(program, &encoded) != C_OK) return {};
  std::vector<uint32_t> ops = Ops(*encoded);
  FreeEncodedProgram(encoded);
  return ops;
}

// A header check's outcome: accepted when `expected` is null, else refused
// with that text.
inline void ExpectReason(const char* label, const char* expected, const char* reason) {
  if (expected == nullptr) {
    EXPECT_EQ(nullptr, reason) << label << ": " << (reason ? reason : "");
  } else {
    ASSERT_NE(nullptr, reason) << label << " was accepted";
    EXPECT_STREQ(expected, reason) << label;
  }
}

}  // namespace voxpatch_test

#endif  // VOXPATCH_TESTS_PEELFTESTHELPERS_H
