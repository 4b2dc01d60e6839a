// Decodes arbitrary bytes as a sequence of LZMA2 blocks.
#include <cstddef>
#include <cstdint>

#include "lzmaioout.h"
#include "streams.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  voxpatch::ByteReader source(data, size);
  voxpatch::ByteWriter out;
  for (int i = 0; i < 4 && !source.Empty(); ++i) {
    if (!voxpatch::ReadLzma2Block(&source, &out)) break;
  }
  return 0;
}
