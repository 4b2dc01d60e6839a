// Unpacks mutated executable-aware (directive 2) containers.  The first
// input byte selects the form: even - the input is the whole container
// file; odd - the input is the decoded body (the stream set of encoded
// programs and the diff), wrapped into a directive-2 container here.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bytewriter.h"
#include "compressedfile.h"
#include "fuzzlimits.h"
#include "lzma2rawblock.h"
#include "mappedfile.h"

namespace {

std::string ScratchPath(const char* name) {
  const char* tmp = std::getenv("TMPDIR");
  std::string dir = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
  return dir + "/container2_fuzz_" + std::to_string(getpid()) + "_" + name;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string input = ScratchPath("in");
  static const std::string output = ScratchPath("out");
  if (size == 0) return 0;
  const bool wrap = (data[0] & 1) != 0;
  ++data;
  --size;
  voxpatch::ByteWriter container;
  if (wrap) {
    container.PutVarint(voxpatch::kContainerMagic);
    container.PutVarint(0);
    container.PutVarint(voxpatch::kDirectiveExecutableAware);
    voxpatch_fuzz::AppendRawLzma2Block(data, size, &container);
  } else {
    container.Write(data, size);
  }
  if (voxpatch::WriteBufferToFile(input.c_str(), container.Buffer(), container.Length()) !=
      container.Length())
    return 0;
  voxpatch::DecompressLzmaFile(input.c_str(), output.c_str(), voxpatch_fuzz::kOutputLimit);
  std::remove(output.c_str());
  return 0;
}
