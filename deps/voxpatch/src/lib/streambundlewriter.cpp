#include "streambundlewriter.h"

#include <cstdint>
#include <limits>

namespace voxpatch {

bool StreamBundleWriter::SerializeHeaderTo(ByteWriter* sink) {
  if (!sink->PutVarint(kStreamBundleMagic)) return false;
  if (!sink->PutSizeVarint(count_)) return false;
  for (size_t i = 0; i < count_; ++i) {
    if (!sink->PutSizeVarint(streams_[i].Length())) return false;
  }
  return true;
}

bool StreamBundleWriter::SerializeTo(ByteWriter* combined) {
  ByteWriter header;
  if (!SerializeHeaderTo(&header)) return false;
  uint64_t total = static_cast<uint64_t>(combined->Length()) + header.Length();
  for (size_t i = 0; i < count_; ++i) total += streams_[i].Length();
  if (total > std::numeric_limits<size_t>::max()) return false;
  if (!combined->Reserve(static_cast<size_t>(total))) return false;
  if (!combined->Append(&header)) return false;
  for (size_t i = 0; i < count_; ++i) {
    if (!combined->Append(&streams_[i])) return false;
  }
  return true;
}

bool StreamBundleWriter::PutNestedBundle(StreamBundleWriter* inner) {
  uint64_t lengths[kMaxStreams];
  size_t n = 0;
  for (size_t i = 0; i < kMaxStreams; ++i) {
    lengths[i] = inner->streams_[i].Length();
    if (lengths[i] != 0) n = i + 1;
  }
  ByteWriter* index = stream(0);
  if (index == nullptr) return false;
  if (!index->PutSizeVarint(n)) return false;
  for (size_t i = 0; i < n; ++i) {
    if (!index->PutSizeVarint(lengths[i])) return false;
  }
  for (size_t i = 0; i < n; ++i) {
    ByteWriter* from = inner->stream(i);
    ByteWriter* to = stream(i);
    if (from == nullptr || to == nullptr) return false;
    if (!to->Append(from)) return false;
  }
  return true;
}

}  // namespace voxpatch
