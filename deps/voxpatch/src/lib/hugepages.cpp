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

size_t SystemPageSize() {
  static const size_t page = [] {
    const long size = ::sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<size_t>(size) : size_t(4096);
  }();
  return page;
}

void ReleasePages(void* start, size_t length) {
  const uintptr_t page = SystemPageSize();
  const uintptr_t first = reinterpret_cast<uintptr_t>(start);
  const uintptr_t begin = (first + page - 1) & ~(page - 1);
  const uintptr_t end = (first + length) & ~(page - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_DONTNEED);
}

}  // namespace voxpatch
