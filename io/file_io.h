#pragma once
// POSIX file access for the engine: whole-file reads, created files, descriptors that close
// themselves. A call interrupted by a signal is retried when the InterruptCheck allows it
// (the default always does) and fails with SalvageError::interrupted() when it does not;
// errors come back as values.

#include <cstddef>
#include <memory>
#include <string_view>
#include <utility>

#include "error/expected.h"
#include "error/salvage_error.h"
#include "io/interrupt_check.h"
#include "memory/byte_buffer.h"

namespace rowmender {

// Owns a file descriptor and closes it on destruction, ignoring errors from close itself.
class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor();

  int get() const noexcept { return fd_; }

 private:
  int fd_ = -1;
};

// A file's whole content.
class FileContent {
 public:
  FileContent() = default;
  std::string_view bytes() const noexcept { return {buffer_.data(), size_}; }
  // Hands over the memory that holds the bytes (its first size() bytes), leaving this empty.
  ByteBuffer release() noexcept {
    size_ = 0;
    return std::move(buffer_);
  }
  std::size_t size() const noexcept { return size_; }

 private:
  friend Expected<FileContent, SalvageError> read_to_end(const FileDescriptor& file,
                                                         const InterruptCheck& on_interrupt);
  ByteBuffer buffer_;
  std::size_t size_ = 0;
};

[[nodiscard]] Expected<FileDescriptor, SalvageError> open_for_reading(std::string_view path,
                                                                      const InterruptCheck& on_interrupt = {});
// Creates or truncates, with permission bits 0o666 before the process's umask.
[[nodiscard]] Expected<FileDescriptor, SalvageError> create_for_writing(std::string_view path,
                                                                        const InterruptCheck& on_interrupt = {});
[[nodiscard]] Expected<FileContent, SalvageError> read_to_end(const FileDescriptor& file,
                                                              const InterruptCheck& on_interrupt = {});
// Opens, reads whole and closes.
[[nodiscard]] Expected<FileContent, SalvageError> read_whole_file(std::string_view path,
                                                                  const InterruptCheck& on_interrupt = {});

}  // namespace rowmender
