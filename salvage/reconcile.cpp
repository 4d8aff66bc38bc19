#include "salvage/reconcile.h"

#include "heuristics/structure_inference.h"
#include "unicode/utf8.h"

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

TableShape settle_shape(std::string_view input, const SalvageOptions& options) {
  const std::uint8_t delimiter =
      options.delimiter ? *options.delimiter : sniff_delimiter(input, options.quote_char, options.repair_quotes);
  const std::uint64_t width = options.expected_columns
                                  ? *options.expected_columns
                                  : infer_column_count(input, delimiter, options.quote_char, options.repair_quotes);
  return {delimiter, width};
}

RowReconciler::RowReconciler(const SalvageOptions& options, TableShape shape)
    : width_(shape.width),
      fill_ragged_rows_(options.fill_ragged_rows),
      merge_overflow_(options.merge_overflow),
      separator_(latin1_char(shape.delimiter)) {}

bool RowReconciler::reconcile_last_row(RowTable& rows, std::uint64_t line, SalvageStats& stats,
                                       std::vector<QuarantineRecord>& quarantine) {
  ++stats.total_rows;
  const std::size_t fields = rows.field_count(rows.size() - 1);
  if (width_ == 0 || fields == width_) return true;
  if (fields < width_) {
    if (fill_ragged_rows_) {
      rows.pad_last_row(width_ - fields);
      ++stats.repaired_rows;
      return true;
    }
    quarantine.push_back({line, reason_text("too few", width_), rows.take_last_row()});
  } else {
    if (merge_overflow_) {
      rows.merge_last_row_from(static_cast<std::size_t>(width_ - 1), separator_, merge_scratch_);
      ++stats.repaired_rows;
      return true;
    }
    quarantine.push_back({line, reason_text("extra", width_), rows.take_last_row()});
  }
  ++stats.quarantined_rows;
  return false;
}

}  // namespace rowmender
