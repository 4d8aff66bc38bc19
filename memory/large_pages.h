#pragma once
// Memory for big buffers, mapped in 2 MiB-aligned stretches that the kernel is asked to back
// with transparent huge pages. The first write to every 4 KiB page costs a fault, and on a
// virtual machine a far dearer one than on bare metal (each new page is also mapped by the
// host): for a 100 MB file that was most of the time spent reading it. One huge page takes
// the place of 512 small ones. Where huge pages are off, this is an ordinary mapping.

#include <cstddef>

namespace rowmender {

// Maps at least `bytes` bytes, starting on a huge page boundary. Throws std::bad_alloc.
char* map_large_pages(std::size_t bytes);
// Releases a mapping made by map_large_pages for the same `bytes`.
void unmap_large_pages(char* pages, std::size_t bytes) noexcept;
// Grows (or shrinks) such a mapping to `new_bytes`, its content kept, where the system can
// without copying (Linux's mremap): the new start, or nullptr where it cannot, the mapping
// then left as it was.
char* remap_large_pages(char* pages, std::size_t bytes, std::size_t new_bytes) noexcept;
// Releases the part of such a mapping past its first `keep` bytes; it is then a mapping
// of `keep` bytes.
void unmap_large_pages_after(char* pages, std::size_t bytes, std::size_t keep) noexcept;

// Gives the memory under the whole pages between `begin` and `end`, which lie in such a
// mapping, back to the system: the mapping stays, and those bytes read as zero until written.
void release_pages_within(char* begin, char* end) noexcept;
// Below this, the heap serves as well as a mapping.
inline constexpr std::size_t kLargePagesFrom = std::size_t{1} << 20;

}  // namespace rowmender
