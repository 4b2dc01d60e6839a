// LZMA2 blocks: a dictionary property byte, the uncompressed size as a
// varint and raw LZMA2 chunks up to and including the end marker.  Blocks
// delimit themselves, so several may follow one another in one stream.

#ifndef VOXPATCH_LZMAIOOUT_H
#define VOXPATCH_LZMAIOOUT_H

#include <cstddef>
#include <cstdint>

#include "bytereader.h"
#include "bytewriter.h"

namespace voxpatch {

// Result codes reported in "Error uncompressing data <code>".
enum Lzma2Result {
  kLzma2Ok = 0,
  kLzma2DataError = 1,
  kLzma2MemoryError = 2,
  kLzma2UnsupportedProperty = 4,
  kLzma2InputEof = 6,
};

// Property byte written by the encoder (64 MiB dictionary).
constexpr uint8_t kLzma2WriteProperty = 28;
// Largest valid property byte (4 GiB - 1 dictionary).
constexpr uint8_t kLzma2MaxProperty = 40;

// Dictionary size a property byte stands for; 0 for a byte above 40.
uint32_t Lzma2DictionarySize(uint8_t property);

// Decodes the block at source's position and appends its bytes to
// destination; on success source stands right behind the block.  On failure
// destination's length is unchanged.  A block declaring more bytes than the
// destination's limit leaves is refused before anything is decoded.
bool ReadLzma2Block(ByteReader* source, ByteWriter* destination);

// Encodes every byte left in source (read to its end) as one block.
bool WriteLzma2Block(ByteReader* source, ByteWriter* destination);
bool WriteLzma2Block(const uint8_t* data, size_t length,
                     ByteWriter* destination);

}  // namespace voxpatch

#endif  // VOXPATCH_LZMAIOOUT_H
