// Disassembles mutated ELF images (i386, x86-64, ARM).  Whatever is accepted
// must survive trim, encode, store, load and rebuild.  The file walk emits the
// bytes between sections and every code or relocation section whole, moving
// to each section's offset in table order; when no section starts before the
// part already emitted, an i386 or x86-64 program without a regenerated
// relocation table rebuilds to the detected length.  Only the length: branch
// operands are found through the sections but placed through the program
// headers, so an image whose two views disagree rebuilds to other bytes.
// Whatever the order, the walk emits at most sixteen bytes per detected
// byte, and past four only as far as the program limit allows: a walk that
// goes further fails under a limit one byte short of it and succeeds under
// a limit of just its length (separate debug files walk 4 to 7 bytes per
// byte).
#include "disassembler_elf.h"
#include "disassemblyroundtrip.h"

namespace {

uint64_t ReadLittleEndian(const uint8_t* p, int bytes) {
  uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = value << 8 | p[i];
  return value;
}

// True when the walk over the section table never goes back over emitted
// bytes.  The header check has already placed the table inside the input.
bool SectionsInFileOrder(const uint8_t* data, size_t size, bool elf64) {
  const uint64_t table = ReadLittleEndian(data + (elf64 ? 40 : 32), elf64 ? 8 : 4);
  const uint64_t count = ReadLittleEndian(data + (elf64 ? 60 : 48), 2);
  const uint64_t entry = elf64 ? 64 : 40;
  if (table > size || count > (size - table) / entry) std::abort();
  uint64_t cursor = 0;
  for (uint64_t i = 0; i < count; ++i) {
    const uint8_t* header = data + table + i * entry;
    const uint32_t type = static_cast<uint32_t>(ReadLittleEndian(header + 4, 4));
    const uint64_t offset = ReadLittleEndian(header + (elf64 ? 24 : 16), elf64 ? 8 : 4);
    const uint64_t length = ReadLittleEndian(header + (elf64 ? 32 : 20), elf64 ? 8 : 4);
    if (offset < cursor) return false;
    cursor = type == 1 || type == 9 ? offset + length : offset;
  }
  return true;
}

// Whether the disassembly of the input succeeds under the program limit.
bool DisassemblesWithin(const uint8_t* data, size_t size, uint64_t limit) {
  voxpatch::DisassembledProgram* program = nullptr;
  const voxpatch::PatchStatus status =
      voxpatch::DisassembleExecutable(data, size, &program, false, limit);
  voxpatch::FreeDisassembledProgram(program);
  return status == voxpatch::C_OK;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  voxpatch::ByteWriter rebuilt;
  const voxpatch_fuzz::RoundTripResult result = voxpatch_fuzz::RoundTrip(data, size, &rebuilt);
  if (!result.disassembled || result.has_reloc_table ||
      (result.kind != voxpatch::EXE_ELF_32_X86 && result.kind != voxpatch::EXE_ELF_64_X64))
    return 0;
  using Elf = voxpatch::DisassemblerElf32;  // the bounds are the same for both layouts
  const uint64_t length = result.length;
  const uint64_t walked = rebuilt.Length();
  if (walked > Elf::kMaxWalkBytesPerByte * length) std::abort();
  if (walked > Elf::kWalkBytesPerByte * length &&
      (DisassemblesWithin(data, size, walked - 1) || !DisassemblesWithin(data, size, walked)))
    std::abort();
  if (!SectionsInFileOrder(data, size, result.kind == voxpatch::EXE_ELF_64_X64)) return 0;
  if (rebuilt.Length() != result.length) std::abort();
  return 0;
}
