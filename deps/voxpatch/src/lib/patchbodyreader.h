// The body of an ensemble patch: one LZMA2 block holding a stream set.
// Streams are decoded when they are asked for, so that a large stream is
// in memory only while it is used.  Between uses the decoder (and with it
// a dictionary as large as the body) can be let go; asking for a stream
// the decoder has passed decodes the block again from its start.

#ifndef VOXPATCH_PATCHBODYREADER_H
#define VOXPATCH_PATCHBODYREADER_H

#include <cstddef>
#include <cstdint>

#include "bytereader.h"
#include "bytewriter.h"
#include "lzma2blockreader.h"
#include "spilledbody.h"
#include "streambundlereader.h"

namespace voxpatch {

class PatchBodyReader {
 public:
  PatchBodyReader() = default;
  PatchBodyReader(const PatchBodyReader&) = delete;
  PatchBodyReader& operator=(const PatchBodyReader&) = delete;

  // Opens the block at body's position (its bytes must outlive the reader)
  // and reads the set's header: false when the block cannot be decoded that
  // far, or when the header is not a stream set's whose lengths add up to
  // the rest of the block, or when one of its streams is longer than
  // max_stream bytes.
  bool Open(const ByteReader& body, uint64_t max_stream = UINT64_MAX);
  size_t count() const { return count_; }
  uint64_t stream_length(size_t i) const { return i < count_ ? lengths_[i] : 0; }

  // Appends stream i to sink.
  bool ReadStream(size_t i, ByteWriter* sink);
  // Decodes whatever is left of the block and checks that it ends there.
  bool Finish();
  // Lets the decoder go until the next read.
  void Suspend() { decoder_.Close(); }

  // Decodes streams first to count() - 1 into spill, checks that the block
  // ends behind them (as Finish does) and lets the decoder go.  Stream i
  // then starts spill_offset(i) bytes into the spilled bytes.
  bool Spill(size_t first, SpilledBody* spill);
  uint64_t spill_offset(size_t i) const {
    return i < count_ && spilled_from_ < count_ ? offsets_[i] - offsets_[spilled_from_] : 0;
  }

  // What decoding has cost since Open: how often the decoder was started
  // at the block's start, and the bytes decoded over all of those starts.
  uint32_t decoder_starts() const { return starts_; }
  uint64_t decoded_bytes() const { return decoded_before_ + decoder_.position(); }

 private:
  bool DecodeVarint(uint32_t* value);
  // Starts the decoder at the block's start.
  bool Restart();
  // Reopens the block and skips to offset when the decoder is gone or has
  // passed it; otherwise skips forward.
  bool SeekTo(uint64_t offset);

  ByteReader body_;
  Lzma2BlockReader decoder_;
  size_t count_ = 0;
  uint64_t lengths_[kMaxStreams] = {};
  uint64_t offsets_[kMaxStreams] = {};
  size_t spilled_from_ = kMaxStreams;
  uint32_t starts_ = 0;
  uint64_t decoded_before_ = 0;  // by the starts before the current one
};

}  // namespace voxpatch

#endif  // VOXPATCH_PATCHBODYREADER_H
