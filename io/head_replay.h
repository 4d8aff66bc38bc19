#pragma once
// A stream's start read a second time. Structure inference may have to read far into a
// stream (past runs of blank lines or long rows) before the rows can be walked from the
// start: rather than hold all that, the stream lets go of what inference has read, and this
// source gives it back. A source that can seek (a regular file, most file objects) goes
// back to where it started; any other (a pipe, a socket) has the bytes it lets go of kept in
// an unnamed temporary file, in $TMPDIR or /tmp, or in memory where no such file can be had
// or written.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "io/byte_stream.h"

namespace rowmender {

class HeadReplay final : public ByteSource {
 public:
  HeadReplay() noexcept = default;
  explicit HeadReplay(ByteSource& source) noexcept : source_(&source) {}
  ~HeadReplay() override;
  HeadReplay(const HeadReplay&) = delete;
  HeadReplay& operator=(const HeadReplay&) = delete;

  // Reads from `source` from now on (the same stream, through another object).
  void read_from(ByteSource& source) noexcept { source_ = &source; }

  // `bytes`, the oldest read and not yet let go of, are let go of now and wanted again.
  [[nodiscard]] std::optional<SalvageError> let_go(std::string_view bytes);
  // The next reads give the stream from its start again: the bytes let go of, then `held`
  // (read since, and let go of now too), then the rest.
  [[nodiscard]] std::optional<SalvageError> start_over(std::string_view held);

  [[nodiscard]] Expected<std::size_t, SalvageError> read(char* buffer, std::size_t capacity) override;
  std::optional<std::uint64_t> size_hint() const override { return source_->size_hint(); }
  // None while the kept bytes are read: a thread reading ahead would read the source's.
  int regular_file_descriptor() const override { return replaying_ ? -1 : source_->regular_file_descriptor(); }

 private:
  void close_file() noexcept;

  ByteSource* source_ = nullptr;
  bool started_ = false;
  bool rewinds_ = false;  // the source goes back itself
  int file_ = -1;         // the bytes let go of, when it does not
  bool file_failed_ = false;
  std::string in_memory_;  // those let go of after the file failed
  std::size_t replayed_from_memory_ = 0;
  bool replaying_ = false;
};

}  // namespace rowmender
