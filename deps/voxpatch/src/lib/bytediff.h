// VXDIFF10 byte-level difference: rebuilds new bytes from old bytes and a
// stream of control triples (copy length, extra length, seek), byte-wise
// differences and literal extra bytes.

#ifndef VOXPATCH_BYTEDIFF_H
#define VOXPATCH_BYTEDIFF_H

#include "bytereader.h"
#include "bytewriter.h"

#include <cstddef>
#include <cstdint>

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

// Takes the result of a diff piece by piece, in order, while it is made.
class ByteDiffDrain {
 public:
  virtual ~ByteDiffDrain() = default;
  // False stops the diff, which then fails.
  virtual bool Take(const uint8_t* data, size_t n) = 0;
};

// How a diff may treat memory that is only read or written once.
struct ByteDiffStreaming {
  // When set, finished pieces of the result go here as they are made, and
  // their pages in new_sink are handed back to the system (new_sink keeps
  // its length, but the drained bytes read as zero); the last piece goes
  // before the diff returns.
  ByteDiffDrain* drain = nullptr;
  // The diff's own bytes belong to the caller and are not read again: the
  // pages of its parts are handed back as they are used up.
  bool release_consumed = false;
  // The first piece of the old bytes reads the same after its pages were
  // handed back (a read-only file mapping): its pages before the current
  // copy position are handed back on the way (read in again should a copy
  // go back to them).
  bool old_head_rereadable = false;
};

bool ApplyByteDiff(const ByteReader& old, const ByteReader& old_tail, ByteReader* diff,
                   ByteWriter* new_sink, bool with_header, const ByteDiffStreaming& streaming);

// Appends a diff that turns the bytes left in old into the bytes left in
// new_data; both readers are consumed.
bool CreateByteDiff(ByteReader* old, ByteReader* new_data, ByteWriter* diff,
                    bool with_header, int method);

}  // namespace voxpatch

#endif  // VOXPATCH_BYTEDIFF_H
