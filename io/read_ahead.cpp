#include "io/read_ahead.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

namespace rowmender {

std::unique_ptr<ReadAhead> ReadAhead::start(int fd) noexcept {
  try {
    auto ahead = std::make_unique<ReadAhead>(fd);
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &before);
    try {
      ahead->thread_ = std::thread([reader = ahead.get()] { reader->run(); });
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

ReadAhead::~ReadAhead() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void ReadAhead::request(char* buffer, std::size_t capacity, Write first) noexcept {
  {
    const std::lock_guard lock(mutex_);
    buffer_ = buffer;
    capacity_ = capacity;
    write_ = first;
    requested_ = true;
    done_ = false;
  }
  changed_.notify_all();
}

ReadAhead::Result ReadAhead::wait() noexcept {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return done_; });
  done_ = false;
  return result_;
}

void ReadAhead::run() noexcept {
  std::unique_lock lock(mutex_);
  while (true) {
    changed_.wait(lock, [this] { return requested_ || stopping_; });
    if (stopping_) return;
    requested_ = false;
    char* const buffer = buffer_;
    const std::size_t capacity = capacity_;
    const Write write = write_;
    lock.unlock();
    Result result;
    if (!write.pieces.empty()) write_all(write, result);
    while (result.bytes < capacity) {
      const ssize_t got = ::read(fd_, buffer + result.bytes, capacity - result.bytes);
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
    result_ = result;
    done_ = true;
    changed_.notify_all();
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
