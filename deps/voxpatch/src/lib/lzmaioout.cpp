#include "lzmaioout.h"

#include <lzma.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "hugepages.h"
#include "logstream.h"

namespace voxpatch {

namespace {

constexpr uint32_t kMinDictionary = 4096;
constexpr uint32_t kWriteDictionary = 64u << 20;
// Smallest LZMA2 chunk (control, two sizes, one data byte) and the most
// one chunk decodes to.
constexpr uint64_t kMinChunkInput = 6;
constexpr uint64_t kMaxChunkOutput = 2u << 20;
// Output handed to the decoder per round.
constexpr size_t kDecodeSlice = 256u << 10;
// Output handed to the encoder per round.
constexpr size_t kEncodeChunk = 1u << 20;

// The decoder's dictionary is written from start to end like the output.
void* DecoderAlloc(void*, size_t count, size_t size) {
  if (size != 0 && count > SIZE_MAX / size) return nullptr;
  void* block = std::malloc(count * size);
  if (block != nullptr && count * size >= kHugePageAdviceMinimum)
    AdviseHugePages(block, count * size);
  return block;
}

void DecoderFree(void*, void* block) { std::free(block); }

const lzma_allocator kDecoderAllocator = {DecoderAlloc, DecoderFree, nullptr};

// A raw LZMA2 filter chain at level 9 with the given dictionary size.
void SetLzma2Filters(lzma_options_lzma* options, lzma_filter* filters,
                     uint32_t dictionary) {
  lzma_lzma_preset(options, 9);
  options->dict_size = dictionary;
  filters[0].id = LZMA_FILTER_LZMA2;
  filters[0].options = options;
  filters[1].id = LZMA_VLI_UNKNOWN;
  filters[1].options = nullptr;
}

// Decodes raw LZMA2 chunks from [in, in + in_length) into exactly
// out_length bytes at out.  Returns 0 when the end marker was reached, else
// the code of the failure; consumed and produced tell how far it went.
int DecodeChunks(uint8_t property, const uint8_t* in, size_t in_length,
                 uint8_t* out, size_t out_length, size_t* consumed,
                 size_t* produced) {
  *consumed = 0;
  *produced = 0;
  if (property > kLzma2MaxProperty) return kLzma2UnsupportedProperty;

  // The dictionary never needs to be larger than the data it decodes; a
  // property byte alone must not make us allocate gigabytes.
  uint64_t dictionary = Lzma2DictionarySize(property);
  if (dictionary > out_length) dictionary = out_length;
  if (dictionary < kMinDictionary) dictionary = kMinDictionary;

  lzma_options_lzma options;
  lzma_filter filters[2];
  SetLzma2Filters(&options, filters, static_cast<uint32_t>(dictionary));

  lzma_stream stream = LZMA_STREAM_INIT;
  stream.allocator = &kDecoderAllocator;
  lzma_ret ret = lzma_raw_decoder(&stream, filters);
  if (ret != LZMA_OK) {
    lzma_end(&stream);
    return ret == LZMA_MEM_ERROR ? kLzma2MemoryError : kLzma2UnsupportedProperty;
  }

  // Output is handed over in slices, so that the decoder's copy from its
  // dictionary into the output happens while the bytes are still cached.
  // Once the declared output is full, the decoder gets one spare byte: a
  // block that still produces data holds more than it declared.
  uint8_t spare = 0;
  bool on_spare = false;
  size_t handed_out = out_length < kDecodeSlice ? out_length : kDecodeSlice;
  stream.next_in = in;
  stream.avail_in = in_length;
  stream.next_out = out;
  stream.avail_out = handed_out;
  int result = kLzma2DataError;
  for (;;) {
    ret = lzma_code(&stream, LZMA_RUN);
    if (ret == LZMA_STREAM_END) {
      result = on_spare && stream.avail_out == 0 ? kLzma2DataError : kLzma2Ok;
      break;
    }
    if (ret == LZMA_MEM_ERROR || ret == LZMA_MEMLIMIT_ERROR) {
      result = kLzma2MemoryError;
      break;
    }
    if (ret == LZMA_OPTIONS_ERROR) {
      result = kLzma2UnsupportedProperty;
      break;
    }
    if (ret != LZMA_OK && ret != LZMA_BUF_ERROR) {
      result = kLzma2DataError;
      break;
    }
    if (stream.avail_out == 0) {
      if (on_spare) {
        result = kLzma2DataError;
        break;
      }
      if (handed_out < out_length) {
        size_t more = out_length - handed_out;
        if (more > kDecodeSlice) more = kDecodeSlice;
        handed_out += more;
        stream.avail_out = more;
      } else {
        on_spare = true;
        stream.next_out = &spare;
        stream.avail_out = 1;
      }
      continue;
    }
    if (stream.avail_in == 0) {
      // Input used up before the end marker.
      result = kLzma2InputEof;
      break;
    }
    if (ret == LZMA_BUF_ERROR) {
      result = kLzma2DataError;
      break;
    }
  }
  *consumed = in_length - stream.avail_in;
  *produced = on_spare ? out_length : handed_out - stream.avail_out;
  lzma_end(&stream);
  return result;
}

bool EncodeBlock(const uint8_t* data, size_t length, ByteWriter* destination) {
  // The block always announces a 64 MiB dictionary; the encoder itself
  // needs no more dictionary than there is data.
  uint32_t dictionary = kWriteDictionary;
  if (length < dictionary) dictionary = static_cast<uint32_t>(length);
  if (dictionary < kMinDictionary) dictionary = kMinDictionary;
  lzma_options_lzma options;
  lzma_filter filters[2];
  SetLzma2Filters(&options, filters, dictionary);

  lzma_stream stream = LZMA_STREAM_INIT;
  lzma_ret ret = lzma_raw_encoder(&stream, filters);
  if (ret != LZMA_OK) {
    lzma_end(&stream);
    LogMessage(kLogError, ret == LZMA_OPTIONS_ERROR ? "Error Lzma2Enc_SetProps"
                                                    : "Error Lzma2Enc_Encode");
    return false;
  }
  uint8_t property = kLzma2WriteProperty;
  if (!destination->Write(&property, 1) ||
      !destination->PutSizeVarint(static_cast<uint64_t>(length))) {
    lzma_end(&stream);
    return false;
  }
  stream.next_in = data;
  stream.avail_in = length;
  bool ok = false;
  for (;;) {
    uint8_t* out = destination->PrepareTail(kEncodeChunk);
    if (out == nullptr) break;
    stream.next_out = out;
    stream.avail_out = kEncodeChunk;
    ret = lzma_code(&stream, LZMA_FINISH);
    destination->CommitTail(kEncodeChunk - stream.avail_out);
    if (ret == LZMA_STREAM_END) {
      ok = true;
      break;
    }
    if (ret != LZMA_OK) break;
  }
  lzma_end(&stream);
  if (!ok) LogMessage(kLogError, "Error Lzma2Enc_Encode");
  return ok;
}

}  // namespace

uint32_t Lzma2DictionarySize(uint8_t property) {
  if (property > kLzma2MaxProperty) return 0;
  if (property == kLzma2MaxProperty) return 0xFFFFFFFFu;
  return (2u | (property & 1u)) << (property / 2 + 11);
}

bool ReadLzma2Block(ByteReader* source, ByteWriter* destination) {
  uint8_t property = 0;
  if (!source->Read(&property, 1)) {
    LogMessage(kLogError, "Error read LZMA2 properties");
    return false;
  }
  uint32_t declared = 0;
  if (!source->GetVarint(&declared)) {
    LogMessage(kLogError, "Error read LZMA2 unpack size");
    return false;
  }
  // No LZMA2 chunk takes fewer than kMinChunkInput bytes or yields more than
  // kMaxChunkOutput, so the bytes left bound what the block can decode to.
  // Room is reserved (never filled) for no more than that: a hostile size
  // then fails on its own data instead of claiming gigabytes.
  const uint64_t reachable =
      (static_cast<uint64_t>(source->BytesLeft()) / kMinChunkInput + 1) * kMaxChunkOutput;
  const size_t room = static_cast<size_t>(declared < reachable ? declared : reachable);
  uint64_t total = static_cast<uint64_t>(destination->Length()) + room;
  if (total > std::numeric_limits<size_t>::max() ||
      !destination->Reserve(static_cast<size_t>(total))) {
    LogMessage(kLogError, "unable to allocate sink space");
    return false;
  }
  uint8_t* out = destination->PrepareTail(room);
  if (out == nullptr) {
    LogMessage(kLogError, "unable to allocate sink space");
    return false;
  }
  size_t consumed = 0;
  size_t produced = 0;
  int result = DecodeChunks(property, source->Position(), source->BytesLeft(),
                            out, room, &consumed, &produced);
  if (result == kLzma2Ok && produced == declared) {
    source->Skip(consumed);
    destination->CommitTail(produced);
    return true;
  }
  LogStream(kLogError) << "Error uncompressing data " << result;
  return false;
}

bool WriteLzma2Block(ByteReader* source, ByteWriter* destination) {
  const uint8_t* data = source->Position();
  size_t length = source->BytesLeft();
  source->Skip(length);
  return EncodeBlock(data, length, destination);
}

bool WriteLzma2Block(const uint8_t* data, size_t length,
                     ByteWriter* destination) {
  return EncodeBlock(data, length, destination);
}

}  // namespace voxpatch
