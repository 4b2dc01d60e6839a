#include "allocationprobe.h"

#include <atomic>
#include <cstdlib>

extern "C" void* __real_malloc(size_t size);

namespace {
std::atomic<bool> g_active{false};
std::atomic<size_t> g_largest{0};
}  // namespace

extern "C" void* __wrap_malloc(size_t size) {
  if (g_active.load(std::memory_order_relaxed)) {
    size_t seen = g_largest.load(std::memory_order_relaxed);
    while (size > seen && !g_largest.compare_exchange_weak(seen, size)) {
    }
  }
  return __real_malloc(size);
}

namespace voxpatch_test {

AllocationProbe::AllocationProbe() {
  g_largest = 0;
  g_active = true;
}

AllocationProbe::~AllocationProbe() { g_active = false; }

size_t AllocationProbe::largest() const { return g_largest.load(); }

}  // namespace voxpatch_test
