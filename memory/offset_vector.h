#pragma once
// A growable list of offsets kept in 32 bits while every value fits, widened once to 64 bits
// when one does not. Row tables keep one offset per field; at half the width, a whole file's
// rows stay close to the file's own size in memory.

#include <cstddef>
#include <cstdint>
#include <limits>

#include "memory/growable_array.h"

namespace rowmender {

class OffsetVector {
 public:
  std::size_t size() const noexcept { return wide_ ? wide_values_.size() : narrow_values_.size(); }
  bool empty() const noexcept { return size() == 0; }

  std::uint64_t operator[](std::size_t i) const noexcept { return wide_ ? wide_values_[i] : narrow_values_[i]; }

  void push_back(std::uint64_t value) {
    if (!wide_) {
      if (value <= std::numeric_limits<std::uint32_t>::max()) [[likely]] {
        narrow_values_.push_back(static_cast<std::uint32_t>(value));
        return;
      }
      widen();
    }
    wide_values_.push_back(value);
  }

  // Replaces a value; the new value must keep the list non-decreasing.
  void set(std::size_t i, std::uint64_t value) {
    if (!wide_ && value > std::numeric_limits<std::uint32_t>::max()) widen();
    if (wide_) {
      wide_values_[i] = value;
    } else {
      narrow_values_[i] = static_cast<std::uint32_t>(value);
    }
  }

  // Appends `count` copies of `value`. Room is reserved first, so an impossible count fails
  // with std::length_error or std::bad_alloc before anything is written.
  void append_copies(std::uint64_t value, std::uint64_t count);

  // Reserves room for `count` values of the current width.
  void reserve(std::size_t count);

  // Drops the values from `new_size` on; a list no longer than that is left as it is.
  void truncate(std::size_t new_size) noexcept;
  void clear() noexcept;

 private:
  void widen();

  // A whole file's offsets: huge pages spare a page fault per 4 KiB as they are written.
  GrowableArray<std::uint32_t> narrow_values_;
  GrowableArray<std::uint64_t> wide_values_;
  bool wide_ = false;
};

}  // namespace rowmender
