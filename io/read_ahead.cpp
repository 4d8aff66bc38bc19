#include "io/read_ahead.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

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

void ReadAhead::request(char* buffer, std::size_t capacity) noexcept {
  {
    const std::lock_guard lock(mutex_);
    buffer_ = buffer;
    capacity_ = capacity;
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
    lock.unlock();
    Result result;
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

}  // namespace rowmender
