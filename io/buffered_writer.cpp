#include "io/buffered_writer.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace rowmender {

BufferedWriter::BufferedWriter(int fd, InterruptCheck on_interrupt)
    : fd_(fd), on_interrupt_(on_interrupt), buffer_(std::make_unique_for_overwrite<char[]>(kCapacity)) {}

BufferedWriter::~BufferedWriter() {
  if (!gave_up_) (void)write_out_buffer();
}

std::optional<SalvageError> BufferedWriter::write(std::string_view line) {
  if (line.size() < kCapacity - used_) {
    std::memcpy(buffer_.get() + used_, line.data(), line.size());
    used_ += line.size();
    return std::nullopt;
  }
  if (auto error = write_out_buffer()) return error;
  if (line.size() < kCapacity) {
    std::memcpy(buffer_.get(), line.data(), line.size());
    used_ = line.size();
    return std::nullopt;
  }
  return write_all(line);
}

std::optional<SalvageError> BufferedWriter::write_gathered(std::span<iovec> pieces) {
  if (auto error = write_out_buffer()) return error;
  std::size_t first = 0;
  while (first < pieces.size()) {
    const int count = static_cast<int>(std::min<std::size_t>(pieces.size() - first, IOV_MAX));
    const ssize_t n = ::writev(fd_, pieces.data() + first, count);
    if (n < 0) {
      if (errno != EINTR) return SalvageError::from_errno(errno);
      if (auto error = after_interrupt()) return error;
      continue;
    }
    if (n == 0) return SalvageError::with_text("failed to write whole buffer");
    // Skip what went out; a piece written in part is shortened to its rest.
    const std::size_t end = first + static_cast<std::size_t>(count);
    auto left = static_cast<std::size_t>(n);
    while (first < pieces.size() && left >= pieces[first].iov_len) left -= pieces[first++].iov_len;
    if (left > 0) {
      pieces[first].iov_base = static_cast<char*>(pieces[first].iov_base) + left;
      pieces[first].iov_len -= left;
    }
    if (first < end) {
      if (auto error = after_interrupt()) return error;
    }
  }
  return std::nullopt;
}

std::optional<SalvageError> BufferedWriter::flush() { return write_out_buffer(); }

std::optional<SalvageError> BufferedWriter::write_out_buffer() {
  std::size_t written = 0;
  std::optional<SalvageError> error;
  while (written < used_) {
    const ssize_t n = ::write(fd_, buffer_.get() + written, used_ - written);
    if (n > 0) {
      written += static_cast<std::size_t>(n);
      if (written < used_ && (error = after_interrupt())) break;
    } else if (n == 0) {
      error = SalvageError::with_text("failed to write the buffered data");
      break;
    } else if (errno != EINTR) {
      error = SalvageError::from_errno(errno);
      break;
    } else if ((error = after_interrupt())) {
      break;
    }
  }
  // Whatever did not reach the file stays buffered, at the front.
  std::memmove(buffer_.get(), buffer_.get() + written, used_ - written);
  used_ -= written;
  return error;
}

std::optional<SalvageError> BufferedWriter::write_all(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
      if (bytes.empty()) break;
      if (auto error = after_interrupt()) return error;
    } else if (n == 0) {
      return SalvageError::with_text("failed to write whole buffer");
    } else if (errno != EINTR) {
      return SalvageError::from_errno(errno);
    } else if (auto error = after_interrupt()) {
      return error;
    }
  }
  return std::nullopt;
}

std::optional<SalvageError> BufferedWriter::after_interrupt() {
  if (on_interrupt_.allows_retry()) return std::nullopt;
  gave_up_ = true;
  return SalvageError::interrupted();
}

}  // namespace rowmender
