#pragma once
// Memory for big buffers, mapped in 2 MiB-aligned stretches that the kernel is asked to back
// with transparent huge pages. The first write to every 4 KiB page costs a fault, and on a
// virtual machine a far dearer one than on bare metal (each new page is also mapped by the
// host): for a 100 MB file that was most of the time spent reading it. One huge page takes
// the place of 512 small ones. Where huge pages are off, this is an ordinary mapping.

#include <cstddef>
#include <new>

namespace rowmender {

// Maps at least `bytes` bytes, starting on a huge page boundary. With `populate`, the pages
// are made present (and writable) before the call returns, which is cheaper than faulting
// them in one by one when the whole buffer is about to be written. Throws std::bad_alloc.
char* map_large_pages(std::size_t bytes, bool populate);
// Releases a mapping made by map_large_pages for the same `bytes`.
void unmap_large_pages(char* pages, std::size_t bytes) noexcept;
// Releases the part of such a mapping past its first `keep` bytes; it is then a mapping
// of `keep` bytes.
void unmap_large_pages_after(char* pages, std::size_t bytes, std::size_t keep) noexcept;

// Below this, the heap serves as well as a mapping.
inline constexpr std::size_t kLargePagesFrom = std::size_t{1} << 20;

// A standard allocator that maps large arrays as above and takes small ones from the heap,
// for containers that may grow to a whole file's size.
template <typename T>
struct LargePageAllocator {
  using value_type = T;

  LargePageAllocator() = default;
  template <typename U>
  LargePageAllocator(const LargePageAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kLargePagesFrom) return static_cast<T*>(::operator new(bytes));
    return reinterpret_cast<T*>(map_large_pages(bytes, false));
  }
  void deallocate(T* p, std::size_t n) noexcept {
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kLargePagesFrom) {
      ::operator delete(p);
    } else {
      unmap_large_pages(reinterpret_cast<char*>(p), bytes);
    }
  }

  template <typename U>
  bool operator==(const LargePageAllocator<U>&) const noexcept {
    return true;
  }
};

}  // namespace rowmender
