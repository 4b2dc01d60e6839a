// Piecewise decoding of one LZMA2 block (property byte, uncompressed size,
// raw LZMA2 chunks up to the end marker): the caller takes the block's bytes
// in pieces, drops what it doesn't need, and may stop early.  The decoder
// and its dictionary live from Open to Close; a block can be opened again to
// decode it once more from its start.

#ifndef VOXPATCH_LZMA2BLOCKREADER_H
#define VOXPATCH_LZMA2BLOCKREADER_H

#include <cstddef>
#include <cstdint>

#include "bytereader.h"
#include "bytewriter.h"

namespace voxpatch {

class Lzma2BlockReader {
 public:
  Lzma2BlockReader();
  ~Lzma2BlockReader();
  Lzma2BlockReader(const Lzma2BlockReader&) = delete;
  Lzma2BlockReader& operator=(const Lzma2BlockReader&) = delete;

  // Reads the block header at source's position (source is not advanced;
  // its bytes must outlive the reader) and sets up the decoder.  A missing
  // property byte or size is logged as ReadLzma2Block logs it.
  bool Open(const ByteReader& source);
  // Frees the decoder and its dictionary.
  void Close();

  // Decodes the next n bytes and appends them to destination (which grows
  // as needed); false past the declared size or on bad data.
  bool Read(size_t n, ByteWriter* destination);
  // Decodes the next n bytes into memory the caller provides.
  bool ReadInto(uint8_t* destination, size_t n);
  // Decodes and drops the next n bytes.
  bool Skip(uint64_t n);
  // Once every declared byte was taken: checks that the end marker follows
  // and sets block_length to the bytes the whole block takes in the source.
  bool Finish(size_t* block_length);

  bool IsOpen() const { return stream_ != nullptr; }
  uint64_t declared_size() const { return declared_; }
  // The most the block's input can decode to (known once opened).
  uint64_t reachable_size() const;
  // Bytes decoded (read or skipped) since Open.
  uint64_t position() const { return position_; }
  // The code of the last failure (Lzma2Result), also logged as
  // "Error uncompressing data <code>".
  int error() const { return error_; }

 private:
  bool Fail(int code);
  // Decodes exactly n bytes to out, in slices.
  bool Decode(uint8_t* out, size_t n);

  struct Stream;
  Stream* stream_ = nullptr;
  const uint8_t* input_ = nullptr;
  size_t input_length_ = 0;
  size_t header_length_ = 0;
  uint64_t declared_ = 0;
  uint64_t position_ = 0;
  bool ended_ = false;
  bool failed_ = false;
  int error_ = 0;
  uint8_t* scratch_ = nullptr;
};

}  // namespace voxpatch

#endif  // VOXPATCH_LZMA2BLOCKREADER_H
