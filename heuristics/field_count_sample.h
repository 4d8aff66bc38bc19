#pragma once
// The field counts of the first counted rows of a text, and their most frequent value.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "parser/resilient_parser.h"

namespace rowmender {

class FieldCountSample {
 public:
  // Parses `input` until `limit` counted rows have been seen or the input ends. Rows are
  // counted, not built: a huge row costs one scan and no memory. `at_end` says whether
  // `input` is the whole text or only its first part (a stream's head).
  FieldCountSample(std::string_view input, std::uint8_t delimiter, std::uint8_t quote_char, bool repair_quotes,
                   std::size_t limit, bool at_end = true);
  // A sample that reads its text a window at a time (see read).
  FieldCountSample(std::uint8_t delimiter, std::uint8_t quote_char, bool repair_quotes, std::size_t limit) noexcept
      : delimiter_(delimiter), quote_char_(quote_char), repair_quotes_(repair_quotes), limit_(limit) {}

  // Reads with `dialect` (before the first read).
  void set_dialect(const Dialect& dialect) noexcept { dialect_ = dialect; }

  // Reads on from where the sample stands over `window`, the text from the same offset as
  // the last window (less what drop_front dropped), up to the limit or the first row that
  // may go on past the window's end (unless `at_end`: then the window ends the text). A row
  // read whole with a byte after it is read exactly as in the whole text.
  void read(std::string_view window, bool at_end);
  // The window's first `bytes` bytes are dropped before the next window: offsets shift.
  void drop_front(std::size_t bytes) noexcept {
    cursor_.position -= bytes;
    row_runs_to_ = row_runs_to_ > bytes ? row_runs_to_ - bytes : 0;
  }
  // Counts on to `limit` rows (more than before) at the next read.
  void raise_limit(std::size_t limit) noexcept {
    limit_ = limit;
    complete_ = false;
  }
  // Where the next row to read starts in the current window.
  std::size_t position() const noexcept { return cursor_.position; }

  // Whether the sample is the one the whole text gives: always for the whole text; for a
  // head, when the limit was reached on a row that ends before the head does.
  bool complete() const noexcept { return complete_; }
  std::size_t counted_rows() const noexcept { return counted_rows_; }

  struct Mode {
    std::size_t count = 0;      // the field count; 0 when no count qualified
    std::size_t frequency = 0;  // how many counted rows have it
  };
  // The most frequent field count of at least `min_count`; the larger count wins a tie.
  Mode mode(std::size_t min_count) const noexcept;
  // Which counted row (from 0) first had `fields` fields, or (`or_more`) at least that
  // many; counted_rows() when none did.
  std::size_t first_row_with(std::size_t fields, bool or_more = false) const noexcept;

 private:
  void count(std::size_t fields);

  std::uint8_t delimiter_;
  std::uint8_t quote_char_;
  bool repair_quotes_;
  Dialect dialect_;
  std::size_t limit_;
  bool started_ = false;
  ResilientParser::Cursor cursor_;
  // The row at the cursor ran on to here, the end of the last window, without ending.
  std::size_t row_runs_to_ = 0;
  std::vector<std::pair<std::size_t, std::size_t>> frequencies_;  // (field count, rows)
  std::vector<std::size_t> first_rows_;                           // the row each count first had
  std::size_t counted_rows_ = 0;
  bool complete_ = false;
};

}  // namespace rowmender
