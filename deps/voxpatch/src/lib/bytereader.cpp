#include "bytereader.h"

#include <cstring>

#include "bytewriter.h"
#include "varint.h"

namespace voxpatch {

void ByteReader::Attach(const uint8_t* data, size_t length) {
  start_ = data;
  current_ = data;
  end_ = data == nullptr ? data : data + length;
}

void ByteReader::Attach(const ByteWriter& sink) {
  Attach(sink.Buffer(), sink.Length());
}

bool ByteReader::Read(void* destination, size_t n) {
  if (n > BytesLeft()) return false;
  if (n != 0) std::memcpy(destination, current_, n);
  current_ += n;
  return true;
}

bool ByteReader::GetVarint(uint32_t* value) {
  const uint8_t* next = DecodeVarint(current_, end_, value);
  if (next == nullptr) return false;
  current_ = next;
  return true;
}

bool ByteReader::GetSignedVarint(int32_t* value) {
  uint32_t raw = 0;
  if (!GetVarint(&raw)) return false;
  *value = ZigZagDecode(raw);
  return true;
}

bool ByteReader::Skip(size_t n) {
  if (n > BytesLeft()) return false;
  current_ += n;
  return true;
}

bool ByteReader::TakeWindow(ByteReader* other, size_t n) {
  if (n > BytesLeft()) return false;
  other->Attach(current_, n);
  current_ += n;
  return true;
}

bool ByteReader::SubReader(size_t offset, size_t n, ByteReader* other) const {
  size_t left = BytesLeft();
  if (offset > left || n > left - offset) return false;
  other->Attach(current_ + offset, n);
  return true;
}

}  // namespace voxpatch
