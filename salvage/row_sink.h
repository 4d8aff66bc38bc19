#pragma once
// What a pass gives the walk to keep its rows: a sink. The walk reads each row, the row rule
// decides its fate, and the sink puts it where the pass keeps rows (a table to hand out, or
// spans of an output plan). `next`/`unread` is where the following row begins: every byte
// before it has been read, so a sink may write text over it.

#include <concepts>
#include <cstddef>
#include <cstdint>

#include "parser/plain_line.h"
#include "parser/row_table.h"
#include "salvage/row_bytes.h"
#include "salvage/row_rule.h"

namespace rowmender {

template <typename S>
concept RowSink = requires(S& sink, const S& const_sink, const PlainLine& plain, const RowDecision& decision,
                           RowTable& table, RowBytes own_bytes, std::size_t offset, std::uint64_t line) {
  // Runs of blank lines that are kept as they are, taken at once: [begin, end) of the text.
  { const_sink.takes_blank_lines() } -> std::same_as<bool>;
  sink.take_blank_lines(offset, offset);
  // A row read as a plain line from its bitmaps, when the sink can use it so: its begin, the
  // next row's begin, and the line after it.
  { const_sink.takes_plain_line(plain, decision) } -> std::same_as<bool>;
  sink.take_plain_line(plain, offset, offset, decision, line);
  // The table the parser appends the next row to, given the row's own bytes the text may be
  // written over (empty when it may not); nullptr ends the walk before the row.
  { sink.parse_target(own_bytes) } -> std::same_as<RowTable*>;
  sink.take_parsed_row(table, decision, line, offset);
};

}  // namespace rowmender
