#pragma once
// Sources and sinks on file descriptors. A call the system interrupts with a signal is
// retried when the InterruptCheck allows it, else it fails with SalvageError::interrupted().

#include <sys/types.h>

#include "io/byte_stream.h"
#include "io/interrupt_check.h"

namespace rowmender {

class FdSource final : public ByteSource {
 public:
  explicit FdSource(int fd, InterruptCheck on_interrupt = {}) noexcept : fd_(fd), on_interrupt_(on_interrupt) {}
  [[nodiscard]] Expected<std::size_t, SalvageError> read(char* buffer, std::size_t capacity) override;
  std::optional<std::uint64_t> size_hint() const override;
  int regular_file_descriptor() const override;
  bool mark_start() override;
  [[nodiscard]] std::optional<SalvageError> rewind() override;

 private:
  int fd_;
  InterruptCheck on_interrupt_;
  off_t start_ = -1;  // where mark_start() found a regular file
};

class FdSink final : public ByteSink {
 public:
  explicit FdSink(int fd, InterruptCheck on_interrupt = {}) noexcept : fd_(fd), on_interrupt_(on_interrupt) {}
  [[nodiscard]] Expected<std::size_t, SalvageError> write(std::span<const iovec> pieces) override;
  [[nodiscard]] std::optional<SalvageError> after_short_write() override;
  int regular_file_descriptor() const override;

 private:
  int fd_;
  InterruptCheck on_interrupt_;
};

}  // namespace rowmender
