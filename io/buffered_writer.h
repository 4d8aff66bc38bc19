#pragma once
// Writes whole lines to a sink through an 8192-byte buffer. A write interrupted by a signal
// (one that failed with EINTR, or wrote only part of its bytes) goes on when the sink's
// InterruptCheck allows it; when it does not, what was written stays written, the rest stays
// buffered, and the call fails with SalvageError::interrupted().

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "error/salvage_error.h"
#include "io/byte_stream.h"
#include "io/fd_stream.h"
#include "io/interrupt_check.h"

namespace rowmender {

class BufferedWriter {
 public:
  static constexpr std::size_t kCapacity = 8192;

  // Writes to the file descriptor `fd`.
  explicit BufferedWriter(int fd, InterruptCheck on_interrupt = {});
  // Writes to `sink`, which must outlive the writer.
  explicit BufferedWriter(ByteSink& sink);
  BufferedWriter(const BufferedWriter&) = delete;
  BufferedWriter& operator=(const BufferedWriter&) = delete;
  // Makes one last attempt to write what is still buffered and ignores the outcome; none
  // after an interruption said to give up, which a blocked write would only repeat.
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
  // Hands every buffered byte to the sink.
  [[nodiscard]] std::optional<SalvageError> flush();

  // Bytes handed to the sink so far.
  std::uint64_t bytes_written() const noexcept { return written_; }

 private:
  [[nodiscard]] std::optional<SalvageError> write_out_buffer();
  [[nodiscard]] std::optional<SalvageError> write_all(std::string_view bytes);
  // One write of `pieces` to the sink: how many bytes went out. A write that stopped short
  // goes on only when the sink allows it.
  [[nodiscard]] Expected<std::size_t, SalvageError> write_once(std::span<const iovec> pieces, std::size_t total);

  FdSink fd_sink_{-1};
  ByteSink* sink_;
  std::unique_ptr<char[]> buffer_;
  std::size_t used_ = 0;
  std::uint64_t written_ = 0;
  bool gave_up_ = false;  // an interruption said to give up
};

}  // namespace rowmender
