#pragma once
// Sources and sinks in memory for stream tests: a source that hands out its bytes in reads
// of random sizes, a regular file that lives in memory, a sink that keeps what it is given.

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <string_view>

#include "io/byte_stream.h"

namespace rowmender::test {

class PiecewiseSource final : public ByteSource {
 public:
  // Reads return between 1 and `longest` bytes (fewer at the end).
  PiecewiseSource(std::string_view bytes, std::size_t longest, std::uint64_t seed)
      : bytes_(bytes), longest_(std::max<std::size_t>(longest, 1)), rng_(seed) {}

  Expected<std::size_t, SalvageError> read(char* buffer, std::size_t capacity) override {
    const std::size_t n = std::min({capacity, bytes_.size() - at_, 1 + static_cast<std::size_t>(rng_() % longest_)});
    if (n != 0) std::memcpy(buffer, bytes_.data() + at_, n);
    at_ += n;
    return n;
  }

 private:
  std::string_view bytes_;
  std::size_t longest_;
  std::mt19937_64 rng_;
  std::size_t at_ = 0;
};

// A regular file with the given bytes, read from its start; closed when it goes.
class MemoryFile {
 public:
  explicit MemoryFile(std::string_view bytes) : fd_(::memfd_create("stream-test", 0)) {
    for (std::size_t at = 0; fd_ >= 0 && at < bytes.size();) {
      const ssize_t n = ::write(fd_, bytes.data() + at, bytes.size() - at);
      if (n <= 0) break;
      at += static_cast<std::size_t>(n);
    }
    if (fd_ >= 0) ::lseek(fd_, 0, SEEK_SET);
  }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;
  ~MemoryFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  int fd() const noexcept { return fd_; }
  // What the file holds now, from its start; the offset is left where it was.
  std::string contents() const {
    std::string bytes;
    char block[4096];
    for (ssize_t n; (n = ::pread(fd_, block, sizeof block, static_cast<off_t>(bytes.size()))) > 0;) {
      bytes.append(block, static_cast<std::size_t>(n));
    }
    return bytes;
  }

 private:
  int fd_;
};

class StringSink final : public ByteSink {
 public:
  Expected<std::size_t, SalvageError> write(std::span<const iovec> pieces) override {
    std::size_t n = 0;
    for (const iovec& piece : pieces) {
      bytes.append(static_cast<const char*>(piece.iov_base), piece.iov_len);
      n += piece.iov_len;
    }
    return n;
  }
  std::string bytes;
};

}  // namespace rowmender::test
