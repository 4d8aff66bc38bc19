#include "salvage/salvage_slice.h"

#include "parser/plain_line.h"
#include "parser/resilient_parser.h"
#include "salvage/reconcile.h"

namespace rowmender {

namespace {

// The pass over `input` into `outcome`. With `over_input`, the rows' text starts out in the
// buffer that holds `input` and is written over it from the front, so it must stay behind
// the parser. A plain line's fields are never longer than the line, and stay so through
// reconciliation (its delimiter is ASCII), so they are written in place. The parser's rows
// can grow (U+FFFD for a bad byte, a two-byte separator when merging), so they are settled
// in a table of their own and moved in only when they fit before the next unread byte; a
// row that does not fit moves the whole text to memory of its own.
void run_pass(std::string_view input, const SalvageOptions& options, bool over_input, SalvageOutcome& outcome) {
  SalvageStats& stats = outcome.stats;
  const TableShape shape = settle_shape(input, options);
  stats.detected_delimiter = shape.delimiter;
  stats.inferred_columns = shape.width;

  RowTable& rows = outcome.rows;
  // Field texts are never longer than the input bar replacements and merges, so one
  // reservation usually serves the whole pass.
  rows.reserve_for_input(input.size());
  RowTable parsed;

  RowReconciler reconciler(options, shape);
  ResilientParser parser(input, shape.delimiter, options.quote_char, options.repair_quotes);
  // Plain lines are split from their bitmaps; the parser takes every other row.
  const bool read_plain_lines = PlainLine::usable(shape.delimiter, options.quote_char);
  PlainLine plain;
  while (true) {
    if (read_plain_lines && plain.read(input, parser.position(), static_cast<char>(shape.delimiter),
                                       static_cast<char>(options.quote_char))) {
      plain.append_fields(rows);
      rows.end_row();
      parser.skip_row_ending_at(plain.line_end());
      reconciler.reconcile_last_row(rows, parser.line(), stats, outcome.quarantine);
      continue;
    }
    if (!over_input) {
      if (!parser.next_row(rows)) break;
      reconciler.reconcile_last_row(rows, parser.line(), stats, outcome.quarantine);
      continue;
    }
    parsed.clear();
    if (!parser.next_row(parsed)) break;
    if (!reconciler.reconcile_last_row(parsed, parser.line(), stats, outcome.quarantine)) continue;
    if (rows.const_text().size() + parsed.row_text(0).size() > parser.position()) {
      rows.text().move_to_own_storage();
      over_input = false;
    }
    rows.append_row_from(parsed, 0);
  }
  stats.salvaged_rows = rows.size();
}

}  // namespace

SalvageOutcome salvage_slice(std::string_view input, const SalvageOptions& options) {
  SalvageOutcome outcome;
  if (input.empty()) return outcome;  // whatever the options say
  run_pass(input, options, false, outcome);
  return outcome;
}

SalvageOutcome salvage_buffer(ByteBuffer buffer, std::size_t size, const SalvageOptions& options) {
  const std::string_view input(buffer.data(), size);
  if (input.empty()) return salvage_slice(input, options);
  SalvageOutcome outcome;
  outcome.rows.write_text_over(std::move(buffer));
  run_pass(input, options, true, outcome);
  outcome.rows.end_of_input();
  return outcome;
}

}  // namespace rowmender
