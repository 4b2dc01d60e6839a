// Growable output buffer.  Allocation failures never throw: they put the
// sink into a failed state in which every later write, append and reserve
// returns false.

#ifndef VOXPATCH_BYTEWRITER_H
#define VOXPATCH_BYTEWRITER_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "growablearray.h"
#include "varint.h"

namespace voxpatch {

class ByteWriter {
 public:
  ByteWriter() = default;
  // A sink whose bytes are those of the array, taken over without a copy.
  explicit ByteWriter(GrowableArray<uint8_t>&& bytes)
      : bytes_(static_cast<GrowableArray<uint8_t>&&>(bytes)) {}
  ByteWriter(const ByteWriter&) = delete;
  ByteWriter& operator=(const ByteWriter&) = delete;
  ByteWriter(ByteWriter&&) = default;
  ByteWriter& operator=(ByteWriter&&) = default;

  bool Write(const void* data, size_t n) {
    // Into room already reserved under the cap: no call.
    if (n != 0 && n <= TailCapacity() && n <= Room()) {
      std::memcpy(bytes_.data() + bytes_.size(), data, n);
      bytes_.set_size(bytes_.size() + n);
      return true;
    }
    return WriteGrowing(data, n);
  }
  bool PutVarint(uint32_t value) {
    if (TailCapacity() >= kMaxVarintLength && Room() >= kMaxVarintLength) {
      const size_t n = EncodeVarint(value, bytes_.data() + bytes_.size());
      bytes_.set_size(bytes_.size() + n);
      return true;
    }
    uint8_t buffer[kMaxVarintLength];
    return WriteGrowing(buffer, EncodeVarint(value, buffer));
  }
  bool PutSignedVarint(int32_t value);
  // A size that does not fit 32 bits is an internal error that ends the
  // process.
  bool PutSizeVarint(uint64_t value);
  // Appends all bytes of other; on success other is emptied.  Into an empty
  // sink that has no more room reserved than other, the bytes are handed
  // over without a copy.
  bool Append(ByteWriter* other);
  // Makes room for n bytes in total.
  bool Reserve(size_t n);

  // Caps the sink at n bytes in total.  A write, reservation or growth
  // that would take it past the cap fails before anything is allocated for
  // it, and leaves the sink as it was.  Without a cap a sink may grow as
  // far as memory allows.
  void SetLimit(size_t n) { limit_ = n; }
  size_t Limit() const { return limit_; }
  // Bytes that may still be added under the cap.
  size_t Room() const { return limit_ > Length() ? limit_ - Length() : 0; }

  size_t Length() const { return bytes_.size(); }
  const uint8_t* Buffer() const { return bytes_.data(); }
  void ReleaseBuffer() { bytes_.clear(); }
  bool Failed() const { return bytes_.failed(); }

  // Direct filling: PrepareTail(n) returns room for n bytes behind the
  // current ones (growing as Write does), CommitTail(n) then counts n bytes
  // written there.  Nothing is counted until CommitTail.
  uint8_t* PrepareTail(size_t n);
  bool CommitTail(size_t n);
  // Room already reserved behind the current bytes.
  size_t TailCapacity() const { return bytes_.capacity() - bytes_.size(); }

 private:
  bool WriteGrowing(const void* data, size_t n);

  GrowableArray<uint8_t> bytes_;
  size_t limit_ = GrowableArray<uint8_t>::kMaxElements;
};

}  // namespace voxpatch

#endif  // VOXPATCH_BYTEWRITER_H
