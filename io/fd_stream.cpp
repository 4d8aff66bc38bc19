#include "io/fd_stream.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace rowmender {
namespace {

bool is_regular_file(int fd) noexcept {
  struct stat info {};
  return ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}

}  // namespace

Expected<std::size_t, SalvageError> FdSource::read(char* buffer, std::size_t capacity) {
  while (true) {
    const ssize_t got = ::read(fd_, buffer, capacity);
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno != EINTR) return SalvageError::from_errno(errno);
    if (!on_interrupt_.allows_retry()) return SalvageError::interrupted();
  }
}

std::optional<std::uint64_t> FdSource::size_hint() const {
  struct stat info {};
  if (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  const off_t at = ::lseek(fd_, 0, SEEK_CUR);
  const std::uint64_t size = static_cast<std::uint64_t>(info.st_size);
  return at > 0 && static_cast<std::uint64_t>(at) <= size ? size - static_cast<std::uint64_t>(at) : size;
}

int FdSource::regular_file_descriptor() const { return is_regular_file(fd_) ? fd_ : -1; }

bool FdSource::mark_start() {
  start_ = is_regular_file(fd_) ? ::lseek(fd_, 0, SEEK_CUR) : -1;
  return start_ >= 0;
}

std::optional<SalvageError> FdSource::rewind() {
  if (::lseek(fd_, start_, SEEK_SET) < 0) return SalvageError::from_errno(errno);
  return std::nullopt;
}

int FdSink::regular_file_descriptor() const { return is_regular_file(fd_) ? fd_ : -1; }

Expected<std::size_t, SalvageError> FdSink::write(std::span<const iovec> pieces) {
  const int count = static_cast<int>(std::min<std::size_t>(pieces.size(), IOV_MAX));
  while (true) {
    const ssize_t n =
        count == 1 ? ::write(fd_, pieces[0].iov_base, pieces[0].iov_len) : ::writev(fd_, pieces.data(), count);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return SalvageError::from_errno(errno);
    if (!on_interrupt_.allows_retry()) return SalvageError::interrupted();
  }
}

}  // namespace rowmender

namespace rowmender {

std::optional<SalvageError> FdSink::after_short_write() {
  if (on_interrupt_.allows_retry()) return std::nullopt;
  return SalvageError::interrupted();
}

}  // namespace rowmender
