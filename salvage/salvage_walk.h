#pragma once
// The walk over the rows of a text that every pass shares. Each row is read as a plain line
// straight from its bitmaps when it is one (and the pass can use it so), else by the
// parser; the row rule decides its fate; it is counted; and the pass's sink puts it where
// that pass keeps rows. The walk can stop before a row that runs past the end of a window
// of a stream, and go on with the next window exactly as if the text had been whole.
//
// The sink's part is the RowSink concept (row_sink.h).

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "parser/plain_line.h"
#include "parser/resilient_parser.h"
#include "salvage/records.h"
#include "salvage/row_bytes.h"
#include "salvage/row_change.h"
#include "salvage/row_rule.h"
#include "salvage/row_screen.h"
#include "salvage/row_sink.h"
#include "salvage/table_shape.h"
#include "salvage/text_place.h"
#include "simd/byte_scan.h"

namespace rowmender {

template <RowSink Sink>
class SalvageWalk {
 public:
  // `screen`, when given, applies the cleanup rules to every row before the row rule.
  SalvageWalk(const SalvageOptions& options, const TableShape& shape, Sink& sink, SalvageStats& stats,
              ChangeObserver* changes = nullptr, RowScreen* screen = nullptr) noexcept
      : rule_(options, shape.width),
        sink_(sink),
        stats_(stats),
        changes_(changes),
        screen_(screen),
        delimiter_(shape.delimiter),
        quote_(options.quote_char),
        repair_quotes_(options.repair_quotes),
        legacy_rows_(options.legacy_rows),
        dialect_(shape.dialect),
        read_plain_lines_(PlainLine::usable(shape.delimiter, options.quote_char)),
        keeps_blank_lines_(rule_.decide(1).fate == RowFate::Keep) {
    stats_.detected_delimiter = shape.delimiter;
    stats_.inferred_columns = shape.width;
    plain_.set_dialect(dialect_);
    plain_.set_ascii_only(legacy_rows_ != nullptr && legacy_rows_->is_file_encoding());
  }

  // Walks the rows of `window` from where the walk stands, up to the first row that may go
  // on past the window's end (unless `at_end`: then the window ends the text). A row counts
  // as complete only when at least one byte of the window follows it: that settles every
  // question about its end (a CR followed by LF or not, a quote at the very end). Returns
  // the offset in the window where the walk stands now.
  std::size_t walk(std::string_view window, bool at_end) {
    ResilientParser parser = started_ ? ResilientParser(window, delimiter_, quote_, repair_quotes_, cursor_)
                                      : ResilientParser(window, delimiter_, quote_, repair_quotes_);
    parser.set_dialect(dialect_);
    if (!started_) {
      started_ = true;
      skipped_bom_ = parser.skipped_byte_order_mark();
    }
    parser.read_bad_rows_as(legacy_rows_);
    const std::size_t size = window.size();
    const std::size_t first_row = parser.position();
    plain_.forget_text();
    if (long_row_ && !at_end && long_row_runs_to_ != 0) {
      // A row ends only at a line break (the last one it read may have waited for the byte
      // after it): without one among the bytes that came since, the long row is not read
      // again, and a row of any length is scanned about once.
      const std::size_t from = std::max(long_row_runs_to_ - std::min<std::size_t>(long_row_runs_to_, 2), first_row);
      if (find_first_of4(window.data(), from, size, '\n', '\r', '\n', '\r') == size) {
        long_row_runs_to_ = size;
        cursor_ = parser.cursor();
        return cursor_.position;
      }
    }
    long_row_runs_to_ = 0;
    const char delimiter = static_cast<char>(delimiter_), quote = static_cast<char>(quote_);
    // For the cleanup rules: where the last row with content ends (a row ending there or later
    // is the last), and the next NUL byte, which sends its row to the parser.
    const std::size_t content_end = screen_ != nullptr ? last_content_end(window) : size + 1;
    // Whether a row ending at `end` is the input's last with content: only blanks and line
    // breaks follow it, and not many of them. Unknown (nullopt) when the window ends in
    // such a tail before the input does and a rule asks: the row then waits for a window
    // that tells, which grows by at most that tail. Any reading of the input says the same.
    const bool tail_unknown =
        screen_ != nullptr && screen_->judges_last_row() && !at_end && size - content_end <= kLastRowTail;
    const auto is_last = [&](std::size_t end) -> std::optional<bool> {
      if (end < content_end || size - content_end > kLastRowTail) return false;
      if (at_end) return true;
      return tail_unknown ? std::nullopt : std::optional<bool>(false);
    };
    std::size_t next_nul = screen_ != nullptr && screen_->removes_control_bytes() ? find_nul(window, first_row) : size;
    while (true) {
      const ResilientParser::Cursor before = parser.cursor();
      if (before.position >= size) break;
      if (before.position > next_nul) next_nul = find_nul(window, before.position);
      if (screen_ != nullptr && screen_->drops_blank_lines() && read_plain_lines_ && window[before.position] == '\n') {
        // A run of blank lines is dropped at once, and told of as one change (the parts of a
        // run that goes on in the next window are joined by the observer).
        const std::size_t count = parser.skip_line_feeds(at_end ? size : size - 1);
        if (count != 0) {
          if (changes_ != nullptr) {
            static const RowEvents kNoEvents{};
            const RowDecision dropped{RowFate::Drop, count};
            changes_->on_change({before.line, before.line + count - 1, dropped, kNoEvents, rule_.width(),
                                 input_offset_ + before.position, input_offset_ + parser.position(), true});
          }
          continue;
        }
      }
      // Blank lines kept as they are (rows of one empty field in a table of any width or
      // one) are counted a run at a time: a file of nothing else goes at memory speed.
      if (read_plain_lines_ && window[before.position] == '\n' && keeps_blank_lines_ && sink_.takes_blank_lines()) {
        const std::size_t count = parser.skip_line_feeds(at_end ? size : size - 1);
        if (count != 0) {
          stats_.total_rows += count;
          sink_.take_blank_lines(before.position, parser.position());
          continue;
        }
      }
      if (read_plain_lines_ && plain_.read(window, before.position, delimiter, quote) &&
          plain_.line_end() <= next_nul) {
        // A line the window cuts off is not judged: the screen keeps what it learns of rows.
        if (!at_end && plain_.line_end() >= size) break;
        const std::optional<bool> last = is_last(plain_.line_end());
        if (!last) break;
        const RowDecision decision = decide_plain_line(window, before.position, *last, at_end, delimiter);
        if (sink_.takes_plain_line(plain_, decision)) {
          parser.skip_row_ending_at(plain_.line_end());
          if (!at_end && parser.position() >= size) {
            parser.rewind(before);
            break;
          }
          count_row(decision, stats_);
          if (changes_ != nullptr && decision.changed()) {
            changes_->on_change({before.line, before.line, decision, parser.events(), rule_.width(),
                                 input_offset_ + before.position, input_offset_ + parser.position(),
                                 joins_blank_run(decision)});
          }
          sink_.take_plain_line(plain_, before.position, parser.position(), decision, parser.line());
          continue;
        }
      }
      // A row that alone ran on past the end of an earlier window is long, and so may be any
      // row of a window that grew for long rows. Rather than build such a row's text again
      // for every larger window, the walk first only finds where it ends (reading a row's
      // shape keeps nothing) and builds the text once, when the row ends inside the window:
      // the sink may then write it over the row's own bytes.
      if (tail_unknown) {
        // Found before the sink may write the row's text over the input it is read again from.
        ResilientParser::RowShape shape;
        parser.next_row_shape(shape);
        const std::size_t end = parser.position();
        parser.rewind(before);
        if (end < size && !is_last(end)) break;
      }
      RowBytes own_bytes;
      bool own_bytes_end_in_lf = false;
      if (long_row_ || before.position < long_rows_before_) {
        ResilientParser::RowShape shape;
        parser.next_row_shape(shape);
        const std::size_t end = parser.position();
        parser.rewind(before);
        if (!at_end && end >= size) {
          long_row_ = before.position == first_row;
          long_row_runs_to_ = size;
          break;
        }
        long_row_ = false;
        own_bytes = {before.position, end};
        // Looked at now: the sink may write the row's text over its last byte.
        own_bytes_end_in_lf = end != 0 && window[end - 1] == '\n';
      }
      RowTable* const target = sink_.parse_target(own_bytes);
      if (target == nullptr) {
        long_row_ = true;  // the sink wants the row to start the next walk
        break;
      }
      RowTable& rows = *target;
      if (!parser.next_row(rows)) break;
      // Whatever the sink chose (the text over the input, over the row's own bytes, or in
      // memory of its own), the parser has not written ahead of itself.
      assert(text_behind_parser(rows.const_text(), window, parser.position()));
      if (!at_end && parser.position() >= size) {
        rows.drop_last_row();
        parser.rewind(before);
        long_row_ = before.position == first_row;
        long_row_runs_to_ = size;
        break;
      }
      RowDecision decision;
      if (screen_ == nullptr) {
        decision = rule_.decide(rows.field_count(rows.size() - 1));
      } else {
        const std::size_t end = parser.position();
        const bool last = is_last(end).value_or(false);  // known: see above
        const std::uint64_t removed =
            end > next_nul && screen_->removes_control_bytes() ? rows.remove_from_last_row('\0') : 0;
        const bool unterminated = at_end && end == size && window[end - 1] != '\n' && window[end - 1] != '\r';
        decision = screen_->decide(rows[rows.size() - 1], {before.position, last, unterminated}, removed, rule_);
      }
      count_row(decision, stats_);
      if (changes_ != nullptr) {
        const std::size_t end = parser.position();
        const bool ends_in_lf =
            own_bytes.empty() ? end != 0 && end <= size && window[end - 1] == '\n' : own_bytes_end_in_lf;
        report_parsed_row(parser, before, decision, ends_in_lf);
      }
      sink_.take_parsed_row(rows, decision, parser.line(), parser.position());
    }
    cursor_ = parser.cursor();
    return cursor_.position;
  }

  // Where the text walked starts in the input, for a walk that does not start at its start.
  void set_input_offset(std::uint64_t offset) noexcept { input_offset_ = offset; }

  // Goes on from `cursor`, a row start that another walk (over another piece of the same
  // text, with the same settings) reached: the text's start, and any byte-order mark, lie
  // behind it, and no row is open.
  void resume_at(const ResilientParser::Cursor& cursor) noexcept {
    started_ = true;
    cursor_ = cursor;
    long_row_ = false;
    long_row_runs_to_ = 0;
    long_rows_before_ = 0;
  }

  // The first `bytes` bytes of the next window grew for long rows (a stream's head that had
  // to be read on): every row the parser reads that starts in them is taken as a long one.
  void expect_long_rows_in(std::size_t bytes) noexcept { long_rows_before_ = bytes; }

  // The window's first `bytes` bytes are dropped before the next window: offsets shift.
  void drop_front(std::size_t bytes) noexcept {
    input_offset_ += bytes;
    cursor_.position -= bytes;
    if (screen_ != nullptr) screen_->drop_front(bytes);
    long_row_runs_to_ = long_row_runs_to_ > bytes ? long_row_runs_to_ - bytes : 0;
    long_rows_before_ = long_rows_before_ > bytes ? long_rows_before_ - bytes : 0;
  }

  const ResilientParser::Cursor& cursor() const noexcept { return cursor_; }
  bool skipped_byte_order_mark() const noexcept { return skipped_bom_; }
  const RowRule& rule() const noexcept { return rule_; }
  const Dialect& dialect() const noexcept { return dialect_; }

 private:
  // The fate of the plain line just read at `begin`. The screen sees the fields as the parser
  // reads them: straight from the bytes when the line holds no quote, else unquoted into a
  // table of their own (a quoted "Total", an empty quoted field on a line of its own).
  RowDecision decide_plain_line(std::string_view window, std::size_t begin, bool last, bool at_end, char delimiter) {
    if (screen_ == nullptr) return rule_.decide(plain_.field_count());
    const std::size_t end = plain_.line_end();
    // A quoted first field is judged by its first byte inside the quotes.
    char first = window[begin];
    if (plain_.has_quotes() && first == static_cast<char>(quote_) && begin + 1 < end) first = window[begin + 1];
    if (!screen_->looks_at(first, plain_.field_count(), begin)) {
      RowDecision decision = rule_.decide(plain_.field_count());
      decision.widen = screen_->widening();
      return decision;
    }
    const RowScreen::RowPlace place{begin, last, at_end && end == window.size()};
    if (!plain_.has_quotes()) {
      return screen_->decide(LineFields(window.substr(begin, end - begin), delimiter, plain_.field_count()), place, 0,
                             rule_);
    }
    unquoted_line_.clear();
    plain_.append_fields(unquoted_line_);
    unquoted_line_.end_row();
    return screen_->decide(unquoted_line_[0], place, 0, rule_);
  }

  static std::size_t find_nul(std::string_view window, std::size_t from) noexcept {
    const std::size_t at = window.find('\0', from);
    return at == std::string_view::npos ? window.size() : at;
  }

  // Where the text's last byte other than a blank or a line break ends.
  static std::size_t last_content_end(std::string_view window) noexcept {
    const std::size_t at = window.find_last_not_of(" \t\r\n");
    return at == std::string_view::npos ? 0 : at + 1;
  }

  // Tells the observer of a row the parser read when anything about it is worth telling:
  // a change, or a row spanning several physical lines.
  void report_parsed_row(const ResilientParser& parser, const ResilientParser::Cursor& before,
                         const RowDecision& decision, bool ends_in_lf) {
    // The counter stands on the line of the next byte to read: after a row that ends with a
    // line break (or, at the end of the input, with an LF inside quotes) that is the line
    // after the row's last.
    const LineEndCounts& was = before.line_ends;
    const LineEndCounts& now = parser.line_ends();
    const bool terminated = now.lf + now.crlf + now.cr != was.lf + was.crlf + was.cr;
    const std::uint64_t after = parser.line() - (terminated || ends_in_lf ? 1 : 0);
    const std::uint64_t last = after < before.line ? before.line : after;
    if (!decision.changed() && !parser.events().any() && last == before.line) return;
    changes_->on_change({before.line, last, decision, parser.events(), rule_.width(), input_offset_ + before.position,
                         input_offset_ + parser.position(), joins_blank_run(decision)});
  }

  // A blank row dropped (of blanks, or of nothing but delimiters and blanks) is told with
  // the blank lines next to it, as one run; not one whose NUL bytes were removed, which the
  // log tells of row by row.
  static bool joins_blank_run(const RowDecision& decision) noexcept {
    return decision.fate == RowFate::Drop && decision.control_bytes == 0;
  }

  RowRule rule_;
  Sink& sink_;
  SalvageStats& stats_;
  ChangeObserver* changes_;
  RowScreen* screen_;
  RowTable unquoted_line_;          // a plain line's fields without their quotes, for the screen
  std::uint64_t input_offset_ = 0;  // where the window starts in the input: what drop_front dropped
  std::uint8_t delimiter_;
  std::uint8_t quote_;
  bool repair_quotes_;
  const LegacyBytes* legacy_rows_;
  Dialect dialect_;
  bool read_plain_lines_;
  bool keeps_blank_lines_;
  bool started_ = false;
  bool skipped_bom_ = false;
  bool long_row_ = false;             // the next row filled a whole window without ending
  std::size_t long_row_runs_to_ = 0;  // and ran on to here, the end of that window
  std::size_t long_rows_before_ = 0;  // rows that start before this are taken as long
  ResilientParser::Cursor cursor_;
  PlainLine plain_;
};

}  // namespace rowmender
