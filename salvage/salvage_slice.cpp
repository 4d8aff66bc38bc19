#include "salvage/salvage_slice.h"

#include "parser/plain_line.h"
#include "parser/resilient_parser.h"
#include "salvage/reconcile.h"

namespace rowmender {

SalvageOutcome salvage_slice(std::string_view input, const SalvageOptions& options) {
  SalvageOutcome outcome;
  SalvageStats& stats = outcome.stats;
  if (input.empty()) return outcome;  // whatever the options say

  const TableShape shape = settle_shape(input, options);
  stats.detected_delimiter = shape.delimiter;
  stats.inferred_columns = shape.width;

  RowTable& rows = outcome.rows;
  // Field texts are never longer than the input bar replacements and merges, so one
  // reservation usually serves the whole pass.
  rows.reserve_for_input(input.size());

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
    } else if (!parser.next_row(rows)) {
      break;
    }
    reconciler.reconcile_last_row(rows, parser.line(), stats, outcome.quarantine);
  }
  stats.salvaged_rows = rows.size();
  return outcome;
}

}  // namespace rowmender
