#include "patchbodyreader.h"

#include "growablearray.h"
#include "varint.h"

namespace voxpatch {

bool PatchBodyReader::DecodeVarint(uint32_t* value) {
  // Byte by byte, so that nothing behind the varint is taken.
  uint8_t bytes[kMaxVarintLength];
  size_t n = 0;
  do {
    if (!decoder_.ReadInto(&bytes[n], 1)) return false;
  } while ((bytes[n++] & 0x80) != 0 && n < kMaxVarintLength);
  return voxpatch::DecodeVarint(bytes, bytes + n, value) == bytes + n;
}

bool PatchBodyReader::Restart() {
  if (starts_ != 0) decoded_before_ += decoder_.position();
  ++starts_;
  return decoder_.Open(body_);
}

bool PatchBodyReader::Open(const ByteReader& body, uint64_t max_stream) {
  body_ = body;
  count_ = 0;
  starts_ = 0;
  decoded_before_ = 0;
  if (!Restart()) return false;
  // A block whose input cannot hold its declared size fails here, before
  // anything is reserved for its streams.
  const uint64_t declared = decoder_.declared_size();
  if (declared > decoder_.reachable_size()) return false;

  uint32_t magic = 0;
  uint32_t count = 0;
  if (!DecodeVarint(&magic) || magic != kStreamBundleMagic) return false;
  if (!DecodeVarint(&count) || count > kMaxStreams) return false;
  uint32_t lengths[kMaxStreams] = {};
  uint64_t total = 0;
  for (uint32_t i = 0; i < count; ++i) {
    if (!DecodeVarint(&lengths[i]) || lengths[i] > max_stream) return false;
    total += lengths[i];
  }
  uint64_t offset = decoder_.position();
  if (total != declared - offset) return false;
  for (uint32_t i = 0; i < count; ++i) {
    lengths_[i] = lengths[i];
    offsets_[i] = offset;
    offset += lengths[i];
  }
  count_ = count;
  return true;
}

bool PatchBodyReader::SeekTo(uint64_t offset) {
  if (!decoder_.IsOpen() || decoder_.position() > offset) {
    if (!Restart()) return false;
  }
  return decoder_.Skip(offset - decoder_.position());
}

bool PatchBodyReader::ReadStream(size_t i, ByteWriter* sink) {
  if (i >= count_ || !SeekTo(offsets_[i])) return false;
  const uint64_t wanted = static_cast<uint64_t>(sink->Length()) + lengths_[i];
  if (wanted > SIZE_MAX || !sink->Reserve(static_cast<size_t>(wanted))) return false;
  return decoder_.Read(static_cast<size_t>(lengths_[i]), sink);
}

bool PatchBodyReader::Spill(size_t first, SpilledBody* spill) {
  if (first >= count_ || !SeekTo(offsets_[first])) return false;
  // Decoded a slice at a time; only the slice is in memory.
  const size_t kSlice = 1u << 20;
  GrowableArray<uint8_t> slice;
  if (!slice.reserve(kSlice)) return false;
  uint64_t left = decoder_.declared_size() - offsets_[first];
  while (left != 0) {
    const size_t n = left < kSlice ? static_cast<size_t>(left) : kSlice;
    if (!decoder_.ReadInto(slice.data(), n) || !spill->Write(slice.data(), n)) return false;
    left -= n;
  }
  size_t block_length = 0;
  if (!decoder_.Finish(&block_length)) return false;
  decoder_.Close();
  if (!spill->Map()) return false;
  spilled_from_ = first;
  return true;
}

bool PatchBodyReader::Finish() {
  size_t block_length = 0;
  return SeekTo(decoder_.declared_size()) && decoder_.Finish(&block_length);
}

}  // namespace voxpatch
