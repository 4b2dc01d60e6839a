// Reading side of a stream set: up to ten streams packed into one byte
// string behind a header of magic, count and lengths.  Streams are windows
// into the caller's memory; nothing is copied.

#ifndef VOXPATCH_STREAMBUNDLEREADER_H
#define VOXPATCH_STREAMBUNDLEREADER_H

#include <cstddef>
#include <cstdint>

#include "bytereader.h"

namespace voxpatch {

constexpr uint32_t kStreamBundleMagic = 20090218;
constexpr size_t kMaxStreams = 10;

class StreamBundleReader {
 public:
  StreamBundleReader() = default;
  StreamBundleReader(const StreamBundleReader&) = delete;
  StreamBundleReader& operator=(const StreamBundleReader&) = delete;

  bool Parse(const uint8_t* data, size_t length);
  // Parses the bytes that remain in source; source is not advanced.
  bool Parse(const ByteReader& source);

  ByteReader* stream(size_t i) { return i < count_ ? &streams_[i] : nullptr; }
  size_t count() const { return count_; }

  // Reads a set nested in this one into target.
  bool GetNestedBundle(StreamBundleReader* target);
  // True when every stream has been read to its end.
  bool Empty() const;

 private:
  size_t count_ = kMaxStreams;
  ByteReader streams_[kMaxStreams];
};

}  // namespace voxpatch

#endif  // VOXPATCH_STREAMBUNDLEREADER_H
