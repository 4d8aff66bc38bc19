#pragma once
// Where the passes that write a repaired file keep what they will write: the output as spans
// of a ByteArena in an OutputPlan, quarantined rows in a QuarantineList whose raw content
// lies in the same arena. A plain row that the file spells as the input does is kept as a
// stretch of the input, unparsed and uncopied; every other kept row as a line the writer
// made.

#include <cstddef>
#include <cstdint>
#include <string>

#include "parser/plain_line.h"
#include "parser/row_table.h"
#include "salvage/byte_arena.h"
#include "salvage/output_format.h"
#include "salvage/output_plan.h"
#include "salvage/quarantine_list.h"
#include "salvage/row_bytes.h"
#include "salvage/row_rule.h"
#include "salvage/text_place.h"

namespace rowmender {

class PlanSink {
 public:
  PlanSink(ByteArena& arena, OutputPlan& output, QuarantineList& quarantine, std::uint8_t delimiter,
           std::uint8_t quote_char)
      : arena_(&arena), output_(&output), quarantine_(quarantine), syntax_(delimiter, quote_char) {}

  // The arena and plan that the next rows go to (a stream keeps two, one being written).
  void use_plan(ByteArena& arena, OutputPlan& output) noexcept {
    arena_ = &arena;
    output_ = &output;
  }

  // The text the walk reads now: the whole input, or a stream's window (the arena must have
  // moved on with it). A window's bytes are also given `writable`, for the long rows the walk
  // lets be written over their own bytes.
  void use_input(std::string_view input, char* writable = nullptr) noexcept { input_.use(input, writable); }

  // Whether a line has been written yet: the first is spelled so that a leading U+FEFF is
  // not taken for a byte-order mark. A sink for a later piece of the input is told so.
  bool line_planned() const noexcept { return planned_line_; }
  void set_line_planned(bool planned) noexcept { planned_line_ = planned; }

  bool takes_plain_line(const PlainLine& plain, const RowDecision& decision) const noexcept {
    if (decision.remap != nullptr) return false;  // fields in another order: made by the writer
    switch (decision.fate) {
      // Without quotes, the row's fields joined by the delimiter are the line itself.
      case RowFate::Quarantine: return !plain.has_quotes();
      case RowFate::Merge: return false;
      case RowFate::Drop: return true;
      // A plain line whose quotes are all needed is its own output line. The first line of
      // the file is left to the writer, which spells a leading U+FEFF with quotes so that
      // it is not taken for a byte-order mark.
      default: return planned_line_ && plain.quotes_only_where_needed();
    }
  }

  // Whether a run of blank lines that are kept as they are may be taken at once.
  bool takes_blank_lines() const noexcept { return planned_line_; }
  // The blank lines [begin, end) of the input, each an LF, kept as they are.
  void take_blank_lines(std::size_t begin, std::size_t end) { output_->add(arena_->keep_input(begin, end)); }

  void take_plain_line(const PlainLine& plain, std::size_t begin, std::size_t next, const RowDecision& decision,
                       std::uint64_t line_after) {
    if (decision.fate == RowFate::Drop) return;
    if (decision.fate == RowFate::Quarantine) {
      quarantine_.add({line_after, decision.reason, plain.field_count(), arena_->keep_input(begin, plain.line_end())});
      return;
    }
    if (decision.trim_last) {
      // The empty last field goes with the delimiter before it.
      const std::string_view line = input_.input().substr(begin, plain.line_end() - begin);
      output_->add(arena_->keep_input(begin, begin + line.rfind(syntax_.separator()[0])));
      line_.assign(static_cast<std::size_t>((decision.fate == RowFate::Pad ? decision.fields : 0) + decision.widen),
                   syntax_.separator()[0]);
      line_.push_back('\n');
      output_->add(arena_->keep_text(line_, next));
      return;
    }
    const std::size_t end = plain.line_end();
    // Only the line end may differ. A CR LF becomes the LF of the pair, so the copy runs on
    // into the rows after it.
    const bool ends_in_lf = next == end + 1 && input_.input()[end] == '\n';
    const bool ends_in_crlf = next == end + 2;
    if (decision.fate == RowFate::Keep && decision.widen == 0 && ends_in_lf) {
      output_->add(arena_->keep_input(begin, end + 1));
      return;
    }
    output_->add(arena_->keep_input(begin, end));
    if (decision.fate == RowFate::Keep && decision.widen == 0 && ends_in_crlf) {
      output_->add(arena_->keep_input(end + 1, end + 2));
      return;
    }
    // A short row gets the delimiters of its empty fields; a lone CR or the input's end
    // becomes LF.
    line_.assign(static_cast<std::size_t>((decision.fate == RowFate::Pad ? decision.fields : 0) + decision.widen),
                 syntax_.separator()[0]);
    line_.push_back('\n');
    output_->add(arena_->keep_text(line_, next));
  }

  RowTable* parse_target(RowBytes own_bytes) noexcept {
    // Over the input, the row's text is written at the frontier of what is kept, behind the
    // parser, so that even a huge row needs no memory of its own; its line is then spelled
    // where its text lies. A stream's long row is written over its own bytes the same way.
    own_bytes_ = own_bytes;
    if (char* frontier = arena_->frontier()) {
      text_at_ = TextAt::frontier;
      row_.write_text_into(frontier, arena_->frontier_room());
    } else if (!own_bytes.empty() && input_.writable()) {
      text_at_ = TextAt::own_bytes;
      input_.write_over_row(row_, own_bytes);
    } else {
      text_at_ = TextAt::own_memory;
      row_.clear();
    }
    return &row_;
  }

  void take_parsed_row(RowTable& rows, const RowDecision& decision, std::uint64_t line_after, std::size_t unread) {
    // Where the text was written over the input: the place, and the bytes from there to the
    // first unread byte, where the text lies while it is still in place (no repair or merge
    // moved it away).
    char* place = nullptr;
    std::size_t room = 0;
    if (text_at_ == TextAt::frontier) {
      place = arena_->frontier();
      room = arena_->room_before(unread);
    } else if (text_at_ == TextAt::own_bytes) {
      place = input_.at(own_bytes_.begin);
      room = TextPlace::room(own_bytes_.begin, unread);
    }
    if (decision.fate == RowFate::Drop) return;
    const bool in_place = place != nullptr && rows.const_text().borrowed();
    // Keeps the first `size` bytes at the place.
    const auto keep_in_place = [&](std::size_t size) {
      return text_at_ == TextAt::own_bytes ? arena_->keep_input(own_bytes_.begin, own_bytes_.begin + size)
                                           : arena_->keep_written(size);
    };
    if (decision.fate == RowFate::Quarantine) {
      const RowView row = rows[0];
      const std::size_t size = syntax_.raw_content_size(row);
      if (in_place && size <= room) {
        syntax_.spell_raw_content_in_place(row, place, room, arena_->made_text());
        quarantine_.add({line_after, decision.reason, row.size(), keep_in_place(size)});
        return;
      }
      line_.clear();
      for (std::size_t i = 0; i < row.size(); ++i) {
        if (i != 0) line_.append(syntax_.separator());
        line_.append(row.field(i));
      }
      quarantine_.add({line_after, decision.reason, row.size(), arena_->keep_text(line_, unread)});
      return;
    }
    // Merging puts separators between the joined fields; where the text would then reach
    // the first unread byte (a replaced bad byte or a two-byte separator makes it longer than
    // what was read), it moves away first.
    if (decision.fate == RowFate::Merge && in_place &&
        rows.const_text().size() + decision.fields * syntax_.separator().size() > room) {
      rows.text().move_to_own_storage();
    }
    // So does a header that names added columns (once in a file).
    if (decision.names != nullptr && in_place) rows.text().move_to_own_storage();
    reshape_last_row(decision, rows, syntax_.separator(), scratch_);
    const RowView row = rows[0];
    TextBuffer& made = arena_->made_text();
    const std::size_t made_begin = made.size();
    if (in_place && rows.const_text().borrowed()) {
      // The line's head takes the place of the text; what does not fit before the first
      // unread byte goes to the made text.
      const std::size_t size = syntax_.line_size(row, !planned_line_);
      syntax_.spell_line_in_place(row, place, room, !planned_line_, made);
      output_->add(keep_in_place(size < room ? size : room));
    } else {
      syntax_.spell_line_in_place(row, nullptr, 0, !planned_line_, made);
    }
    if (made.size() != made_begin) output_->add(arena_->made_span(made_begin));
    planned_line_ = true;
  }

 private:
  ByteArena* arena_;
  OutputPlan* output_;
  QuarantineList& quarantine_;
  OutputSyntax syntax_;
  TextPlace input_;  // what the walk reads now, and whether it may be written
  // Where the text of the row being settled lies: memory of its own, over the input at the
  // arena's frontier (a whole input), or over the row's own bytes (a stream's long row).
  enum class TextAt { own_memory, frontier, own_bytes };
  TextAt text_at_ = TextAt::own_memory;
  RowBytes own_bytes_;  // the row's own bytes, with TextAt::own_bytes
  RowTable row_;        // the one row being settled
  std::string line_;
  std::string scratch_;
  bool planned_line_ = false;
};

}  // namespace rowmender
