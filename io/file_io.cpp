#include "io/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace rowmender {
namespace {

bool holds_nul(std::string_view path) { return path.find('\0') != std::string_view::npos; }

// Opening a FIFO blocks until the other end is opened, so open is interruptible like a read.
Expected<FileDescriptor, SalvageError> open_path(std::string_view path, int flags, mode_t mode,
                                                 const InterruptCheck& on_interrupt) {
  if (holds_nul(path)) return SalvageError::with_text(kNulInPathMessage);
  const std::string c_path(path);
  while (true) {
    const int fd = ::open(c_path.c_str(), flags | O_CLOEXEC, mode);
    if (fd >= 0) return FileDescriptor(fd);
    if (errno != EINTR) return SalvageError::from_errno(errno);
    if (!on_interrupt.allows_retry()) return SalvageError::interrupted();
  }
}

}  // namespace

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

FileDescriptor::~FileDescriptor() {
  if (fd_ >= 0) ::close(fd_);
}

Expected<FileDescriptor, SalvageError> open_for_reading(std::string_view path, const InterruptCheck& on_interrupt) {
  return open_path(path, O_RDONLY, 0, on_interrupt);
}

Expected<FileDescriptor, SalvageError> create_for_writing(std::string_view path, const InterruptCheck& on_interrupt) {
  return open_path(path, O_WRONLY | O_CREAT | O_TRUNC, 0666, on_interrupt);
}

Expected<FileContent, SalvageError> read_to_end(const FileDescriptor& file, const InterruptCheck& on_interrupt) {
  FileContent content;
  // Size the buffer from the file's size when it has one; pipes and special files grow it.
  struct stat info {};
  std::size_t capacity = 0;
  if (::fstat(file.get(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
    capacity = static_cast<std::size_t>(info.st_size) + 1;
  }
  if (capacity < 4096) capacity = 4096;
  content.buffer_ = ByteBuffer(capacity);
  while (true) {
    if (content.size_ == capacity) {
      capacity *= 2;
      ByteBuffer bigger(capacity);
      std::memcpy(bigger.data(), content.buffer_.data(), content.size_);
      content.buffer_ = std::move(bigger);
    }
    const ssize_t got = ::read(file.get(), content.buffer_.data() + content.size_, capacity - content.size_);
    if (got > 0) {
      content.size_ += static_cast<std::size_t>(got);
    } else if (got == 0) {
      return content;
    } else if (errno != EINTR) {
      return SalvageError::from_errno(errno);
    } else if (!on_interrupt.allows_retry()) {
      return SalvageError::interrupted();
    }
  }
}

Expected<FileContent, SalvageError> read_whole_file(std::string_view path, const InterruptCheck& on_interrupt) {
  auto file = open_for_reading(path, on_interrupt);
  if (!file) return std::move(file).error();
  return read_to_end(file.value(), on_interrupt);
}

}  // namespace rowmender
