#include "io/read_ahead.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "io/fork_count.h"

namespace rowmender {

std::unique_ptr<ReadAhead> ReadAhead::start(int fd) noexcept {
  try {
    // A thread started before the last fork does not exist in this process.
    if (!watch_forks()) return nullptr;
    auto ahead = std::make_unique<ReadAhead>(Key{});
    ahead->shared_ = std::make_unique<Shared>(fd);
    ahead->generation_ = forks_so_far();
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &before);
    try {
      ahead->thread_ = std::make_unique<std::thread>([shared = ahead->shared_.get()] { run(*shared); });
    } catch (...) {
      pthread_sigmask(SIG_SETMASK, &before, nullptr);
      return nullptr;
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return ahead;
  } catch (...) {
    // No memory for the object or no thread to be had: reading without one is only slower.
    return nullptr;
  }
}

bool ReadAhead::orphaned() const noexcept { return generation_ != forks_so_far(); }

ReadAhead::~ReadAhead() {
  if (!thread_) return;
  if (orphaned()) {
    // The thread's lock or condition may be held for ever here: left as they are.
    (void)shared_.release();
    (void)thread_.release();
    return;
  }
  {
    const std::lock_guard lock(shared_->mutex);
    shared_->stopping = true;
  }
  shared_->changed.notify_all();
  thread_->join();
}

void ReadAhead::request(char* buffer, std::size_t capacity, Write first) noexcept {
  if (orphaned()) return;
  {
    const std::lock_guard lock(shared_->mutex);
    shared_->buffer = buffer;
    shared_->capacity = capacity;
    shared_->write = first;
    shared_->requested = true;
    shared_->done = false;
  }
  shared_->changed.notify_all();
}

ReadAhead::Result ReadAhead::wait() noexcept {
  if (orphaned()) {
    Result failed;
    failed.error = failed.write_error = ECHILD;
    return failed;
  }
  std::unique_lock lock(shared_->mutex);
  shared_->changed.wait(lock, [this] { return shared_->done; });
  shared_->done = false;
  return shared_->result;
}

void ReadAhead::run(Shared& shared) noexcept {
  std::unique_lock lock(shared.mutex);
  while (true) {
    shared.changed.wait(lock, [&shared] { return shared.requested || shared.stopping; });
    if (shared.stopping) return;
    shared.requested = false;
    char* const buffer = shared.buffer;
    const std::size_t capacity = shared.capacity;
    const Write write = shared.write;
    lock.unlock();
    Result result;
    if (!write.pieces.empty()) write_all(write, result);
    while (result.bytes < capacity) {
      const ssize_t got = ::read(shared.fd, buffer + result.bytes, capacity - result.bytes);
      if (got > 0) {
        result.bytes += static_cast<std::size_t>(got);
      } else if (got == 0) {
        result.at_end = true;
        break;
      } else if (errno != EINTR) {
        result.error = errno;
        break;
      }
    }
    lock.lock();
    shared.result = result;
    shared.done = true;
    shared.changed.notify_all();
  }
}

void ReadAhead::write_all(const Write& write, Result& result) noexcept {
  // The pieces stay as given (the caller may need the rest after a failure); each call
  // takes a copy of the next batch, its first piece shortened by what already went out.
  constexpr std::size_t kBatch = 256;
  std::array<iovec, kBatch> batch;
  std::size_t first = 0, skip = 0;  // the next piece, and its bytes already written
  while (first < write.pieces.size()) {
    const std::size_t count = std::min(kBatch, write.pieces.size() - first);
    std::copy_n(write.pieces.begin() + static_cast<std::ptrdiff_t>(first), count, batch.begin());
    batch[0].iov_base = static_cast<char*>(batch[0].iov_base) + skip;
    batch[0].iov_len -= skip;
    std::size_t total = 0;
    for (std::size_t i = 0; i < count; ++i) total += batch[i].iov_len;
    if (total == 0) {
      first += count;
      skip = 0;
      continue;
    }
    const ssize_t n = ::writev(write.fd, batch.data(), static_cast<int>(count));
    if (n < 0) {
      if (errno == EINTR) continue;
      result.write_error = errno;
      return;
    }
    if (n == 0) {
      result.write_error = EIO;
      return;
    }
    result.written += static_cast<std::size_t>(n);
    std::size_t left = static_cast<std::size_t>(n) + skip;
    while (first < write.pieces.size() && left >= write.pieces[first].iov_len) left -= write.pieces[first++].iov_len;
    skip = left;
  }
}

}  // namespace rowmender
