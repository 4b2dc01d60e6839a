#include "executableparser.h"

#include <new>

#include "disassembledprogram.h"
#include "disassembler.h"
#include "disassembler_elf32arm.h"
#include "disassembler_elf32x86.h"
#include "disassembler_elf64x64.h"
#include "disassembler_macho.h"
#include "disassembler_win32.h"

namespace voxpatch {

namespace {

template <typename T>
Disassembler* Try(const void* start, size_t length) {
  Disassembler* candidate = new (std::nothrow) T(start, length);
  if (candidate == nullptr) return nullptr;
  if (candidate->CheckHeader()) return candidate;
  delete candidate;
  return nullptr;
}

}  // namespace

Disassembler* FindDisassembler(const void* start, size_t length) {
  // Candidates in the order they are tried.
  Disassembler* (*const candidates[])(const void*, size_t) = {
      Try<DisassemblerWin32X86>, Try<DisassemblerWin32X64>, Try<DisassemblerElf32X86>,
      Try<DisassemblerElf64X64>,  Try<DisassemblerElf32ARM>,  Try<DisassemblerMacho>};
  for (auto candidate : candidates) {
    Disassembler* found = candidate(start, length);
    if (found != nullptr) return found;
  }
  return nullptr;
}

PatchStatus IdentifyExecutable(const void* start, size_t length,
                               ExecutableKind* kind, size_t* detected_length) {
  *kind = EXE_UNKNOWN;
  *detected_length = 0;
  Disassembler* disassembler = FindDisassembler(start, length);
  if (disassembler == nullptr) return C_INPUT_NOT_RECOGNIZED;
  *kind = disassembler->GetKind();
  *detected_length = static_cast<size_t>(disassembler->length());
  delete disassembler;
  return C_OK;
}

PatchStatus DisassembleExecutable(const void* start, size_t length,
                                  DisassembledProgram** program, bool rereadable,
                                  uint64_t program_limit) {
  *program = nullptr;
  Disassembler* disassembler = FindDisassembler(start, length);
  if (disassembler == nullptr) return C_INPUT_NOT_RECOGNIZED;
  disassembler->SetRereadable(rereadable);
  disassembler->SetProgramLimit(program_limit);

  DisassembledProgram* result =
      new (std::nothrow) DisassembledProgram(disassembler->GetKind());
  if (result == nullptr || !disassembler->BuildProgram(result)) {
    delete result;
    delete disassembler;
    return C_DISASSEMBLY_FAILED;
  }
  delete disassembler;
  *program = result;
  return C_OK;
}

void FreeDisassembledProgram(DisassembledProgram* program) { delete program; }

}  // namespace voxpatch
