// The kinds of executable the patch engine can disassemble.

#ifndef VOXPATCH_EXECUTABLEKIND_H
#define VOXPATCH_EXECUTABLEKIND_H

namespace voxpatch {

enum ExecutableKind : int {
  EXE_UNKNOWN = 0,
  EXE_WIN_32_X86 = 1,
  EXE_ELF_32_X86 = 2,
  EXE_ELF_32_ARM = 3,
  EXE_WIN_32_X64 = 4,
  EXE_ELF_64_X64 = 5,
  EXE_MACHO_X86 = 6,
  EXE_MACHO_X64 = 7,
};

// The name of a kind ("WIN_32_X86", ...); any other value gives "UNKNOWN".
const char* ExecutableKindName(int kind);

}  // namespace voxpatch

#endif  // VOXPATCH_EXECUTABLEKIND_H
