#include "bytewriter.h"

#include "logstream.h"
#include "varint.h"

namespace voxpatch {

bool ByteWriter::WriteGrowing(const void* data, size_t n) {
  if (n > Room()) return false;
  if (!bytes_.EnsureRoom(n, limit_)) return false;
  return bytes_.append(static_cast<const uint8_t*>(data), n);
}

bool ByteWriter::PutSignedVarint(int32_t value) {
  return PutVarint(ZigZagEncode(value));
}

bool ByteWriter::PutSizeVarint(uint64_t value) {
  uint32_t narrowed_value = static_cast<uint32_t>(value);
  if (value != narrowed_value)
    FailAssertion("value == narrowed_value",
                  "../../../../deps/voxpatch/src/lib/streams", 209, "");
  return PutVarint(narrowed_value);
}

bool ByteWriter::Append(ByteWriter* other) {
  if (other == this) return false;
  if (other->Failed() || Failed()) return false;
  if (other->Length() > Room()) return false;
  if (Length() == 0 && bytes_.capacity() <= other->bytes_.capacity()) {
    // Nothing here to keep and no larger reservation to lose.
    bytes_ = static_cast<GrowableArray<uint8_t>&&>(other->bytes_);
    return true;
  }
  if (!Write(other->Buffer(), other->Length())) return false;
  other->bytes_.clear();
  return true;
}

bool ByteWriter::Reserve(size_t n) {
  if (n > limit_) return false;
  return bytes_.reserve(n);
}

uint8_t* ByteWriter::PrepareTail(size_t n) {
  // Room for at least one byte, so that the result is a real address.
  if (n > Room()) return nullptr;
  size_t cap = limit_;
  if (n == 0 && cap <= Length()) cap = Length() + 1;
  if (!bytes_.EnsureRoom(n == 0 ? 1 : n, cap)) return nullptr;
  return bytes_.data() + bytes_.size();
}

bool ByteWriter::CommitTail(size_t n) {
  if (n > TailCapacity()) return false;
  return bytes_.set_size(bytes_.size() + n);
}

}  // namespace voxpatch
