#include "memory/byte_buffer.h"

#include "memory/large_pages.h"

namespace rowmender {

ByteBuffer::ByteBuffer(std::size_t capacity) : capacity_(capacity) {
  if (capacity < kLargePagesFrom) {
    heap_ = std::make_unique_for_overwrite<char[]>(capacity);
    return;
  }
  mapped_ = std::unique_ptr<char, Unmap>(map_large_pages(capacity), Unmap{capacity});
}

void ByteBuffer::grow(std::size_t capacity, std::size_t used) {
  if (capacity <= capacity_) return;
  if (mapped_ && capacity >= kLargePagesFrom) {
    if (char* moved = remap_large_pages(mapped_.get(), capacity_, capacity)) {
      (void)mapped_.release();
      mapped_ = std::unique_ptr<char, Unmap>(moved, Unmap{capacity});
      capacity_ = capacity;
      return;
    }
  }
  ByteBuffer bigger(capacity);
  if (used != 0) std::memcpy(bigger.data(), data(), used);
  *this = std::move(bigger);
}

void ByteBuffer::shrink_to(std::size_t capacity) noexcept {
  if (!mapped_ || capacity >= capacity_) return;
  if (capacity == 0) {
    mapped_.reset();
    capacity_ = 0;
    return;
  }
  unmap_large_pages_after(mapped_.get(), capacity_, capacity);
  mapped_.get_deleter().length = capacity;
  capacity_ = capacity;
}

void ByteBuffer::Unmap::operator()(char* pages) const noexcept { unmap_large_pages(pages, length); }

}  // namespace rowmender
