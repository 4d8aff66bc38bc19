#include "io/stream_window.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace rowmender {

void StreamWindow::reserve(std::size_t bytes) {
  if (bytes <= buffer_.capacity()) return;
  buffer_.grow(std::max(bytes, buffer_.capacity() + buffer_.capacity() / 2), size_);
}

std::optional<SalvageError> StreamWindow::fill(ByteSource& source, std::size_t bytes) {
  if (size_ >= bytes || at_end_) return std::nullopt;
  if (begin_ + bytes > buffer_.capacity()) {
    consume(0);
    reserve(bytes);
  }
  while (size_ < bytes && !at_end_) {
    char* const end = buffer_.data() + begin_ + size_;
    auto got = source.read(end, buffer_.capacity() - begin_ - size_);
    if (!got) return std::move(got).error();
    if (got.value() == 0) at_end_ = true;
    size_ += got.value();
    bytes_read_ += got.value();
  }
  return std::nullopt;
}

void StreamWindow::restart() noexcept {
  buffer_ = ByteBuffer();
  begin_ = size_ = 0;
  at_end_ = false;
  bytes_read_ = 0;
}

void StreamWindow::consume(std::size_t bytes) noexcept {
  if (size_ != bytes) std::memmove(buffer_.data(), buffer_.data() + begin_ + bytes, size_ - bytes);
  begin_ = 0;
  size_ -= bytes;
}

void StreamWindow::drop_front(std::size_t bytes) noexcept {
  // The bytes left are moved to the front only when more must be read behind them and there
  // is no room (see fill): a window that moves on a row at a time through many long rows
  // would otherwise move its whole rest each time.
  begin_ = bytes == size_ ? 0 : begin_ + bytes;
  size_ -= bytes;
}

std::optional<SalvageError> StreamWindow::advance(ByteSource& source, std::size_t consumed, std::size_t chunk) {
  const std::size_t left = size_ - consumed;
  if (request_pending_) wait_for_thread();
  if (arrived_) {
    const ReadAhead::Result got = *arrived_;
    arrived_.reset();
    take_read_ahead(got, consumed);
  } else {
    drop_front(consumed);
  }
  if (auto error = fill(source, next_window_size(left, chunk))) return error;
  if (ahead_ == nullptr) return std::nullopt;
  const ReadAhead::Write write = std::exchange(pending_write_, {});
  write_pending_ = !write.pieces.empty();
  if (reading_ahead_ && !at_end_) {
    // Only a buffer that held no write may move (can_write_behind says when one may be
    // written from): growing it first is then safe.
    if (ahead_buffer_.capacity() < kLeftOverRoom + ahead_chunk_) ahead_buffer_.grow(kLeftOverRoom + ahead_chunk_, 0);
    ahead_->request(ahead_buffer_.data() + kLeftOverRoom, ahead_chunk_, write);
    request_pending_ = read_pending_ = true;
  } else if (write_pending_) {
    ahead_->request(nullptr, 0, write);
    request_pending_ = true;
    read_pending_ = false;
  }
  return std::nullopt;
}

bool StreamWindow::can_write_behind(std::size_t consumed) const noexcept {
  // The buffers swap on moving on only when a read ahead is under way and what is left
  // fits in the room before it; the buffer left behind is read into again only once it is
  // large enough, so it neither moves nor changes before the write.
  return ahead_ != nullptr && read_pending_ && !at_end_ && size_ - consumed <= kLeftOverRoom &&
         buffer_.capacity() >= kLeftOverRoom + ahead_chunk_;
}

void StreamWindow::settle_writes() noexcept {
  if (request_pending_ && write_pending_) wait_for_thread();
}

void StreamWindow::wait_for_thread() noexcept {
  const ReadAhead::Result got = ahead_->wait();
  request_pending_ = false;
  if (write_pending_) {
    write_outcome_.written += got.written;
    if (write_outcome_.error == 0) write_outcome_.error = got.write_error;
    write_pending_ = false;
  }
  if (read_pending_) {
    arrived_ = got;
    read_pending_ = false;
  }
}

void StreamWindow::take_read_ahead(const ReadAhead::Result& got, std::size_t consumed) {
  const std::size_t left = size_ - consumed;
  const char* const arrived = ahead_buffer_.data() + kLeftOverRoom;
  if (left <= kLeftOverRoom) {
    // The usual case: the start of a row goes in front of the new bytes, and the buffers
    // change places.
    std::memcpy(ahead_buffer_.data() + kLeftOverRoom - left, buffer_.data() + begin_ + consumed, left);
    std::swap(buffer_, ahead_buffer_);
    begin_ = kLeftOverRoom - left;
    size_ = left + got.bytes;
  } else {
    drop_front(consumed);
    if (begin_ + size_ + got.bytes > buffer_.capacity()) {
      consume(0);
      reserve(size_ + got.bytes);
    }
    std::memcpy(buffer_.data() + begin_ + size_, arrived, got.bytes);
    size_ += got.bytes;
  }
  bytes_read_ += got.bytes;
  if (got.at_end) at_end_ = true;
  // A failed read took no bytes: the caller's own reads make it again, through the source,
  // which reports the error its own way (naming the file). The thread stays for writes.
  if (got.at_end || got.error != 0) reading_ahead_ = false;
}

void StreamWindow::read_ahead(ByteSource& source, std::size_t chunk) {
  if (ahead_ || at_end_) return;
  const int fd = source.regular_file_descriptor();
  if (fd < 0) return;
  if (ahead_buffer_.capacity() < kLeftOverRoom + chunk) ahead_buffer_ = ByteBuffer(kLeftOverRoom + chunk);
  ahead_ = ReadAhead::start(fd);
  if (!ahead_) return;
  ahead_chunk_ = chunk;
  reading_ahead_ = true;
  ahead_->request(ahead_buffer_.data() + kLeftOverRoom, chunk);
  request_pending_ = read_pending_ = true;
}

}  // namespace rowmender
