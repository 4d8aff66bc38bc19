#include "salvage/salvage_slice.h"

#include "heuristics/structure.h"
#include "parser/resilient_parser.h"
#include "parser/utf8.h"

namespace rowmender {
namespace {

std::string reason_text(const char* what, std::uint64_t width) {
  std::string reason = "Row has ";
  reason += what;
  reason += " columns (expected ";
  reason += std::to_string(width);
  reason += ')';
  return reason;
}

}  // namespace

SalvageOutcome salvage_slice(std::string_view input, const SalvageOptions& options) {
  SalvageOutcome outcome;
  SalvageStats& stats = outcome.stats;
  if (input.empty()) return outcome;  // whatever the options say

  const std::uint8_t delimiter =
      options.delimiter ? *options.delimiter : sniff_delimiter(input, options.quote_char, options.repair_quotes);
  const std::uint64_t width = options.expected_columns
                                  ? *options.expected_columns
                                  : infer_column_count(input, delimiter, options.quote_char, options.repair_quotes);
  stats.detected_delimiter = delimiter;
  stats.inferred_columns = width;

  const std::string separator = latin1_char(delimiter);
  std::string merge_scratch;
  RowTable& rows = outcome.rows;
  // Field texts are never longer than the input bar replacements and merges, so one
  // reservation usually serves the whole pass.
  rows.reserve_for_input(input.size());

  ResilientParser parser(input, delimiter, options.quote_char, options.repair_quotes);
  while (parser.next_row(rows)) {
    ++stats.total_rows;
    const std::size_t fields = rows.field_count(rows.size() - 1);
    if (width == 0 || fields == width) continue;
    if (fields < width) {
      if (options.fill_ragged_rows) {
        rows.pad_last_row(width - fields);
        ++stats.repaired_rows;
        continue;
      }
      outcome.quarantine.push_back({parser.line(), reason_text("too few", width), rows.take_last_row()});
    } else {
      if (options.merge_overflow) {
        rows.merge_last_row_from(static_cast<std::size_t>(width - 1), separator, merge_scratch);
        ++stats.repaired_rows;
        continue;
      }
      outcome.quarantine.push_back({parser.line(), reason_text("extra", width), rows.take_last_row()});
    }
  }
  stats.salvaged_rows = rows.size();
  stats.quarantined_rows = outcome.quarantine.size();
  return outcome;
}

}  // namespace rowmender
