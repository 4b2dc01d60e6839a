#include "hugepages.h"

#include <sys/mman.h>

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

}  // namespace voxpatch
