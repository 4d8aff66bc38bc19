#pragma once
// Sources and sinks on file descriptors. A call the system interrupts with a signal is
// retried.

#include "io/byte_stream.h"

namespace rowmender {

class FdSource final : public ByteSource {
 public:
  explicit FdSource(int fd) noexcept : fd_(fd) {}
  [[nodiscard]] Expected<std::size_t, SalvageError> read(char* buffer, std::size_t capacity) override;
  std::optional<std::uint64_t> size_hint() const override;

 private:
  int fd_;
};

class FdSink final : public ByteSink {
 public:
  explicit FdSink(int fd) noexcept : fd_(fd) {}
  [[nodiscard]] Expected<std::size_t, SalvageError> write(std::span<const iovec> pieces) override;

 private:
  int fd_;
};

}  // namespace rowmender
