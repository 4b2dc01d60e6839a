// Growable array of plain elements that never throws.
//
// Memory comes from malloc, for large arrays from the system directly (see
// largebuffer.h); a failed allocation frees the contents and puts
// the array into a sticky failed state in which every later reserve or
// append fails without effect.  Elements must be trivially copyable: they
// are moved with memcpy and are not initialised when space is reserved.

#ifndef VOXPATCH_GROWABLEARRAY_H
#define VOXPATCH_GROWABLEARRAY_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <type_traits>

#include "largebuffer.h"

namespace voxpatch {

template <typename T>
class GrowableArray {
  static_assert(std::is_trivially_copyable<T>::value,
                "GrowableArray holds trivially copyable elements only");

 public:
  static constexpr size_t kStartCapacity =
      (256 / sizeof(T)) > 0 ? (256 / sizeof(T)) : 1;
  static constexpr size_t kMaxElements =
      std::numeric_limits<size_t>::max() / sizeof(T);

  GrowableArray() = default;
  ~GrowableArray() { Release(data_, capacity_); }

  GrowableArray(const GrowableArray&) = delete;
  GrowableArray& operator=(const GrowableArray&) = delete;

  GrowableArray(GrowableArray&& other) noexcept { Take(&other); }
  GrowableArray& operator=(GrowableArray&& other) noexcept {
    if (this != &other) {
      Release(data_, capacity_);
      Take(&other);
    }
    return *this;
  }

  // Makes room for n elements in total.
  bool reserve(size_t n) {
    if (failed_) return false;
    if (n <= capacity_) return true;
    if (n < kStartCapacity) n = kStartCapacity;
    T* fresh = nullptr;
    // No object may exceed PTRDIFF_MAX bytes; larger requests fail as a
    // failed allocation would.
    if (n <= kMaxElements &&
        n <= static_cast<size_t>(std::numeric_limits<ptrdiff_t>::max()) / sizeof(T)) {
      if (!IsLarge(n)) {
        fresh = static_cast<T*>(std::malloc(n * sizeof(T)));
      } else if (IsLarge(capacity_)) {
        // Moves the contents (without copying where the system remaps).
        fresh = static_cast<T*>(
            ResizeLargeBuffer(data_, capacity_ * sizeof(T), n * sizeof(T), size_ * sizeof(T)));
        if (fresh != nullptr) {
          data_ = fresh;
          capacity_ = n;
          return true;
        }
      } else {
        fresh = static_cast<T*>(AllocateLargeBuffer(n * sizeof(T)));
      }
    }
    if (fresh == nullptr) {
      Release(data_, capacity_);
      data_ = nullptr;
      size_ = 0;
      capacity_ = 0;
      failed_ = true;
      return false;
    }
    if (size_ != 0) std::memcpy(fresh, data_, size_ * sizeof(T));
    Release(data_, capacity_);
    data_ = fresh;
    capacity_ = n;
    return true;
  }

  // Appends n elements copied from source.
  bool append(const T* source, size_t n) {
    if (!EnsureRoom(n)) return false;
    if (n == 0) return true;
    // Implied by the room just made; stated for the compiler's bounds checks.
    if (n > static_cast<size_t>(std::numeric_limits<ptrdiff_t>::max()) / sizeof(T))
      return false;
    std::memcpy(data_ + size_, source, n * sizeof(T));
    size_ += n;
    return true;
  }

  bool push_back(const T& value) { return append(&value, 1); }

  // Makes room for n more elements behind the ones in use, growing by
  // doubling but never past cap elements in total; returns false (and may
  // enter the failed state) otherwise.  Asking for more than cap allows
  // fails without allocating and without entering the failed state.
  bool EnsureRoom(size_t n, size_t cap = kMaxElements) {
    if (failed_) return false;
    if (cap > kMaxElements) cap = kMaxElements;
    if (size_ > cap || n > cap - size_) return false;
    if (n <= capacity_ - size_) return true;
    size_t wanted = size_ + n;
    size_t grown = capacity_ != 0 ? capacity_ : kStartCapacity;
    while (grown < wanted) {
      if (grown > cap / 2) {
        grown = cap;
        break;
      }
      grown *= 2;
    }
    if (grown > cap) grown = cap;
    return reserve(grown);
  }

  // Sets the number of elements in use to n, which must not exceed the
  // capacity; elements between the old and the new size are whatever was
  // written into the reserved space.
  bool set_size(size_t n) {
    if (failed_ || n > capacity_) return false;
    size_ = n;
    return true;
  }

  // Frees the storage; a failed array stays failed.
  void clear() {
    Release(data_, capacity_);
    data_ = nullptr;
    size_ = 0;
    capacity_ = 0;
  }

  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }
  bool empty() const { return size_ == 0; }
  bool failed() const { return failed_; }
  T* data() { return data_; }
  const T* data() const { return data_; }
  T& operator[](size_t i) { return data_[i]; }
  const T& operator[](size_t i) const { return data_[i]; }
  T* begin() { return data_; }
  T* end() { return data_ + size_; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }

 private:
  static bool IsLarge(size_t n) { return n >= kLargeBufferMinimum / sizeof(T); }
  static void Release(T* data, size_t capacity) {
    if (IsLarge(capacity))
      FreeLargeBuffer(data, capacity * sizeof(T));
    else
      std::free(data);
  }

  void Take(GrowableArray* other) {
    data_ = other->data_;
    size_ = other->size_;
    capacity_ = other->capacity_;
    failed_ = other->failed_;
    other->data_ = nullptr;
    other->size_ = 0;
    other->capacity_ = 0;
    other->failed_ = false;
  }

  T* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
  bool failed_ = false;
};

}  // namespace voxpatch

#endif  // VOXPATCH_GROWABLEARRAY_H
