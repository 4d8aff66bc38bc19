#include "parser/byte_buffer.h"

#include <sys/mman.h>

#include <new>

namespace rowmender {
namespace {

// Below this, the heap serves as well as a mapping.
constexpr std::size_t kMapAtLeast = std::size_t{1} << 20;

}  // namespace

ByteBuffer::ByteBuffer(std::size_t capacity, Fill fill) : capacity_(capacity) {
  if (capacity < kMapAtLeast || fill == Fill::Partly) {
    heap_ = std::make_unique_for_overwrite<char[]>(capacity);
    return;
  }
  void* pages = ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
  if (pages == MAP_FAILED) throw std::bad_alloc();
  mapped_ = std::unique_ptr<char, Unmap>(static_cast<char*>(pages), Unmap{capacity});
}

void ByteBuffer::Unmap::operator()(char* pages) const noexcept { ::munmap(pages, length); }

}  // namespace rowmender
