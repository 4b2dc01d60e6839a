// The pipeline every disassembler fuzz target drives: detect, disassemble,
// trim, encode, store, load and rebuild.  Once a range is disassembled every
// later step must succeed, whatever its format; a failure aborts so that the
// fuzzer reports it.  What each format promises beyond that is checked by its
// own target, and only for inputs detected as that format: any corpus of
// executables can seed any target.

#ifndef VOXPATCH_FUZZ_DISASSEMBLYROUNDTRIP_H
#define VOXPATCH_FUZZ_DISASSEMBLYROUNDTRIP_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "bytewriter.h"
#include "disassembledprogram.h"
#include "encodedprogram.h"
#include "executableparser.h"
#include "streambundlereader.h"
#include "streambundlewriter.h"

namespace voxpatch_fuzz {

struct RoundTripResult {
  bool recognised = false;
  bool disassembled = false;     // the disassembly succeeded (then every later step did)
  voxpatch::ExecutableKind kind = voxpatch::EXE_UNKNOWN;
  size_t length = 0;             // detected length
  bool has_reloc_table = false;  // the program regenerates a relocation table
};

inline bool IsPe(voxpatch::ExecutableKind kind) {
  return kind == voxpatch::EXE_WIN_32_X86 || kind == voxpatch::EXE_WIN_32_X64;
}

inline bool IsElf(voxpatch::ExecutableKind kind) {
  return kind == voxpatch::EXE_ELF_32_X86 || kind == voxpatch::EXE_ELF_32_ARM ||
         kind == voxpatch::EXE_ELF_64_X64;
}

inline bool IsMacho(voxpatch::ExecutableKind kind) {
  return kind == voxpatch::EXE_MACHO_X86 || kind == voxpatch::EXE_MACHO_X64;
}

inline RoundTripResult RoundTrip(const uint8_t* data, size_t size, voxpatch::ByteWriter* rebuilt) {
  using namespace voxpatch;
  RoundTripResult result;
  if (IdentifyExecutable(data, size, &result.kind, &result.length) != C_OK) return result;
  result.recognised = true;
  if (result.length > size) std::abort();

  DisassembledProgram* program = nullptr;
  if (DisassembleExecutable(data, size, &program) != C_OK) return result;
  result.disassembled = true;
  if (program->kind() != result.kind) std::abort();
  for (size_t i = 0; i < program->instruction_count(); ++i) {
    const uint32_t kind = program->instruction(i)->kind();
    if (kind == INSN_PE_RELOC_TABLE || kind == INSN_ELF_RELOC_TABLE ||
        kind == INSN_ELF_ARM_RELOC_TABLE)
      result.has_reloc_table = true;
  }
  if (TrimLabels(program) != C_OK) std::abort();
  EncodedProgram* encoded = nullptr;
  if (Encode(program, &encoded) != C_OK) std::abort();
  FreeDisassembledProgram(program);

  StreamBundleWriter set;
  if (StoreEncodedProgram(encoded, &set) != C_OK) std::abort();
  FreeEncodedProgram(encoded);
  ByteWriter flat;
  if (!set.SerializeTo(&flat)) std::abort();
  StreamBundleReader reader;
  if (!reader.Parse(flat.Buffer(), flat.Length())) std::abort();
  EncodedProgram* loaded = nullptr;
  if (LoadEncodedProgram(&reader, &loaded) != C_OK) std::abort();
  if (RebuildExecutable(loaded, rebuilt) != C_OK) std::abort();
  FreeEncodedProgram(loaded);
  return result;
}

}  // namespace voxpatch_fuzz

#endif  // VOXPATCH_FUZZ_DISASSEMBLYROUNDTRIP_H
