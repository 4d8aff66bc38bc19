#pragma once
// A growable array of trivially copyable values in a ByteBuffer. Unlike std::vector, a large
// array grows without a copy (the system moves its pages) and so without holding the old
// and the new array at once: for a huge row's field offsets that is a third of the memory.

#include <algorithm>
#include <cstddef>
#include <limits>
#include <new>
#include <type_traits>

#include "memory/byte_buffer.h"

namespace rowmender {

template <typename T>
class GrowableArray {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  T* data() noexcept { return data_; }
  const T* data() const noexcept { return data_; }
  T& operator[](std::size_t i) noexcept { return data_[i]; }
  const T& operator[](std::size_t i) const noexcept { return data_[i]; }
  T& back() noexcept { return data_[size_ - 1]; }
  const T* begin() const noexcept { return data_; }
  const T* end() const noexcept { return data_ + size_; }

  void push_back(T value) {
    if (size_ == capacity_) [[unlikely]]
      grow(size_ + 1);
    data_[size_++] = value;
  }
  // Appends `count` copies of `value`.
  void append_copies(T value, std::size_t count) {
    reserve(size_ + count);
    std::fill_n(data_ + size_, count, value);
    size_ += count;
  }
  // Room for `count` values; throws std::bad_alloc (or std::length_error) when impossible.
  void reserve(std::size_t count) {
    if (count > capacity_) grow(count);
  }
  // Drops the values from `size` on; never allocates.
  void truncate(std::size_t size) noexcept { size_ = std::min(size_, size); }
  void clear() noexcept { size_ = 0; }
  // Gives back all memory.
  void release() noexcept {
    buffer_ = ByteBuffer();
    data_ = nullptr;
    size_ = capacity_ = 0;
  }

 private:
  void grow(std::size_t needed) {
    if (needed > std::numeric_limits<std::size_t>::max() / sizeof(T) / 2) throw std::length_error("array too long");
    const std::size_t capacity = std::max({needed, 2 * capacity_, std::size_t{16}});
    buffer_.grow(capacity * sizeof(T), size_ * sizeof(T));
    data_ = reinterpret_cast<T*>(buffer_.data());
    capacity_ = buffer_.capacity() / sizeof(T);
  }

  ByteBuffer buffer_;
  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace rowmender
