#pragma once
// Raw memory for bytes that are written once before they are read: not zero-filled.

#include <cstddef>
#include <cstring>
#include <memory>

namespace rowmender {

// Large buffers are mapped in huge pages (memory/large_pages.h), small ones come from the
// heap. Throws std::bad_alloc.
class ByteBuffer {
 public:
  ByteBuffer() = default;
  explicit ByteBuffer(std::size_t capacity);

  char* data() const noexcept { return mapped_ ? mapped_.get() : heap_.get(); }
  std::size_t capacity() const noexcept { return capacity_; }

  // Makes room for `capacity` bytes, the first `used` of them kept: large buffers are moved
  // by the system without copying where it can, others are copied. Throws std::bad_alloc.
  void grow(std::size_t capacity, std::size_t used);

  // Gives back the memory past the first `capacity` bytes, which keep their place and
  // content, where that is possible without moving them (the pages of a mapping); a small
  // buffer from the heap stays as it is.
  void shrink_to(std::size_t capacity) noexcept;

 private:
  struct Unmap {
    std::size_t length;
    void operator()(char* pages) const noexcept;
  };
  std::unique_ptr<char[]> heap_;
  std::unique_ptr<char, Unmap> mapped_{nullptr, Unmap{0}};
  std::size_t capacity_ = 0;
};

}  // namespace rowmender
