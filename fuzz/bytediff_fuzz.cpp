// Applies arbitrary diffs to a small old buffer taken from the input.
// Layout: flags byte (bit 0: header form), old length byte, old bytes, diff.
#include <cstddef>
#include <cstdint>

#include "bytediff.h"
#include "streams.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const bool with_header = (data[0] & 1) != 0;
  size_t old_length = data[1];
  if (old_length > size - 2) old_length = size - 2;
  voxpatch::ByteReader old(data + 2, old_length);
  voxpatch::ByteReader diff(data + 2 + old_length, size - 2 - old_length);
  voxpatch::ByteWriter out;
  out.SetLimit(16u << 20);
  voxpatch::ApplyByteDiff(old, &diff, &out, with_header);
  return 0;
}
