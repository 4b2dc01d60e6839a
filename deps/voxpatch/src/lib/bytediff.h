// VXDIFF10 byte-level difference: rebuilds new bytes from old bytes and a
// stream of control triples (copy length, extra length, seek), byte-wise
// differences and literal extra bytes.

#ifndef VOXPATCH_BYTEDIFF_H
#define VOXPATCH_BYTEDIFF_H

#include "bytereader.h"
#include "bytewriter.h"

namespace voxpatch {

enum ByteDiffMethod {
  kByteDiffRaw = 0,          // three lengths, then the three parts
  kByteDiffThreeBlocks = 1,  // three LZMA2 blocks
  kByteDiffOneBlock = 2,     // one LZMA2 block holding a raw body
};

// Applies the diff at diff's position to the bytes left in old (old is not
// advanced) and writes the result to new_sink, which must be empty.  With
// header, the stream starts with "VXDIFF10" and the checksum of the result.
bool ApplyByteDiff(const ByteReader& old, ByteReader* diff, ByteWriter* new_sink,
                   bool with_header);
// The same with the old bytes in two pieces: those left in old followed by
// those left in old_tail, as if they were one string.
bool ApplyByteDiff(const ByteReader& old, const ByteReader& old_tail, ByteReader* diff,
                   ByteWriter* new_sink, bool with_header);

// Appends a diff that turns the bytes left in old into the bytes left in
// new_data; both readers are consumed.
bool CreateByteDiff(ByteReader* old, ByteReader* new_data, ByteWriter* diff,
                    bool with_header, int method);

}  // namespace voxpatch

#endif  // VOXPATCH_BYTEDIFF_H
