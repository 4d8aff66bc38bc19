#pragma once
// Where a stream's bytes come from and go to. The engine reads and writes through these
// and never learns whether a descriptor, a Python file object or memory is behind them.

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "error/expected.h"
#include "error/salvage_error.h"

namespace rowmender {

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Reads at most `capacity` bytes into `buffer`, waiting for at least one unless the
  // input has ended: the count, 0 at the end of the input.
  [[nodiscard]] virtual Expected<std::size_t, SalvageError> read(char* buffer, std::size_t capacity) = 0;
  // The whole input's size when it is known beforehand (a regular file), for progress.
  virtual std::optional<std::uint64_t> size_hint() const { return std::nullopt; }
  // A descriptor of the regular file that the next read would read, at its offset, for a
  // thread of the engine's own to read ahead from; -1 when there is none. Whoever reads
  // it takes the source's place until handing it back.
  virtual int regular_file_descriptor() const { return -1; }
  // Called before the first read: whether the source can go back to where it stands now
  // (see rewind): a regular file, a file object that can seek.
  virtual bool mark_start() { return false; }
  // Goes back to where mark_start() found the source; only after it said it can.
  [[nodiscard]] virtual std::optional<SalvageError> rewind() { return SalvageError::with_text("cannot go back"); }
  // Once read to its end: whether its data ended before it should have (compressed data
  // without its end marker), so that its last row is known to be cut short.
  virtual bool cut_off() { return false; }
};

class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // Writes from `pieces`, in order, as one write call would: how many bytes went out,
  // possibly fewer than all, 0 when the destination took none.
  [[nodiscard]] virtual Expected<std::size_t, SalvageError> write(std::span<const iovec> pieces) = 0;
  // Called when a write took some bytes but not all, which is how a signal that arrives
  // once some bytes went out shows: an error to stop there, or nothing to write the rest.
  [[nodiscard]] virtual std::optional<SalvageError> after_short_write() { return std::nullopt; }
  // A descriptor of the regular file this sink writes, at its offset, for a thread of the
  // engine's own to write to in the sink's place; -1 when there is none.
  virtual int regular_file_descriptor() const { return -1; }
  // A write that a thread of the engine's own made to regular_file_descriptor() failed: the
  // error as the sink reports its own.
  [[nodiscard]] virtual SalvageError failed_elsewhere(int error_number) {
    return SalvageError::from_errno(error_number);
  }
};

}  // namespace rowmender
