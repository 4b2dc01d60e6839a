// Disassembles mutated Mach-O images.  Whatever is accepted must survive
// trim, encode, store, load and rebuild and give back the bytes it covers.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "bytewriter.h"
#include "disassembledprogram.h"
#include "disassembler_macho.h"
#include "encodedprogram.h"
#include "executableparser.h"
#include "streambundlereader.h"
#include "streambundlewriter.h"

using namespace voxpatch;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ExecutableKind kind = EXE_UNKNOWN;
  size_t length = 0;
  if (IdentifyExecutable(data, size, &kind, &length) != C_OK) return 0;
  if (length > size) std::abort();

  DisassembledProgram* program = nullptr;
  if (DisassembleExecutable(data, size, &program) != C_OK) std::abort();
  if (TrimLabels(program) != C_OK) std::abort();
  EncodedProgram* encoded = nullptr;
  if (Encode(program, &encoded) != C_OK) std::abort();
  FreeDisassembledProgram(program);

  StreamBundleWriter set;
  if (StoreEncodedProgram(encoded, &set) != C_OK) std::abort();
  FreeEncodedProgram(encoded);
  ByteWriter flat;
  if (!set.SerializeTo(&flat)) std::abort();
  StreamBundleReader reader;
  if (!reader.Parse(flat.Buffer(), flat.Length())) std::abort();
  EncodedProgram* loaded = nullptr;
  if (LoadEncodedProgram(&reader, &loaded) != C_OK) std::abort();
  ByteWriter rebuilt;
  if (RebuildExecutable(loaded, &rebuilt) != C_OK) std::abort();
  FreeEncodedProgram(loaded);
  // The program covers the detected bytes, and a code section reaching past
  // them is taken whole (it still lies inside the input): the rebuilt bytes
  // are the input's from its start, at least the detected length.
  if (rebuilt.Length() < length || rebuilt.Length() > size) std::abort();
  if (rebuilt.Length() != 0 && std::memcmp(rebuilt.Buffer(), data, rebuilt.Length()) != 0)
    std::abort();
  return 0;
}
