#include "salvage/salvage_slice.h"

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
  while (parser.next_row(rows)) reconciler.reconcile_last_row(rows, parser.line(), stats, outcome.quarantine);
  stats.salvaged_rows = rows.size();
  return outcome;
}

}  // namespace rowmender
