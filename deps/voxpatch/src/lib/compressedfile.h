// Compressed-file container: magic, checksum of the unpacked file, a
// directive saying how the body turns back into the file, and the body as
// one LZMA2 block.

#ifndef VOXPATCH_COMPRESSEDFILE_H
#define VOXPATCH_COMPRESSEDFILE_H

#include <cstdint>

namespace voxpatch {

constexpr uint32_t kContainerMagic = 132781929;

enum ContainerDirective {
  kDirectivePlain = 1,            // the body is the file itself
  kDirectiveExecutableAware = 2,  // encoded programs plus a diff
};

// Unpacks the container at input_path into output_path.  The output file is
// written only when the whole file was rebuilt and its checksum matches.
bool DecompressLzmaFile(const char* input_path, const char* output_path);

// The same for untrusted containers: fails, without touching output_path,
// as soon as the unpacked file or any buffer grown from the container's
// data would pass a budget derived from max_output_size (a declared size
// above it is refused before anything is decoded).  Without
// allow_executable_aware, a directive-2 container is refused outright.
bool DecompressLzmaFile(const char* input_path, const char* output_path,
                        uint64_t max_output_size, bool allow_executable_aware = true);

// Writes the container for input_path to output_path.
bool CompressLzmaFile(const char* input_path, const char* output_path,
                      bool executable_aware);

}  // namespace voxpatch

using voxpatch::CompressLzmaFile;
using voxpatch::DecompressLzmaFile;

#endif  // VOXPATCH_COMPRESSEDFILE_H
