// Unpacks arbitrary bytes as a compressed-file container.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "compressedfile.h"
#include "fuzzlimits.h"
#include "mappedfile.h"

namespace {

std::string ScratchPath(const char* name) {
  const char* tmp = std::getenv("TMPDIR");
  std::string dir = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
  return dir + "/lzmafile_fuzz_" + std::to_string(getpid()) + "_" + name;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string input = ScratchPath("in");
  static const std::string output = ScratchPath("out");
  if (voxpatch::WriteBufferToFile(input.c_str(), data, size) != size) return 0;
  // Either form of the limited entry: as for client files and as for the product list.
  const bool allow_executable_aware = size == 0 || (data[size - 1] & 1) == 0;
  voxpatch::DecompressLzmaFile(input.c_str(), output.c_str(), voxpatch_fuzz::kOutputLimit,
                               allow_executable_aware);
  std::remove(output.c_str());
  return 0;
}
