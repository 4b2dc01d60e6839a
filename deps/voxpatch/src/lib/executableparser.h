// Detection of executables and their disassembly: every known disassembler
// is tried in a fixed order and the first whose header check succeeds is
// used.

#ifndef VOXPATCH_EXECUTABLEPARSER_H
#define VOXPATCH_EXECUTABLEPARSER_H

#include <cstddef>
#include <cstdint>

#include "executablekind.h"
#include "patchstatus.h"

namespace voxpatch {

class Disassembler;
class DisassembledProgram;

// A new disassembler (owned by the caller) whose header check succeeded, or
// null when none accepts the range.
Disassembler* FindDisassembler(const void* start, size_t length);

// 1 with the kind and the detected length, or 24 with kind 0 and length 0.
PatchStatus IdentifyExecutable(const void* start, size_t length,
                               ExecutableKind* kind, size_t* detected_length);

// 1 with a new program owned by the caller, 24 when nothing recognises the
// range, 25 when the disassembly fails.  The program points into the range,
// which must outlive it.  A rereadable range (a read-only file mapping) has
// its pages handed back behind the disassembly's walks.  program_limit: see
// Disassembler::SetProgramLimit.
PatchStatus DisassembleExecutable(const void* start, size_t length,
                                  DisassembledProgram** program, bool rereadable = false,
                                  uint64_t program_limit = UINT64_MAX);

void FreeDisassembledProgram(DisassembledProgram* program);

}  // namespace voxpatch

#endif  // VOXPATCH_EXECUTABLEPARSER_H
