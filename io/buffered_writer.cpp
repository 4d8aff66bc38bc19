#include "io/buffered_writer.h"

#include <algorithm>
#include <cstring>

namespace rowmender {

BufferedWriter::BufferedWriter(int fd, InterruptCheck on_interrupt)
    : fd_sink_(fd, on_interrupt), sink_(&fd_sink_), buffer_(std::make_unique_for_overwrite<char[]>(kCapacity)) {}

BufferedWriter::BufferedWriter(ByteSink& sink)
    : sink_(&sink), buffer_(std::make_unique_for_overwrite<char[]>(kCapacity)) {}

BufferedWriter::~BufferedWriter() {
  if (gave_up_) return;
  try {
    (void)write_out_buffer();
  } catch (...) {
    // The last attempt's outcome is ignored, even a failure to describe a failure.
  }
}

Expected<std::size_t, SalvageError> BufferedWriter::write_once(std::span<const iovec> pieces, std::size_t total) {
  auto n = sink_->write(pieces);
  if (n && n.value() != 0 && n.value() < total) {
    if (auto error = sink_->after_short_write()) n = *std::move(error);
  }
  if (!n && n.error().is_interrupted()) gave_up_ = true;
  if (n) written_ += n.value();
  return n;
}

std::optional<SalvageError> BufferedWriter::write(std::string_view line) {
  if (line.size() < kCapacity - used_) {
    std::memcpy(buffer_.get() + used_, line.data(), line.size());
    used_ += line.size();
    return std::nullopt;
  }
  if (auto error = write_out_buffer()) return error;
  if (line.size() < kCapacity) {
    std::memcpy(buffer_.get(), line.data(), line.size());
    used_ = line.size();
    return std::nullopt;
  }
  return write_all(line);
}

std::optional<SalvageError> BufferedWriter::write_gathered(std::span<iovec> pieces) {
  if (auto error = write_out_buffer()) return error;
  std::size_t first = 0;
  while (first < pieces.size()) {
    std::size_t total = 0;
    for (std::size_t i = first; i < pieces.size(); ++i) total += pieces[i].iov_len;
    auto n = write_once(pieces.subspan(first), total);
    if (!n) return std::move(n).error();
    if (n.value() == 0) return SalvageError::with_text("failed to write whole buffer");
    // Skip what went out; a piece written in part is shortened to its rest.
    std::size_t left = n.value();
    while (first < pieces.size() && left >= pieces[first].iov_len) left -= pieces[first++].iov_len;
    if (left > 0) {
      pieces[first].iov_base = static_cast<char*>(pieces[first].iov_base) + left;
      pieces[first].iov_len -= left;
    }
  }
  return std::nullopt;
}

std::optional<SalvageError> BufferedWriter::flush() { return write_out_buffer(); }

std::optional<SalvageError> BufferedWriter::write_out_buffer() {
  std::size_t written = 0;
  std::optional<SalvageError> error;
  while (written < used_) {
    const iovec rest{buffer_.get() + written, used_ - written};
    auto n = write_once(std::span(&rest, 1), rest.iov_len);
    if (!n) {
      error = std::move(n).error();
      break;
    }
    if (n.value() == 0) {
      error = SalvageError::with_text("failed to write the buffered data");
      break;
    }
    written += n.value();
  }
  // Whatever did not reach the sink stays buffered, at the front.
  std::memmove(buffer_.get(), buffer_.get() + written, used_ - written);
  used_ -= written;
  return error;
}

std::optional<SalvageError> BufferedWriter::write_all(std::string_view bytes) {
  while (!bytes.empty()) {
    const iovec rest{const_cast<char*>(bytes.data()), bytes.size()};
    auto n = write_once(std::span(&rest, 1), rest.iov_len);
    if (!n) return std::move(n).error();
    if (n.value() == 0) return SalvageError::with_text("failed to write whole buffer");
    bytes.remove_prefix(n.value());
  }
  return std::nullopt;
}

}  // namespace rowmender
