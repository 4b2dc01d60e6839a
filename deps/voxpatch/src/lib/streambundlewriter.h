// Writing side of a stream set: up to ten byte sinks serialised behind a
// header of magic, count and lengths.

#ifndef VOXPATCH_STREAMBUNDLEWRITER_H
#define VOXPATCH_STREAMBUNDLEWRITER_H

#include <cstddef>

#include "bytewriter.h"
#include "streambundlereader.h"

namespace voxpatch {

class StreamBundleWriter {
 public:
  StreamBundleWriter() = default;
  StreamBundleWriter(const StreamBundleWriter&) = delete;
  StreamBundleWriter& operator=(const StreamBundleWriter&) = delete;

  // Sets how many streams the header lists (at most ten).
  void SetCount(size_t count) { count_ = count < kMaxStreams ? count : kMaxStreams; }
  size_t count() const { return count_; }
  ByteWriter* stream(size_t i) { return i < count_ ? &streams_[i] : nullptr; }

  bool SerializeHeaderTo(ByteWriter* sink);
  // Writes header and streams into combined; the streams are emptied.
  bool SerializeTo(ByteWriter* combined);
  // Writes inner as a set nested in this one; the inner streams are emptied.
  bool PutNestedBundle(StreamBundleWriter* inner);

 private:
  size_t count_ = kMaxStreams;
  ByteWriter streams_[kMaxStreams];
};

}  // namespace voxpatch

#endif  // VOXPATCH_STREAMBUNDLEWRITER_H
