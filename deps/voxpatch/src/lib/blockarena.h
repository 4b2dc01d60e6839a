// Storage for many small records that live and die together: blocks of
// 1 MiB mapped from the system, handed out front to back and given back
// whole.  (One heap object per record would stay with the process after
// being freed, since the heap keeps what it cannot give back in one piece.)
// Nothing here throws; allocation failures are reported as null.

#ifndef VOXPATCH_BLOCKARENA_H
#define VOXPATCH_BLOCKARENA_H

#include <cstddef>
#include <cstdint>

#include "growablearray.h"

namespace voxpatch {

class BlockArena {
 public:
  static constexpr size_t kBlockBytes = 1024 * 1024;

  BlockArena() = default;
  ~BlockArena() { Clear(); }
  BlockArena(const BlockArena&) = delete;
  BlockArena& operator=(const BlockArena&) = delete;

  // Room for size bytes (at most kBlockBytes), aligned to 8 bytes; null
  // when memory runs out.
  void* Allocate(size_t size);
  // Gives every block back; what was handed out must not be used again.
  void Clear();

 private:
  GrowableArray<uint8_t*> blocks_;
  size_t used_ = kBlockBytes;  // of the last block
};

}  // namespace voxpatch

#endif  // VOXPATCH_BLOCKARENA_H
