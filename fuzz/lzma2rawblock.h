// Wraps bytes into an LZMA2 block of uncompressed chunks, so that fuzz
// targets can feed mutated data to the layers behind the block without the
// mutations being spent on compressed data.

#ifndef VOXPATCH_FUZZ_LZMA2RAWBLOCK_H
#define VOXPATCH_FUZZ_LZMA2RAWBLOCK_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "bytewriter.h"

namespace voxpatch_fuzz {

inline void AppendRawLzma2Block(const uint8_t* data, size_t size, voxpatch::ByteWriter* out) {
  const uint8_t property = 16;  // 1 MiB dictionary
  out->Write(&property, 1);
  out->PutVarint(static_cast<uint32_t>(size));
  bool first = true;
  while (size > 0) {
    const size_t chunk = size < 0x10000 ? size : 0x10000;
    const uint8_t header[3] = {static_cast<uint8_t>(first ? 0x01 : 0x02),
                               static_cast<uint8_t>((chunk - 1) >> 8),
                               static_cast<uint8_t>((chunk - 1) & 0xFF)};
    out->Write(header, 3);
    out->Write(data, chunk);
    data += chunk;
    size -= chunk;
    first = false;
  }
  const uint8_t end = 0;
  out->Write(&end, 1);
}

}  // namespace voxpatch_fuzz

#endif  // VOXPATCH_FUZZ_LZMA2RAWBLOCK_H
