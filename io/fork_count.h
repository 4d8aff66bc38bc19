#pragma once
// Forks of this process, counted in each child as it starts: what was made before a fork
// and belongs to the parent (a thread, which the child does not have; a descriptor whose
// offset the two processes now share) can tell that it is now in another process.

#include <pthread.h>

#include <atomic>

namespace rowmender {
namespace fork_count_detail {
inline std::atomic<unsigned> forks{0};
inline void count_fork() noexcept { forks.fetch_add(1, std::memory_order_relaxed); }
}  // namespace fork_count_detail

// Starts counting (once per process); false when the count cannot be kept (no memory for
// the fork handler).
inline bool watch_forks() noexcept {
  static const bool watching = ::pthread_atfork(nullptr, nullptr, fork_count_detail::count_fork) == 0;
  return watching;
}

// The forks counted so far: an object that noted the count when it was made is in the
// process that made it while the count is unchanged.
inline unsigned forks_so_far() noexcept { return fork_count_detail::forks.load(std::memory_order_relaxed); }

}  // namespace rowmender
