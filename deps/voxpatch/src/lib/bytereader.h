// Read-only cursor over memory owned by someone else.  Every failing
// operation leaves the position and all outputs unchanged.

#ifndef VOXPATCH_BYTEREADER_H
#define VOXPATCH_BYTEREADER_H

#include <cstddef>
#include <cstdint>

namespace voxpatch {

class ByteWriter;

class ByteReader {
 public:
  ByteReader() = default;
  ByteReader(const uint8_t* data, size_t length) { Attach(data, length); }

  void Attach(const uint8_t* data, size_t length);
  // Window over the bytes currently held by sink; the sink must not change
  // while the window is read.
  void Attach(const ByteWriter& sink);

  size_t BytesLeft() const { return static_cast<size_t>(end_ - current_); }
  bool Empty() const { return current_ == end_; }
  // The read position.
  const uint8_t* Position() const { return current_; }
  const uint8_t* Start() const { return start_; }

  bool Read(void* destination, size_t n);
  bool GetVarint(uint32_t* value);
  bool GetSignedVarint(int32_t* value);
  bool Skip(size_t n);
  // other becomes a window over the next n bytes; this reader moves past them.
  bool TakeWindow(ByteReader* other, size_t n);
  // other becomes a window over [position + offset, position + offset + n);
  // this reader does not move.
  bool SubReader(size_t offset, size_t n, ByteReader* other) const;

 private:
  const uint8_t* start_ = nullptr;
  const uint8_t* end_ = nullptr;
  const uint8_t* current_ = nullptr;
};

}  // namespace voxpatch

#endif  // VOXPATCH_BYTEREADER_H
