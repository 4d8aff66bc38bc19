#pragma once
// Where the passes that hand out rows keep them: a row table, each kept row reconciled in
// it; quarantined rows leave it, their raw content kept in a QuarantineList if one is
// given.

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "parser/plain_line.h"
#include "parser/row_table.h"
#include "salvage/byte_arena.h"
#include "salvage/quarantine_list.h"
#include "salvage/row_bytes.h"
#include "salvage/row_rule.h"
#include "salvage/text_place.h"

namespace rowmender {

class TableSink {
 public:
  // With `over_input`, the rows' text was set to be written over the input itself (see
  // RowTable::write_text_over) and must stay behind the parser.
  TableSink(RowTable& rows, std::string separator, bool over_input, QuarantineList* quarantine = nullptr,
            ByteArena* quarantined_text = nullptr) noexcept
      : rows_(rows),
        separator_(std::move(separator)),
        text_at_(over_input ? TextAt::over_input : TextAt::own_memory),
        quarantine_(quarantine),
        quarantined_text_(quarantined_text) {}

  // A stream's window, for its next walk, which starts with the table empty: a long row that
  // starts the table may be written over its own bytes in it, and a row of `apart_from`
  // bytes or more always starts the table (see parse_target).
  void use_window(char* window, std::size_t size, std::size_t apart_from) noexcept {
    window_.use({window, size}, window);
    apart_from_ = apart_from;
    text_at_ = TextAt::own_memory;
    origin_ = 0;
  }

  bool takes_plain_line(const PlainLine&, const RowDecision&) const noexcept { return true; }

  // Blank lines are rows here like any other.
  bool takes_blank_lines() const noexcept { return false; }
  void take_blank_lines(std::size_t, std::size_t) noexcept {}

  void take_plain_line(const PlainLine& plain, std::size_t, std::size_t, const RowDecision& decision,
                       std::uint64_t line_after) {
    // A plain line's fields are never longer than the line, and stay so through
    // reconciliation (its delimiter is ASCII), so they are written in place over the input.
    plain.append_fields(rows_);
    rows_.end_row();
    settle_last_row(rows_, decision, line_after);
  }

  RowTable* parse_target(RowBytes own_bytes) noexcept {
    if (text_at_ != TextAt::over_input) {
      if (!own_bytes.empty() && window_.writable()) {
        // A stream's long row: its text is written over its own bytes, and then the rows after
        // it in the window as over a whole input, so that the row costs no memory of its own.
        // That needs the table to start with it (the table is handed out before the window
        // moves on); a row too long to copy waits for the next table.
        if (!rows_.empty()) return own_bytes.end - own_bytes.begin >= apart_from_ ? nullptr : &rows_;
        window_.write_over_row(rows_, own_bytes);
        origin_ = own_bytes.begin;
        text_at_ = TextAt::over_row;
      }
      return &rows_;
    }
    parsed_.clear();
    return &parsed_;
  }

  void take_parsed_row(RowTable& table, const RowDecision& decision, std::uint64_t line_after, std::size_t unread) {
    const bool kept = settle_last_row(table, decision, line_after);
    if (text_at_ == TextAt::over_row) {
      // The long row's text still lies over its bytes unless a repair moved it away: the rows
      // after it go on over the window from there.
      text_at_ = rows_.const_text().borrowed() ? TextAt::over_input : TextAt::own_memory;
      if (text_at_ == TextAt::over_input) rows_.text().extend_borrowed(window_.size() - origin_);
    }
    if (!kept || &table == &rows_) return;
    // The parser's rows can grow (U+FFFD for a bad byte, a two-byte separator when
    // merging), so over the input they are settled aside and moved in only when they fit
    // before the next unread byte; a row that does not fit moves the whole text to memory
    // of its own.
    if (!TextPlace::fits(origin_, rows_.const_text().size(), table.row_text(0).size(), unread)) {
      rows_.text().move_to_own_storage();
      text_at_ = TextAt::own_memory;
    }
    rows_.append_row_from(table, 0);
  }

 private:
  // Reconciles the last row of `table`; false when it was quarantined (and removed).
  bool settle_last_row(RowTable& table, const RowDecision& decision, std::uint64_t line_after) {
    if (decision.fate == RowFate::Drop) {
      table.drop_last_row();
      return false;
    }
    if (decision.fate != RowFate::Quarantine) {
      reshape_last_row(decision, table, separator_, scratch_);
      return true;
    }
    if (quarantine_ != nullptr) {
      const RowView row = table[table.size() - 1];
      scratch_.clear();
      for (std::size_t i = 0; i < row.size(); ++i) {
        if (i != 0) scratch_.append(separator_);
        scratch_.append(row.field(i));
      }
      quarantine_->add({line_after, decision.reason, row.size(), quarantined_text_->keep_text(scratch_, 0)});
    }
    table.drop_last_row();
    return false;
  }

  RowTable& rows_;
  RowTable parsed_;
  TextPlace window_;  // a stream's window, when the walk reads one
  std::size_t apart_from_ = 0;
  std::size_t origin_ = 0;  // where the text of rows_ starts in the input, when over it
  std::string separator_;
  std::string scratch_;
  // Where the text of rows_ lies: memory of its own; over the bytes of a stream's long row
  // that starts the table, while it is parsed; or over the input from origin_ on (a whole
  // input, or the window after such a row), the parser's rows settled aside and moved in
  // when they fit behind it.
  enum class TextAt { own_memory, over_row, over_input };
  TextAt text_at_;
  QuarantineList* quarantine_;
  ByteArena* quarantined_text_;
};

}  // namespace rowmender
