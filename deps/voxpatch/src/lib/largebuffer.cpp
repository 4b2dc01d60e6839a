#include "largebuffer.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstring>

#include "hugepages.h"

namespace voxpatch {

namespace {

// Whole pages for bytes; 0 when the rounding would wrap.
size_t MappedBytes(size_t bytes) {
  const size_t page = SystemPageSize();
  if (bytes > SIZE_MAX - (page - 1)) return 0;
  return (bytes + page - 1) / page * page;
}

void Advise(void* buffer, size_t bytes) {
  if (bytes >= kHugePageAdviceMinimum) AdviseHugePages(buffer, bytes);
}

}  // namespace

void* AllocateLargeBuffer(size_t bytes) {
  const size_t mapped = MappedBytes(bytes);
  if (mapped == 0) return nullptr;
  void* buffer =
      ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (buffer == MAP_FAILED) return nullptr;
  Advise(buffer, mapped);
  return buffer;
}

void* ResizeLargeBuffer(void* buffer, size_t old_bytes, size_t new_bytes, size_t used) {
  const size_t old_mapped = MappedBytes(old_bytes);
  const size_t new_mapped = MappedBytes(new_bytes);
  if (new_mapped == 0) return nullptr;
#ifdef MREMAP_MAYMOVE
  (void)used;
  void* moved = ::mremap(buffer, old_mapped, new_mapped, MREMAP_MAYMOVE);
  if (moved == MAP_FAILED) return nullptr;
  Advise(moved, new_mapped);
  return moved;
#else
  void* fresh = AllocateLargeBuffer(new_bytes);
  if (fresh == nullptr) return nullptr;
  std::memcpy(fresh, buffer, used < new_bytes ? used : new_bytes);
  ::munmap(buffer, old_mapped);
  return fresh;
#endif
}

void FreeLargeBuffer(void* buffer, size_t bytes) {
  if (buffer != nullptr) ::munmap(buffer, MappedBytes(bytes));
}

}  // namespace voxpatch
