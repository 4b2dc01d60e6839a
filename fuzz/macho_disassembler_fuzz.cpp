// Disassembles mutated Mach-O images.  Whatever is accepted must survive
// trim, encode, store, load and rebuild and give back the bytes it covers.
#include <cstring>

#include "disassemblyroundtrip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  voxpatch::ByteWriter rebuilt;
  const voxpatch_fuzz::RoundTripResult result = voxpatch_fuzz::RoundTrip(data, size, &rebuilt);
  if (!voxpatch_fuzz::IsMacho(result.kind)) return 0;
  // Mach-O disassembly fails only when memory runs out.
  if (!result.disassembled) std::abort();
  // The program covers the detected bytes, and a code section reaching past
  // them is taken whole (it still lies inside the input): the rebuilt bytes
  // are the input's from its start, at least the detected length.
  if (rebuilt.Length() < result.length || rebuilt.Length() > size) std::abort();
  if (rebuilt.Length() != 0 && std::memcmp(rebuilt.Buffer(), data, rebuilt.Length()) != 0)
    std::abort();
  return 0;
}
