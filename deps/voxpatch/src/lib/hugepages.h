// Advice for large buffers that are written from start to end: backing them
// with huge pages saves most of their page faults.

#ifndef VOXPATCH_HUGEPAGES_H
#define VOXPATCH_HUGEPAGES_H

#include <cstddef>

namespace voxpatch {

// Buffers from this size on get the advice.
constexpr size_t kHugePageAdviceMinimum = 4u << 20;

// Advises the whole huge pages inside [start, start + length); harmless
// where the system has no such advice.
void AdviseHugePages(void* start, size_t length);

// The system's page size (looked up once).
size_t SystemPageSize();

// Hands the whole pages inside [start, start + length) back to the system
// while the memory stays allocated: for a buffer whose front has been read
// for the last time.  Those pages read as zero afterwards.
void ReleasePages(void* start, size_t length);

}  // namespace voxpatch

#endif  // VOXPATCH_HUGEPAGES_H
