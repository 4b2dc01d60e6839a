#include "executableparser.h"

#include <new>

#include "disassembledprogram.h"
#include "disassembler.h"
#include "disassembler_macho.h"

namespace voxpatch {

namespace {

// Candidates in the order they are tried.  The PE and ELF disassemblers
// come before the Mach-O one when they are present.
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
  return Try<DisassemblerMacho>(start, length);
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
                                  DisassembledProgram** program) {
  *program = nullptr;
  Disassembler* disassembler = FindDisassembler(start, length);
  if (disassembler == nullptr) return C_INPUT_NOT_RECOGNIZED;

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
