#include "executablekind.h"

namespace voxpatch {

const char* ExecutableKindName(int kind) {
  switch (kind) {
    case EXE_WIN_32_X86:
      return "WIN_32_X86";
    case EXE_ELF_32_X86:
      return "EXE_ELF_32_X86";
    case EXE_ELF_32_ARM:
      return "ELF_32_ARM";
    case EXE_WIN_32_X64:
      return "WIN_32_X64";
    case EXE_ELF_64_X64:
      return "ELF_64_X64";
    case EXE_MACHO_X86:
      return "MACHO_X86";
    case EXE_MACHO_X64:
      return "MACHO_X64";
    default:
      return "UNKNOWN";
  }
}

}  // namespace voxpatch
