#include "lzma2blockreader.h"

#include <lzma.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "hugepages.h"
#include "largebuffer.h"
#include "logstream.h"
#include "lzma2filters.h"
#include "lzmaioout.h"

namespace voxpatch {

namespace {

constexpr uint32_t kMinDictionary = 4096;
// Smallest LZMA2 chunk (control, two sizes, one data byte) and the most
// one chunk decodes to.
constexpr uint64_t kMinChunkInput = 6;
constexpr uint64_t kMaxChunkOutput = 2u << 20;
// Output handed to the decoder per round, so that its copy from the
// dictionary into the output happens while the bytes are still cached.
constexpr size_t kDecodeSlice = 256u << 10;

// Every block the decoder gets carries its size in front, so that the pages
// of a large one (the dictionary) can be handed back to the system when the
// decoder lets it go: the heap may keep a freed block, and takes large ones
// itself once one such block was freed.
constexpr size_t kBlockHeader = 64;  // keeps the decoder's alignment

// The decoder's dictionary is written from start to end like the output.
void* DecoderAlloc(void*, size_t count, size_t size) {
  if (size != 0 && count > SIZE_MAX / size) return nullptr;
  const size_t bytes = count * size;
  if (bytes > SIZE_MAX - kBlockHeader) return nullptr;
  const size_t total = bytes + kBlockHeader;
  uint8_t* block = static_cast<uint8_t*>(std::malloc(total));
  if (block == nullptr) return nullptr;
  if (total >= kHugePageAdviceMinimum) AdviseHugePages(block, total);
  std::memcpy(block, &total, sizeof total);
  return block + kBlockHeader;
}

// opaque: the bytes decoded so far (a uint64_t), which bound what the
// dictionary holds; a block of which little was used goes back as it is.
void DecoderFree(void* opaque, void* address) {
  if (address == nullptr) return;
  uint8_t* block = static_cast<uint8_t*>(address) - kBlockHeader;
  size_t total = 0;
  std::memcpy(&total, block, sizeof total);
  // Whole pages inside the block only; the heap's own bookkeeping around
  // it stays.
  const uint64_t decoded = opaque != nullptr ? *static_cast<const uint64_t*>(opaque) : UINT64_MAX;
  if (total >= kLargeBufferMinimum && decoded >= kLargeBufferMinimum) ReleasePages(block, total);
  std::free(block);
}

// The failure code of a decoder result; -1 when decoding may go on.
int FailureOf(lzma_ret ret) {
  if (ret == LZMA_MEM_ERROR || ret == LZMA_MEMLIMIT_ERROR) return kLzma2MemoryError;
  if (ret == LZMA_OPTIONS_ERROR) return kLzma2UnsupportedProperty;
  if (ret != LZMA_OK && ret != LZMA_BUF_ERROR) return kLzma2DataError;
  return -1;
}


}  // namespace

struct Lzma2BlockReader::Stream {
  lzma_stream lzma = LZMA_STREAM_INIT;
  lzma_allocator allocator = {DecoderAlloc, DecoderFree, nullptr};
};

Lzma2BlockReader::Lzma2BlockReader() = default;

Lzma2BlockReader::~Lzma2BlockReader() { Close(); }

void Lzma2BlockReader::Close() {
  if (stream_ != nullptr) {
    lzma_end(&stream_->lzma);
    delete stream_;
    stream_ = nullptr;
  }
  std::free(scratch_);
  scratch_ = nullptr;
}

uint64_t Lzma2BlockReader::reachable_size() const {
  // No chunk takes fewer than kMinChunkInput bytes or yields more than
  // kMaxChunkOutput, so the input bounds what the block can decode to.
  return (static_cast<uint64_t>(input_length_) / kMinChunkInput + 1) * kMaxChunkOutput;
}

bool Lzma2BlockReader::Fail(int code) {
  if (!failed_) LogStream(kLogError) << "Error uncompressing data " << code;
  failed_ = true;
  error_ = code;
  return false;
}

bool Lzma2BlockReader::Open(const ByteReader& source) {
  Close();
  failed_ = false;
  error_ = kLzma2Ok;
  ended_ = false;
  position_ = 0;

  ByteReader header = source;
  uint8_t property = 0;
  if (!header.Read(&property, 1)) {
    LogMessage(kLogError, "Error read LZMA2 properties");
    failed_ = true;
    return false;
  }
  uint32_t declared = 0;
  if (!header.GetVarint(&declared)) {
    LogMessage(kLogError, "Error read LZMA2 unpack size");
    failed_ = true;
    return false;
  }
  declared_ = declared;
  header_length_ = source.BytesLeft() - header.BytesLeft();
  input_ = header.Position();
  input_length_ = header.BytesLeft();
  if (property > kLzma2MaxProperty) return Fail(kLzma2UnsupportedProperty);

  // The dictionary never needs to be larger than the data it decodes; a
  // property byte alone must not make us allocate gigabytes.
  uint64_t dictionary = Lzma2DictionarySize(property);
  if (dictionary > declared_) dictionary = declared_;
  if (dictionary > reachable_size()) dictionary = reachable_size();
  if (dictionary < kMinDictionary) dictionary = kMinDictionary;

  lzma_options_lzma options;
  lzma_filter filters[2];
  SetLzma2Filters(&options, filters, static_cast<uint32_t>(dictionary));
  stream_ = new (std::nothrow) Stream;
  if (stream_ == nullptr) return Fail(kLzma2MemoryError);
  stream_->allocator.opaque = &position_;
  stream_->lzma.allocator = &stream_->allocator;
  const lzma_ret ret = lzma_raw_decoder(&stream_->lzma, filters);
  if (ret != LZMA_OK)
    return Fail(ret == LZMA_MEM_ERROR ? kLzma2MemoryError : kLzma2UnsupportedProperty);
  stream_->lzma.next_in = input_;
  stream_->lzma.avail_in = input_length_;
  return true;
}

bool Lzma2BlockReader::Decode(uint8_t* out, size_t n) {
  if (failed_ || stream_ == nullptr) return false;
  if (n > declared_ - position_) return Fail(kLzma2DataError);
  lzma_stream& s = stream_->lzma;
  size_t done = 0;
  while (done < n) {
    if (ended_) return Fail(kLzma2Ok);  // the block ended short of its size
    const size_t slice = n - done < kDecodeSlice ? n - done : kDecodeSlice;
    s.next_out = out + done;
    s.avail_out = slice;
    while (s.avail_out != 0) {
      const lzma_ret ret = lzma_code(&s, LZMA_RUN);
      if (ret == LZMA_STREAM_END) {
        ended_ = true;
        break;
      }
      if (FailureOf(ret) >= 0) return Fail(FailureOf(ret));
      if (s.avail_out == 0) break;
      if (s.avail_in == 0) return Fail(kLzma2InputEof);  // input used up
      if (ret == LZMA_BUF_ERROR) return Fail(kLzma2DataError);
    }
    const size_t got = slice - s.avail_out;
    done += got;
    position_ += got;
  }
  return true;
}

bool Lzma2BlockReader::ReadInto(uint8_t* destination, size_t n) {
  return Decode(destination, n);
}

bool Lzma2BlockReader::Read(size_t n, ByteWriter* destination) {
  if (failed_ || stream_ == nullptr) return false;
  if (n > declared_ - position_) return Fail(kLzma2DataError);
  uint8_t* out = destination->PrepareTail(n);
  if (out == nullptr) {
    LogMessage(kLogError, "unable to allocate sink space");
    return false;
  }
  if (!Decode(out, n)) return false;
  return destination->CommitTail(n);
}

bool Lzma2BlockReader::Skip(uint64_t n) {
  if (failed_ || stream_ == nullptr) return false;
  if (n > declared_ - position_) return Fail(kLzma2DataError);
  if (n != 0 && scratch_ == nullptr) {
    scratch_ = static_cast<uint8_t*>(std::malloc(kDecodeSlice));
    if (scratch_ == nullptr) return Fail(kLzma2MemoryError);
  }
  while (n != 0) {
    const size_t piece = n < kDecodeSlice ? static_cast<size_t>(n) : kDecodeSlice;
    if (!Decode(scratch_, piece)) return false;
    n -= piece;
  }
  return true;
}

bool Lzma2BlockReader::Finish(size_t* block_length) {
  if (failed_ || stream_ == nullptr) return false;
  if (position_ != declared_) return Fail(kLzma2DataError);
  lzma_stream& s = stream_->lzma;
  // One spare byte of room: a block that still produces data holds more
  // than it declared.
  uint8_t spare = 0;
  while (!ended_) {
    s.next_out = &spare;
    s.avail_out = 1;
    const lzma_ret ret = lzma_code(&s, LZMA_RUN);
    if (ret == LZMA_STREAM_END) {
      if (s.avail_out == 0) return Fail(kLzma2DataError);
      ended_ = true;
      break;
    }
    if (FailureOf(ret) >= 0) return Fail(FailureOf(ret));
    if (s.avail_out == 0) return Fail(kLzma2DataError);
    if (s.avail_in == 0) return Fail(kLzma2InputEof);
    if (ret == LZMA_BUF_ERROR) return Fail(kLzma2DataError);
  }
  *block_length = header_length_ + (input_length_ - s.avail_in);
  return true;
}

}  // namespace voxpatch
