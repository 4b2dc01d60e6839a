// Disassembles mutated ELF images (i386, x86-64, ARM).  Whatever is
// accepted must survive trim, encode, store, load and rebuild.
#include "disassemblyroundtrip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  voxpatch::ByteWriter rebuilt;
  voxpatch_fuzz::RoundTrip(data, size, &rebuilt);
  return 0;
}
