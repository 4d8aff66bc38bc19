#pragma once
// A stream's bytes seen through a window that slides forward: what has not been consumed
// yet stays in memory, at the front, and more is read behind it. The window grows when its
// unconsumed part does (a row longer than a chunk), doubling so that reading every byte
// again costs linear time in all.
//
// On a regular file the window can read ahead: a thread of its own reads the next chunk
// into a second buffer, behind room for the few bytes a walk leaves over (the start of a
// row), while the caller walks the window; moving on then copies those bytes in front of
// the chunk and swaps the buffers. The same thread can write what the caller made of the
// window just walked (to a regular file) before it reads into that buffer again.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>

#include "error/salvage_error.h"
#include "io/byte_stream.h"
#include "io/read_ahead.h"
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
  std::string_view view() const noexcept { return {buffer_.data() + begin_, size_}; }
  // The same bytes, for a caller that writes over those it has walked.
  char* data() noexcept { return buffer_.data() + begin_; }
  std::size_t size() const noexcept { return size_; }
  bool at_end() const noexcept { return at_end_; }
  std::uint64_t bytes_read() const noexcept { return bytes_read_; }

  // Reads until the window holds at least `bytes` bytes or the input has ended.
  [[nodiscard]] std::optional<SalvageError> fill(ByteSource& source, std::size_t bytes);
  // Drops the first `consumed` bytes and reads on until the window holds at least a chunk
  // of new bytes and half again what was left over (next_window_size), or the input ended.
  [[nodiscard]] std::optional<SalvageError> advance(ByteSource& source, std::size_t consumed, std::size_t chunk);
  // Starts again, empty, as if nothing had been read, and gives back its memory: for a
  // stream read again from its start. Only before read_ahead.
  void restart() noexcept;
  // From now on, reads the next `chunk` bytes ahead while the caller works, when `source`
  // is a regular file and a thread can be had; else nothing changes. Throws
  // std::bad_alloc.
  void read_ahead(ByteSource& source, std::size_t chunk);

  // Whether the window reads ahead on a thread of its own, which can then write behind.
  bool has_thread() const noexcept { return ahead_ != nullptr; }
  // Whether the thread can write behind what was made of this window, once the caller has
  // walked its first `consumed` bytes: it reads ahead, the input goes on, and moving on will
  // leave this window's buffer as it is until the write is done.
  bool can_write_behind(std::size_t consumed) const noexcept;
  // Hands `write` (pieces of this window's bytes, or of memory the caller keeps until the
  // next advance() returns) to the thread, to go out as the window moves on, before the
  // buffer is read into again. Only when can_write_behind(); one write per window.
  void write_behind(ReadAhead::Write write) noexcept { pending_write_ = write; }
  // Waits until no write of the thread is under way (a read under way is kept for the next
  // advance).
  void settle_writes() noexcept;
  // How the thread's writes went since the last look: bytes written, and the error number
  // of one that failed (0: none). Looking resets them.
  struct WriteOutcome {
    std::size_t written = 0;
    int error = 0;
  };
  WriteOutcome take_write_outcome() noexcept { return std::exchange(write_outcome_, {}); }
  // The memory held, for whoever watches it.
  std::size_t capacity() const noexcept { return buffer_.capacity(); }

 private:
  // Room before the bytes read ahead for what a walk leaves over; a row longer than that
  // is joined to them the slow way, by a copy.
  static constexpr std::size_t kLeftOverRoom = std::size_t{64} << 10;

  void reserve(std::size_t bytes);
  // Drops the first `bytes` bytes, moving the rest to the front of the buffer.
  void consume(std::size_t bytes) noexcept;
  // Drops the first `bytes` bytes where they lie.
  void drop_front(std::size_t bytes) noexcept;
  void take_read_ahead(const ReadAhead::Result& got, std::size_t consumed);
  void wait_for_thread() noexcept;

  ByteBuffer buffer_;
  std::size_t begin_ = 0;  // where the window starts in buffer_
  std::size_t size_ = 0;
  bool at_end_ = false;
  std::uint64_t bytes_read_ = 0;
  ByteBuffer ahead_buffer_;  // being read into by ahead_ while a request is under way
  std::size_t ahead_chunk_ = 0;
  bool reading_ahead_ = false;                // reads are still asked of the thread
  bool request_pending_ = false;              // a request is under way
  bool read_pending_ = false;                 // the request under way reads into ahead_buffer_
  bool write_pending_ = false;                // the request under way writes
  std::optional<ReadAhead::Result> arrived_;  // a finished request's read, not yet taken
  ReadAhead::Write pending_write_;            // to go with the next request
  WriteOutcome write_outcome_;
  std::unique_ptr<ReadAhead> ahead_;  // last: its thread stops before the buffers go
};

}  // namespace rowmender
