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
    wide_values_.append_copies(value, static_cast<std::size_t>(count));
  } else {
    narrow_values_.append_copies(static_cast<std::uint32_t>(value), static_cast<std::size_t>(count));
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
  if (wide_) {
    wide_values_.truncate(new_size);
  } else {
    narrow_values_.truncate(new_size);
  }
}

void OffsetVector::clear() noexcept {
  narrow_values_.clear();
  wide_values_.clear();
  wide_ = false;
}

void OffsetVector::widen() {
  wide_values_.reserve(narrow_values_.size() * 2 + 1);
  for (const std::uint32_t value : narrow_values_) wide_values_.push_back(value);
  narrow_values_.release();
  wide_ = true;
}

}  // namespace rowmender
