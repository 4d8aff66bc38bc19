#pragma once
// The tolerant row parser: splits delimited text into rows and never rejects its input.
// Stray quotes are repaired by a lookahead over the rest of the physical line, text after a
// closing quote continues the field, and invalid UTF-8 becomes U+FFFD.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "parser/dialect.h"
#include "parser/row_events.h"
#include "parser/row_table.h"
#include "unicode/legacy_bytes.h"

namespace rowmender {

class ResilientParser {
 public:
  // With one-line rows, a quoted field read on past its line closes within this many line
  // breaks, or its opening quote was a stray one.
  static constexpr std::size_t kQuotedLinesAfterOpenQuote = 8;

  // `input` is borrowed and must outlive the parser. A UTF-8 byte-order mark at the very
  // start is skipped.
  ResilientParser(std::string_view input, std::uint8_t delimiter, std::uint8_t quote_char, bool repair_quotes) noexcept;

  // Where a parser stands between rows: enough to go on from there over another view of the
  // same text (the next window of a stream), or to go back to the start of a row.
  struct Cursor {
    std::size_t position = 0;
    std::uint64_t line = 1;
    LineEndCounts line_ends;
  };
  // A parser that goes on from `cursor` over `input`, which holds the same text from the
  // same offset on. No byte-order mark is skipped: the text's start lies behind it.
  ResilientParser(std::string_view input, std::uint8_t delimiter, std::uint8_t quote_char, bool repair_quotes,
                  const Cursor& cursor) noexcept;

  // Rows that are not valid UTF-8 are read in `legacy` from now on (nullptr: their bad
  // sequences are replaced by U+FFFD); when it is the file's own encoding, so are the rows
  // that are UTF-8 but spell characters it lacks.
  void read_bad_rows_as(const LegacyBytes* legacy) noexcept { legacy_ = legacy; }

  // Reads with `dialect` from the next row on (the default reads RFC 4180).
  void set_dialect(const Dialect& dialect) noexcept {
    quoting_ = dialect.quoting;
    has_escape_ = dialect.escape.has_value();
    escape_ = dialect.escape.value_or(0);
    one_line_rows_ = dialect.one_line_rows;
    skip_initial_space_ = dialect.skip_initial_space;
  }

  // Appends the next row to `rows` and returns true, or returns false at the end of input.
  bool next_row(RowTable& rows);

  // The shape of a row as structure inference sees it, without its texts.
  struct RowShape {
    std::uint64_t fields = 0;
    bool counted = false;  // any row but one of a single empty or White_Space-only field
  };
  // Reads the next row as next_row would, but only counts its fields and tells whether it
  // is a counted row: no field text is kept, so a huge row costs no memory.
  bool next_row_shape(RowShape& shape);

  // What the last row read changed (stray quotes kept, bytes replaced...).
  const RowEvents& events() const noexcept { return events_; }
  // The record terminators consumed so far.
  const LineEndCounts& line_ends() const noexcept { return line_ends_; }
  // Whether a byte-order mark at the start of the input was skipped.
  bool skipped_byte_order_mark() const noexcept { return skipped_bom_; }

  Cursor cursor() const noexcept { return {position_, line_, line_ends_}; }
  // Goes back to a cursor taken from this parser; the rows read since are read again.
  void rewind(const Cursor& cursor) noexcept {
    position_ = cursor.position;
    line_ = cursor.line;
    line_ends_ = cursor.line_ends;
  }

  // When the next row is an empty line, consumes it exactly as next_row would (the row would
  // be one empty field) and returns true. Samplers skip runs of blank lines this way without
  // building rows they are going to ignore.
  bool skip_empty_row() noexcept;
  // Consumes the run of empty lines ending in LF that starts at position(), all at once, as
  // skip_empty_row would one by one, but none that ends past `limit`: how many.
  std::size_t skip_line_feeds(std::size_t limit) noexcept;

  // Moves past a row the caller has read by itself: one that starts at position() and lies
  // on one physical line ending at `line_end` (a CR or LF, or the end of input). The line
  // break is consumed and counted as next_row would.
  void skip_row_ending_at(std::size_t line_end) noexcept;

  // Line counter: 1 at the start, +1 per record terminator and per LF inside a quoted field.
  std::uint64_t line() const noexcept { return line_; }
  // Index of the next unread byte of the input.
  std::uint64_t position() const noexcept { return position_; }

 private:
  enum class State { StartOfField, UnquotedField, QuotedField, AfterClosingQuote };

  bool is_blank(std::uint8_t b) const noexcept { return b == ' ' || b == '\t'; }
  bool is_line_break(std::uint8_t b) const noexcept { return b == '\n' || b == '\r'; }
  std::uint8_t byte_at(std::size_t i) const noexcept { return static_cast<std::uint8_t>(input_[i]); }

  // Where the row being built begins in the table: its first text byte and first field.
  struct RowStart {
    std::size_t text;
    std::size_t field;
  };
  class TableBuilder;
  class ShapeBuilder;

  // The one state machine, for both kinds of row: the builder takes the field bytes.
  template <typename Builder>
  bool read_row(Builder& builder);

  // Consumes the line break at `position_` (CR LF, CR or LF) and counts it.
  void consume_line_break() noexcept;
  // Closes a row of `rows` after its last field, making every field valid UTF-8.
  void close_row(RowTable& rows, const RowStart& start);
  bool is_valid_utf8_row(const RowTable& rows, const RowStart& start) const;
  // Makes each field valid UTF-8: read in the legacy encoding when there is one, else each
  // invalid sequence replaced by U+FFFD (as is a byte the encoding leaves undefined).
  void repair_row_fields(RowTable& rows, const RowStart& start);

  // With an escape byte: appends the text the escape at `at` stands for (the byte after
  // it, both bytes of an escaped CR LF, or the escape itself at the input's end) and
  // returns where reading goes on.
  template <typename Builder>
  std::size_t take_escaped(Builder& builder, std::size_t at);
  // With one-line rows: whether the quote that opens a field just before `from` is stray,
  // left open at its line's end rather than opening a field over a few lines.
  bool is_stray_opening_quote(std::size_t from);

  // The stray-quote lookahead for the quote at `quote_index` inside a quoted field.
  bool is_stray_quote(std::size_t quote_index);
  // Skips the blanks that the lookahead passes over; a blank that is the delimiter is a
  // field end and is never skipped.
  std::size_t skip_lookahead_blanks(std::size_t i);
  bool field_ends_at(std::size_t i) const noexcept;
  void survey_line_from(std::size_t begin);

  std::string_view input_;
  std::size_t position_;
  std::uint64_t line_ = 1;
  std::uint8_t delimiter_;
  std::uint8_t quote_char_;
  bool repair_quotes_;
  bool quoting_ = true;
  bool has_escape_ = false;
  std::uint8_t escape_ = 0;
  bool one_line_rows_ = false;
  bool skip_initial_space_ = false;
  bool skipped_bom_ = false;
  RowEvents events_;
  LineEndCounts line_ends_;

  // The lookahead asks the same question of every lone quote on a physical line: is there a
  // later quote on it that is followed by a field end? The answer is kept per line segment
  // (the stretch up to the next CR or LF), as the index of the last such quote, so a line
  // full of lone quotes costs linear time instead of quadratic.
  std::size_t survey_begin_ = 0;
  std::size_t survey_end_ = 0;
  std::size_t last_closing_quote_ = 0;
  bool survey_has_closing_quote_ = false;
  // The last run of skippable blanks, for the same reason.
  std::size_t blank_run_begin_ = SIZE_MAX;  // empty until the first skip
  std::size_t blank_run_end_ = 0;

  std::string utf8_scratch_;
  const LegacyBytes* legacy_ = nullptr;
  std::string repaired_;
};

}  // namespace rowmender
