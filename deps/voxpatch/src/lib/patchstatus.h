// The integer result of the patch engine's apply path.

#ifndef VOXPATCH_PATCHSTATUS_H
#define VOXPATCH_PATCHSTATUS_H

namespace voxpatch {

typedef int PatchStatus;

enum : int {
  C_OK = 1,                        // success
  C_GENERAL_ERROR = 2,             // a correction or an encoding failed
  C_PATCH_NOT_OPENED = 3,          // patch file cannot be opened or mapped
  C_OLD_FILE_ERROR = 4,            // old file not opened, or new file not written whole
  C_BAD_ENSEMBLE_MAGIC = 5,
  C_BAD_ENSEMBLE_VERSION = 6,
  C_BAD_ENSEMBLE_HEADER = 7,
  C_CRC_MISMATCH = 8,
  C_BAD_TRANSFORM = 12,
  C_STREAM_ERROR = 20,
  C_STREAM_NOT_CONSUMED = 21,
  C_DESERIALIZATION_FAILED = 23,   // an encoded program could not be read back
  C_INPUT_NOT_RECOGNIZED = 24,
  C_DISASSEMBLY_FAILED = 25,
  C_ASSEMBLY_FAILED = 26,
  C_TRIM_FAILED = 28,
};

}  // namespace voxpatch

#endif  // VOXPATCH_PATCHSTATUS_H
