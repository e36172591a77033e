// Memory for large arrays that are streamed through: the input and code
// stream of blockcode, the tiles of morvalen's fast scans.
//
// On Linux an allocation of 2 MiB or more is aligned to 2 MiB, rounded up to
// whole 2 MiB pages and advised to use transparent huge pages: with 4 KiB
// pages, faulting in and walking tens of megabytes costs more time in page
// faults and TLB misses than the work itself. Smaller ones come from malloc.
// Either is released with free().
#pragma once

#include <cstddef>
#include <cstdlib>

// Uninitialised memory for `bytes` bytes, or null when out of memory.
void* allocateLarge(size_t bytes);

// An owned array from allocateLarge.
template <typename T>
class LargeArray {
 public:
  LargeArray() = default;
  LargeArray(const LargeArray&) = delete;
  LargeArray& operator=(const LargeArray&) = delete;
  LargeArray(LargeArray&& other) noexcept : data_(other.data_) { other.data_ = nullptr; }
  LargeArray& operator=(LargeArray&& other) noexcept {
    if (this != &other) {
      free(data_);
      data_ = other.data_;
      other.data_ = nullptr;
    }
    return *this;
  }
  ~LargeArray() { free(data_); }
  // Replaces the array by `count` uninitialised entries; on failure the old
  // one stays.
  bool allocate(size_t count) {
    if (count > size_t(-1) / sizeof(T)) return false;
    T* fresh = static_cast<T*>(allocateLarge(count * sizeof(T)));
    if (!fresh) return false;
    free(data_);
    data_ = fresh;
    return true;
  }
  T* data() { return data_; }
  const T* data() const { return data_; }

 private:
  T* data_ = nullptr;
};
