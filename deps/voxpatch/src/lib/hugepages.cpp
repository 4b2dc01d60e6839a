#include "hugepages.h"

#include <sys/mman.h>

#include <unistd.h>

#include <cstdint>

namespace voxpatch {

void AdviseHugePages(void* start, size_t length) {
#ifdef MADV_HUGEPAGE
  constexpr uintptr_t kHuge = uintptr_t(2) << 20;
  const uintptr_t first = reinterpret_cast<uintptr_t>(start);
  const uintptr_t begin = (first + kHuge - 1) & ~(kHuge - 1);
  const uintptr_t end = (first + length) & ~(kHuge - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)start;
  (void)length;
#endif
}

void ReleasePages(void* start, size_t length) {
  static const long page_size = sysconf(_SC_PAGESIZE);
  const uintptr_t page = page_size > 0 ? static_cast<uintptr_t>(page_size) : 4096;
  const uintptr_t first = reinterpret_cast<uintptr_t>(start);
  const uintptr_t begin = (first + page - 1) & ~(page - 1);
  const uintptr_t end = (first + length) & ~(page - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_DONTNEED);
}

}  // namespace voxpatch
