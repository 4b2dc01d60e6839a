#include "streambundlereader.h"

namespace voxpatch {

bool StreamBundleReader::Parse(const uint8_t* data, size_t length) {
  ByteReader header(data, length);
  uint32_t magic = 0;
  if (!header.GetVarint(&magic) || magic != kStreamBundleMagic) return false;
  uint32_t count = 0;
  if (!header.GetVarint(&count) || count > kMaxStreams) return false;
  count_ = count;
  uint32_t lengths[kMaxStreams] = {};
  uint64_t total = 0;
  for (uint32_t i = 0; i < count; ++i) {
    if (!header.GetVarint(&lengths[i])) return false;
    total += lengths[i];
  }
  if (total != header.BytesLeft()) return false;
  for (uint32_t i = 0; i < count; ++i) header.TakeWindow(&streams_[i], lengths[i]);
  return true;
}

bool StreamBundleReader::Parse(const ByteReader& source) {
  return Parse(source.Position(), source.BytesLeft());
}

bool StreamBundleReader::GetNestedBundle(StreamBundleReader* target) {
  ByteReader* index = stream(0);
  if (index == nullptr) return false;
  uint32_t n = 0;
  if (!index->GetVarint(&n)) return false;
  if (n > kMaxStreams) return false;
  uint32_t lengths[kMaxStreams] = {};
  for (uint32_t i = 0; i < n; ++i) {
    if (!index->GetVarint(&lengths[i])) return false;
  }
  for (uint32_t i = 0; i < n; ++i) {
    ByteReader* from = stream(i);
    ByteReader* to = target->stream(i);
    if (from == nullptr || to == nullptr) return false;
    if (!from->TakeWindow(to, lengths[i])) return false;
  }
  return true;
}

bool StreamBundleReader::Empty() const {
  for (size_t i = 0; i < count_; ++i) {
    if (!streams_[i].Empty()) return false;
  }
  return true;
}

}  // namespace voxpatch
