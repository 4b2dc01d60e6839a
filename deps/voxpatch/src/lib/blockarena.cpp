#include "blockarena.h"

#include <sys/mman.h>

#include "arraygrowth.h"

namespace voxpatch {

void* BlockArena::Allocate(size_t size) {
  size = (size + 7) & ~static_cast<size_t>(7);
  if (size > kBlockBytes) return nullptr;
  if (used_ + size > kBlockBytes) {
    if (!GrowPreserving(&blocks_, 1)) return nullptr;
    void* block = ::mmap(nullptr, kBlockBytes, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) return nullptr;
    blocks_.push_back(static_cast<uint8_t*>(block));
    used_ = 0;
  }
  void* at = blocks_[blocks_.size() - 1] + used_;
  used_ += size;
  return at;
}

void BlockArena::Clear() {
  for (uint8_t* block : blocks_) ::munmap(block, kBlockBytes);
  blocks_.clear();
  used_ = kBlockBytes;
}

}  // namespace voxpatch
