// Executable-aware side (directive 2) of the compressed-file container: the
// executables found in a file travel as encoded programs, and a diff turns
// their re-assembled bytes back into the exact file.

#ifndef VOXPATCH_EXECUTABLECONTAINER_H
#define VOXPATCH_EXECUTABLECONTAINER_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "executablekind.h"

namespace voxpatch {

class ByteReader;
class ByteWriter;

// One executable found in a file (writer only).
struct ContainerElement {
  uint64_t offset;
  uint64_t length;
  ExecutableKind kind;
};

// Reads the encoded program held in one program_source stream, assembles it
// and appends its bytes to programs.  Logs the failing step.
bool AssembleContainerProgram(ByteReader* program_source, ByteWriter* programs);

// The executables of a file: the slices of a fat Mach-O file when every
// slice is usable, else the whole file when it is one executable.  Returns
// false (logged) only on an unexpected detection status; an unrecognised
// file gives an empty list.
bool FindContainerElements(const uint8_t* data, size_t length,
                           std::vector<ContainerElement>* elements);

// Builds a directive-2 container for the file into out.  Returns true when
// out holds a complete container.  false with *fatal clear sends the caller
// to plain compression (out is then empty); *fatal set means the file must
// not be written at all.
bool BuildExecutableContainer(const uint8_t* data, size_t length, uint32_t checksum,
                                   ByteWriter* out, bool* fatal);

}  // namespace voxpatch

#endif  // VOXPATCH_EXECUTABLECONTAINER_H
