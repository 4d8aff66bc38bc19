#pragma once
// A stream's bytes seen through a window that slides forward: what has not been consumed
// yet stays in memory, at the front, and more is read behind it. The window grows when its
// unconsumed part does (a row longer than a chunk), doubling so that reading every byte
// again costs linear time in all.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "error/salvage_error.h"
#include "io/byte_stream.h"
#include "memory/byte_buffer.h"

namespace rowmender {

// How much a window should hold for its next walk when `left` bytes of it are left over
// (a row that runs on past its end): at least a chunk of new bytes, and half again what is
// left over, so that a long row is read again only a logarithmic number of times and the
// window holds at most about one and a half times the row.
inline std::size_t next_window_size(std::size_t left, std::size_t chunk) noexcept {
  return left + (left / 2 > chunk ? left / 2 : chunk);
}

class StreamWindow {
 public:
  std::string_view view() const noexcept { return {buffer_.data(), size_}; }
  std::size_t size() const noexcept { return size_; }
  bool at_end() const noexcept { return at_end_; }
  std::uint64_t bytes_read() const noexcept { return bytes_read_; }

  // Reads until the window holds at least `bytes` bytes or the input has ended.
  [[nodiscard]] std::optional<SalvageError> fill(ByteSource& source, std::size_t bytes);
  // Drops the first `bytes` bytes; the rest moves to the front.
  void consume(std::size_t bytes) noexcept;
  // The memory held, for whoever watches it.
  std::size_t capacity() const noexcept { return buffer_.capacity(); }

 private:
  void reserve(std::size_t bytes);

  ByteBuffer buffer_;
  std::size_t size_ = 0;
  bool at_end_ = false;
  std::uint64_t bytes_read_ = 0;
};

}  // namespace rowmender
