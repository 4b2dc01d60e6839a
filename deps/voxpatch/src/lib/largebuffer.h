// Storage for large buffers, mapped from the system directly: a freed
// buffer is handed back at once (the heap may keep it, which matters when
// one large buffer is freed so that the next can take its place), and a
// growing buffer is moved without copying where the system can remap.

#ifndef VOXPATCH_LARGEBUFFER_H
#define VOXPATCH_LARGEBUFFER_H

#include <cstddef>

namespace voxpatch {

// Buffers from this size on are mapped.
constexpr size_t kLargeBufferMinimum = 1u << 20;

// A zero-filled buffer of at least bytes bytes, or null.
void* AllocateLargeBuffer(size_t bytes);
// Resizes a buffer made by AllocateLargeBuffer, keeping its first used
// bytes; null (with the old buffer untouched) when memory runs out.
void* ResizeLargeBuffer(void* buffer, size_t old_bytes, size_t new_bytes, size_t used);
void FreeLargeBuffer(void* buffer, size_t bytes);

}  // namespace voxpatch

#endif  // VOXPATCH_LARGEBUFFER_H
