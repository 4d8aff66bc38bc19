#include "memory/large_pages.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <new>

namespace rowmender {
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

// The mapping ends at the first small page boundary after `bytes`: its last, partial huge
// page is made of small pages, so no more memory is held than the bytes need.
std::size_t whole_small_pages(std::size_t bytes) {
  static const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return (bytes + page - 1) / page * page;
}

}  // namespace

char* map_large_pages(std::size_t bytes) {
  if (bytes > SIZE_MAX - 2 * kHugePage) throw std::bad_alloc();
  const std::size_t length = whole_small_pages(bytes);
  // Map one huge page more than needed and trim both ends, so the stretch starts on a huge
  // page boundary: only aligned 2 MiB stretches can be backed by huge pages.
  void* mapped = ::mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) throw std::bad_alloc();
  const auto start = reinterpret_cast<std::uintptr_t>(mapped);
  const std::uintptr_t aligned = (start + kHugePage - 1) & ~(std::uintptr_t{kHugePage} - 1);
  char* pages = static_cast<char*>(mapped) + (aligned - start);
  if (aligned != start) ::munmap(mapped, aligned - start);
  if (const std::size_t tail = kHugePage - (aligned - start); tail != 0) ::munmap(pages + length, tail);

#if defined(MADV_HUGEPAGE)
  // Advice, and Linux's own: where it is refused or unknown, the mapping still works, with
  // small pages. The pages are not made present beforehand (MADV_POPULATE_WRITE): measured
  // on a virtual machine where other programs come and go, populating took 0.15-0.18 s for
  // 100 MB every time, while faulting huge pages in as the bytes arrive took 0.02-0.03 s
  // nine times in ten (and 0.16 s at worst).
  ::madvise(pages, length, MADV_HUGEPAGE);
#endif
  return pages;
}

void unmap_large_pages(char* pages, std::size_t bytes) noexcept { ::munmap(pages, whole_small_pages(bytes)); }

char* remap_large_pages(char* pages, std::size_t bytes, std::size_t new_bytes) noexcept {
#if defined(MREMAP_MAYMOVE)
  // The kernel moves the page table entries, not the bytes: no copy, and the old and the new
  // stretch are never both resident.
  void* moved = ::mremap(pages, whole_small_pages(bytes), whole_small_pages(new_bytes), MREMAP_MAYMOVE);
  if (moved == MAP_FAILED) return nullptr;
#if defined(MADV_HUGEPAGE)
  ::madvise(moved, whole_small_pages(new_bytes), MADV_HUGEPAGE);
#endif
  return static_cast<char*>(moved);
#else
  (void)pages, (void)bytes, (void)new_bytes;
  return nullptr;
#endif
}

void release_pages_within(char* begin, char* end) noexcept {
  static const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  const std::size_t to_first_page = (page - reinterpret_cast<std::uintptr_t>(begin) % page) % page;
  if (end - begin <= static_cast<std::ptrdiff_t>(to_first_page)) return;
  char* const first = begin + to_first_page;
  const std::size_t length = static_cast<std::size_t>(end - first) / page * page;
#if defined(MADV_DONTNEED)
  if (length != 0) ::madvise(first, length, MADV_DONTNEED);
#else
  (void)length;
#endif
}

void unmap_large_pages_after(char* pages, std::size_t bytes, std::size_t keep) noexcept {
  const std::size_t kept = whole_small_pages(keep), mapped = whole_small_pages(bytes);
  if (kept < mapped) ::munmap(pages + kept, mapped - kept);
}

}  // namespace rowmender
