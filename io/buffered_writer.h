#pragma once
// Writes whole lines to a file descriptor through an 8192-byte buffer. A write interrupted by
// a signal (one that failed with EINTR, or wrote only part of its bytes) goes on when the
// InterruptCheck allows it; when it does not, what was written stays written, the rest stays
// buffered, and the call fails with SalvageError::interrupted().

#include <sys/uio.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "error/salvage_error.h"
#include "io/interrupt_check.h"

namespace rowmender {

class BufferedWriter {
 public:
  static constexpr std::size_t kCapacity = 8192;

  explicit BufferedWriter(int fd, InterruptCheck on_interrupt = {});
  BufferedWriter(const BufferedWriter&) = delete;
  BufferedWriter& operator=(const BufferedWriter&) = delete;
  // Makes one last attempt to write what is still buffered and ignores the outcome; none
  // after the InterruptCheck said to give up, which a blocked write would only repeat.
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
  // After a write failed with EINTR, or wrote less than it was given, which is how a signal
  // that arrives once some bytes went out shows: nothing when the write may go on, else
  // the error.
  [[nodiscard]] std::optional<SalvageError> after_interrupt();

  int fd_;
  InterruptCheck on_interrupt_;
  bool gave_up_ = false;  // the InterruptCheck said to give up
  std::unique_ptr<char[]> buffer_;
  std::size_t used_ = 0;
};

}  // namespace rowmender
