#include "salvage/row_rule.h"

namespace rowmender {

std::string quarantine_reason_text(QuarantineReason reason, std::uint64_t width) {
  switch (reason) {
    case QuarantineReason::Preamble: return "Line above the header that does not fit the table";
    case QuarantineReason::Footer: return "Summary row below the table";
    case QuarantineReason::RepeatedHeader: return "Repeated header";
    case QuarantineReason::Garbage: return "Row of nothing but control bytes";
    case QuarantineReason::CutOff: return "Partial last row of a cut-off input";
    case QuarantineReason::NewSection: return "Header of another table; the rows below it are matched by name";
    case QuarantineReason::OtherTable: return "Header of another table with other columns";
    default: break;
  }
  std::string text = reason == QuarantineReason::TooFewColumns ? "Row has too few columns (expected "
                                                               : "Row has extra columns (expected ";
  text += std::to_string(width);
  text += ')';
  return text;
}

void reshape_last_row(const RowDecision& decision, RowTable& rows, std::string_view separator, std::string& scratch) {
  if (decision.trim_last) rows.drop_last_field();
  if (decision.fate == RowFate::Pad) {
    rows.pad_last_row(decision.fields);
  } else if (decision.fate == RowFate::Merge) {
    const std::size_t fields = rows.field_count(rows.size() - 1);
    rows.merge_last_row_from(fields - static_cast<std::size_t>(decision.fields) - 1, separator, scratch);
  }
  if (decision.remap != nullptr) rows.remap_last_row(*decision.remap, scratch, decision.names);
  if (decision.widen != 0) rows.pad_last_row(decision.widen);
}

}  // namespace rowmender
