// Disassembles mutated PE32 and PE32+ images.  Whatever is accepted must
// survive trim, encode, store, load and rebuild; a PE image without a
// regenerated relocation table rebuilds to the input's bytes from its start.
#include <cstring>

#include "disassemblyroundtrip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  voxpatch::ByteWriter rebuilt;
  const voxpatch_fuzz::RoundTripResult result = voxpatch_fuzz::RoundTrip(data, size, &rebuilt);
  if (!voxpatch_fuzz::IsPe(result.kind) || !result.disassembled || result.has_reloc_table)
    return 0;
  if (rebuilt.Length() > result.length) std::abort();
  if (rebuilt.Length() != 0 && std::memcmp(rebuilt.Buffer(), data, rebuilt.Length()) != 0)
    std::abort();
  return 0;
}
