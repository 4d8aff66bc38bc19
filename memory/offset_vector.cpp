#include "memory/offset_vector.h"

#include <stdexcept>

namespace rowmender {

void OffsetVector::append_copies(std::uint64_t value, std::uint64_t count) {
  if (count == 0) return;
  if (!wide_ && value > std::numeric_limits<std::uint32_t>::max()) widen();
  const std::uint64_t needed = size() + count;
  if (needed < count || needed > static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max())) {
    throw std::length_error("row too wide");
  }
  if (wide_) {
    wide_values_.reserve(static_cast<std::size_t>(needed));
    wide_values_.insert(wide_values_.end(), static_cast<std::size_t>(count), value);
  } else {
    narrow_values_.reserve(static_cast<std::size_t>(needed));
    narrow_values_.insert(narrow_values_.end(), static_cast<std::size_t>(count), static_cast<std::uint32_t>(value));
  }
}

void OffsetVector::reserve(std::size_t count) {
  if (wide_) {
    wide_values_.reserve(count);
  } else {
    narrow_values_.reserve(count);
  }
}

void OffsetVector::truncate(std::size_t new_size) noexcept {
  // erase, not resize: resize may also grow, and so allocate and throw; erasing from the end
  // only moves the end.
  if (new_size >= size()) return;
  if (wide_) {
    wide_values_.erase(wide_values_.begin() + static_cast<std::ptrdiff_t>(new_size), wide_values_.end());
  } else {
    narrow_values_.erase(narrow_values_.begin() + static_cast<std::ptrdiff_t>(new_size), narrow_values_.end());
  }
}

void OffsetVector::clear() noexcept {
  narrow_values_.clear();
  wide_values_.clear();
  wide_ = false;
}

void OffsetVector::widen() {
  wide_values_.reserve(narrow_values_.size() * 2 + 1);
  wide_values_.assign(narrow_values_.begin(), narrow_values_.end());
  decltype(narrow_values_)().swap(narrow_values_);
  wide_ = true;
}

}  // namespace rowmender
