#include "io/stream_window.h"

#include <algorithm>
#include <cstring>

namespace rowmender {

void StreamWindow::reserve(std::size_t bytes) {
  if (bytes <= buffer_.capacity()) return;
  buffer_.grow(std::max(bytes, buffer_.capacity() + buffer_.capacity() / 2), size_);
}

std::optional<SalvageError> StreamWindow::fill(ByteSource& source, std::size_t bytes) {
  reserve(bytes);
  while (size_ < bytes && !at_end_) {
    auto got = source.read(buffer_.data() + size_, buffer_.capacity() - size_);
    if (!got) return std::move(got).error();
    if (got.value() == 0) at_end_ = true;
    size_ += got.value();
    bytes_read_ += got.value();
  }
  return std::nullopt;
}

void StreamWindow::consume(std::size_t bytes) noexcept {
  std::memmove(buffer_.data(), buffer_.data() + bytes, size_ - bytes);
  size_ -= bytes;
}

}  // namespace rowmender
