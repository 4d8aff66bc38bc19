#pragma once
// Writes whole lines to a file descriptor through an 8192-byte buffer.

#include <sys/uio.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "error/salvage_error.h"

namespace rowmender {

class BufferedWriter {
 public:
  static constexpr std::size_t kCapacity = 8192;

  explicit BufferedWriter(int fd);
  BufferedWriter(const BufferedWriter&) = delete;
  BufferedWriter& operator=(const BufferedWriter&) = delete;
  // Makes one last attempt to write what is still buffered and ignores the outcome.
  ~BufferedWriter();

  // A line that fits in the free part of the buffer is copied into it. Otherwise the buffer
  // is written out first; then a line shorter than the buffer is copied into it, and a
  // longer one goes straight to the file.
  [[nodiscard]] std::optional<SalvageError> write(std::string_view line);
  // Writes out the buffer, then `pieces` in order straight to the file, as few system calls
  // as the system allows. For many pieces at once, where copying each into the buffer and
  // writing 8192 bytes at a time would cost more than gathering them. `pieces` may be
  // changed in the course.
  [[nodiscard]] std::optional<SalvageError> write_gathered(std::span<iovec> pieces);
  // Hands every buffered byte to the operating system.
  [[nodiscard]] std::optional<SalvageError> flush();

 private:
  [[nodiscard]] std::optional<SalvageError> write_out_buffer();
  [[nodiscard]] std::optional<SalvageError> write_all(std::string_view bytes);

  int fd_;
  std::unique_ptr<char[]> buffer_;
  std::size_t used_ = 0;
};

}  // namespace rowmender
