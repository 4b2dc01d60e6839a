// Disassembles mutated ELF images (i386, x86-64, ARM).  Whatever is
// accepted must survive trim, encode, store, load and rebuild.  Without a
// regenerated relocation table an i386 or x86-64 program covers every
// detected byte once, so the rebuilt file has the detected length.
#include "disassemblyroundtrip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  voxpatch::ByteWriter rebuilt;
  const voxpatch_fuzz::RoundTripResult result = voxpatch_fuzz::RoundTrip(data, size, &rebuilt);
  if (!result.disassembled || result.has_reloc_table || result.kind == voxpatch::EXE_ELF_32_ARM)
    return 0;
  if (rebuilt.Length() != result.length) std::abort();
  return 0;
}
