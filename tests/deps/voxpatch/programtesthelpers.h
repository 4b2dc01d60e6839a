// Helpers shared by the executable-related tests of the patch engine:
// fixture files, the rel32 operands recorded with them, and inspection of
// disassembled programs.

#ifndef VOXPATCH_TESTS_PROGRAMTESTHELPERS_H
#define VOXPATCH_TESTS_PROGRAMTESTHELPERS_H

#include <cstdint>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "bytewriter.h"
#include "disassembledprogram.h"
#include "encodedprogram.h"
#include "executableparser.h"
#include "patchstatus.h"
#include "streambundlereader.h"
#include "streambundlewriter.h"

namespace voxpatch_test {

// The op list and a table of an encoded program, as plain vectors.
inline std::vector<uint32_t> Ops(const voxpatch::EncodedProgram& p) {
  return std::vector<uint32_t>(p.ops().begin(), p.ops().end());
}

template <typename T>
std::vector<uint32_t> Table(const voxpatch::GrowableArray<T>& t) {
  return std::vector<uint32_t>(t.begin(), t.end());
}

inline std::string FixturePath(const std::string& name) {
  return std::string(VX_FIXTURE_DIR) + "/" + name;
}

inline std::string ReadFixture(const std::string& name) {
  std::ifstream in(FixturePath(name), std::ios::binary);
  std::ostringstream data;
  data << in.rdbuf();
  return data.str();
}

struct FixtureRefs {
  size_t count = 0;
  uint64_t length = 0;
  std::map<uint64_t, uint32_t> targets;  // operand file offset -> target RVA
};

// The rel32 operands llvm-objdump showed when the fixtures were made.
inline std::map<std::string, FixtureRefs> LoadFixtureRefs() {
  std::map<std::string, FixtureRefs> result;
  std::ifstream in(FixturePath("rel32_refs.txt"));
  std::string line;
  FixtureRefs* current = nullptr;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    if (!line.empty() && line[0] != ' ') {
      std::string name;
      FixtureRefs refs;
      fields >> name >> refs.count >> refs.length;
      current = &(result[name] = refs);
    } else if (current != nullptr) {
      uint64_t offset = 0;
      uint32_t target = 0;
      if (fields >> offset >> target) current->targets[offset] = target;
    }
  }
  return result;
}

// Walks a program's instructions in file order: the rel32 references by the
// file offset of their operand, with the target address of their label.
struct ProgramLayout {
  uint64_t bytes = 0;                      // bytes covered by the instructions
  std::map<uint64_t, uint32_t> rel32;      // operand offset -> label address
  std::vector<uint32_t> origins;
};

inline ProgramLayout LayoutOf(const voxpatch::DisassembledProgram& program) {
  using namespace voxpatch;
  ProgramLayout layout;
  for (size_t i = 0; i < program.instruction_count(); ++i) {
    const Instruction* insn = program.instruction(i);
    switch (insn->kind()) {
      case INSN_START:
        layout.origins.push_back(static_cast<const OriginInstruction*>(insn)->rva());
        break;
      case INSN_BYTE:
        layout.bytes += 1;
        break;
      case INSN_BYTE_RUN:
        layout.bytes += static_cast<const BytesInstruction*>(insn)->length();
        break;
      case INSN_REL32_REF:
        layout.rel32[layout.bytes] =
            DisassembledProgram::InstructionRel32Label(insn)->address;
        layout.bytes += 4;
        break;
      case INSN_ABS32_REF:
        layout.bytes += 4;
        break;
      default:
        break;
    }
  }
  return layout;
}

// Disassemble, trim, encode, store, load and rebuild; returns the status of
// the first failing step and the rebuilt bytes in *out (and, when asked,
// the stored program's set of streams in *stored).
inline voxpatch::PatchStatus RoundTrip(const std::string& input, std::string* out,
                                       size_t* stored_size = nullptr,
                                       std::string* stored = nullptr) {
  using namespace voxpatch;
  DisassembledProgram* program = nullptr;
  PatchStatus status = DisassembleExecutable(input.data(), input.size(), &program);
  if (status != C_OK) return status;
  status = TrimLabels(program);
  EncodedProgram* encoded = nullptr;
  if (status == C_OK) status = EncodeReleasing(program, &encoded);
  FreeDisassembledProgram(program);
  if (status != C_OK) return status;

  StreamBundleWriter sink;
  status = StoreEncodedProgram(encoded, &sink);
  FreeEncodedProgram(encoded);
  if (status != C_OK) return status;
  ByteWriter flat;
  if (!sink.SerializeTo(&flat)) return C_STREAM_ERROR;
  if (stored_size != nullptr) *stored_size = flat.Length();
  if (stored != nullptr)
    stored->assign(reinterpret_cast<const char*>(flat.Buffer()), flat.Length());

  StreamBundleReader source;
  if (!source.Parse(flat.Buffer(), flat.Length())) return C_STREAM_ERROR;
  EncodedProgram* loaded = nullptr;
  status = LoadEncodedProgram(&source, &loaded);
  if (status != C_OK) return status;
  ByteWriter rebuilt;
  status = RebuildExecutable(loaded, &rebuilt);
  FreeEncodedProgram(loaded);
  if (status != C_OK) return status;
  out->assign(reinterpret_cast<const char*>(rebuilt.Buffer()), rebuilt.Length());
  return C_OK;
}

}  // namespace voxpatch_test

#endif  // VOXPATCH_TESTS_PROGRAMTESTHELPERS_H
