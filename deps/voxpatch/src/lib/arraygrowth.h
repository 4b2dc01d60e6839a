// Growth of a GrowableArray that keeps the array intact when memory runs
// out (a failing GrowableArray drops its contents, which would lose track
// of what the array owns).

#ifndef VOXPATCH_ARRAYGROWTH_H
#define VOXPATCH_ARRAYGROWTH_H

#include <cstddef>
#include <utility>

#include "growablearray.h"

namespace voxpatch {

// Makes room for n more elements, doubling the capacity as needed; false
// (with the array unchanged) when memory runs out.
template <typename T>
bool GrowPreserving(GrowableArray<T>* array, size_t n) {
  if (array->failed()) return false;
  if (n <= array->capacity() - array->size()) return true;
  if (n > GrowableArray<T>::kMaxElements - array->size()) return false;
  const size_t wanted = array->size() + n;
  size_t grown = array->capacity() != 0 ? array->capacity() : GrowableArray<T>::kStartCapacity;
  while (grown < wanted) {
    if (grown > GrowableArray<T>::kMaxElements / 2) {
      grown = GrowableArray<T>::kMaxElements;
      break;
    }
    grown *= 2;
  }
  GrowableArray<T> bigger;
  if (!bigger.reserve(grown) || !bigger.append(array->data(), array->size())) return false;
  *array = std::move(bigger);
  return true;
}

// Makes room for exactly `total` elements in all (nothing when there is
// room already); false (with the array unchanged) when memory runs out.
template <typename T>
bool ReservePreserving(GrowableArray<T>* array, size_t total) {
  if (array->failed()) return false;
  if (total <= array->capacity()) return true;
  GrowableArray<T> bigger;
  if (!bigger.reserve(total) || !bigger.append(array->data(), array->size())) return false;
  *array = std::move(bigger);
  return true;
}

}  // namespace voxpatch

#endif  // VOXPATCH_ARRAYGROWTH_H
