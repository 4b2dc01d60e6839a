#include "lzmaioout.h"

#include <lzma.h>

#include <cstdint>
#include <limits>

#include "logstream.h"
#include "lzma2blockreader.h"
#include "lzma2filters.h"

namespace voxpatch {

namespace {

constexpr uint32_t kMinDictionary = 4096;
constexpr uint32_t kWriteDictionary = 64u << 20;
// Output handed to the encoder per round.
constexpr size_t kEncodeChunk = 1u << 20;

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
  Lzma2BlockReader reader;
  if (!reader.Open(*source)) return false;
  // Room is reserved (never filled) for no more than the input can decode
  // to: a hostile size then fails on its own data instead of claiming
  // gigabytes.
  const uint64_t declared = reader.declared_size();
  // A block larger than the destination may take is refused before a
  // single byte is decoded.
  if (declared > destination->Room()) {
    LogMessage(kLogError, "LZMA2 block larger than allowed");
    return false;
  }
  const uint64_t reachable = reader.reachable_size();
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
  // Past the room the input runs out, which the skip reports.
  size_t block_length = 0;
  if (!reader.ReadInto(out, room) || !reader.Skip(declared - room) ||
      !reader.Finish(&block_length))
    return false;
  source->Skip(block_length);
  destination->CommitTail(room);
  return true;
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
