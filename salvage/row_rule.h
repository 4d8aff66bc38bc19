#pragma once
// The one rule that decides what becomes of a row, from its field count alone: kept as it
// is, padded, merged, or quarantined. Every pass asks it and counts its answers through
// count_row, so the passes differ only in where kept rows go.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "parser/row_table.h"
#include "salvage/records.h"

namespace rowmender {

// Drop: not a row at all (a blank line, with the cleanup rule for them); it goes nowhere and
// only the change log tells of it.
enum class RowFate : std::uint8_t { Keep, Pad, Merge, Quarantine, Drop };
// Why a row was set aside: its width, or one of the cleanup rules (row_screen.h).
enum class QuarantineReason : std::uint8_t {
  TooFewColumns,
  ExtraColumns,
  Preamble,
  Footer,
  RepeatedHeader,
  Garbage,
  CutOff,
  NewSection,  // the header of another table, whose rows are matched to the first by name
  OtherTable,  // the header of another table with columns the first does not have
};
inline constexpr unsigned kQuarantineReasons = 9;

struct RowDecision {
  RowFate fate = RowFate::Keep;
  // Pad: empty fields to add. Merge: surplus fields joined into the last column.
  std::uint64_t fields = 0;
  QuarantineReason reason = QuarantineReason::TooFewColumns;  // for Quarantine
  // Before the fate: the row's empty last field (a delimiter ending every line) dropped.
  bool trim_last = false;
  std::uint64_t control_bytes = 0;  // NUL bytes removed from the row's fields
  // After the fate: the fields put in the first header's order, column j taking field
  // (*remap)[j] (kNoField: empty). Borrowed from the RowScreen.
  const std::vector<std::uint32_t>* remap = nullptr;
  static constexpr std::uint32_t kNoField = 0xFFFFFFFF;
  // With a remap: column j that takes no field takes (*names)[j] instead (the header of
  // tables joined by name). Borrowed from the RowScreen.
  const std::vector<std::string>* names = nullptr;
  // The row is a later table's, its fields matched to the first header by name.
  bool matched = false;
  // After the fate: empty fields added for the columns a later table adds (not a change of
  // the row: every row of the first table has them).
  std::uint64_t widen = 0;

  // Whether the row comes out other than it went in.
  bool changed() const noexcept { return fate != RowFate::Keep || trim_last || control_bytes != 0 || remap != nullptr; }
};

class RowRule {
 public:
  RowRule(const SalvageOptions& options, std::uint64_t width) noexcept
      : width_(width), fill_ragged_rows_(options.fill_ragged_rows), merge_overflow_(options.merge_overflow) {}

  std::uint64_t width() const noexcept { return width_; }

  RowDecision decide(std::uint64_t fields) const noexcept {
    if (width_ == 0 || fields == width_) return {};
    if (fields < width_) {
      if (fill_ragged_rows_) return {RowFate::Pad, width_ - fields};
      return {RowFate::Quarantine, 0, QuarantineReason::TooFewColumns};
    }
    if (merge_overflow_) return {RowFate::Merge, fields - width_};
    return {RowFate::Quarantine, 0, QuarantineReason::ExtraColumns};
  }

 private:
  std::uint64_t width_;  // 0: rows keep whatever width they have
  bool fill_ragged_rows_;
  bool merge_overflow_;
};

// Counts one row of a pass by its fate.
inline void count_row(const RowDecision& decision, SalvageStats& stats) noexcept {
  if (decision.fate == RowFate::Drop) return;
  ++stats.total_rows;
  if (decision.fate == RowFate::Pad || decision.fate == RowFate::Merge) ++stats.repaired_rows;
  if (decision.fate == RowFate::Quarantine) ++stats.quarantined_rows;
}

// The counts that follow from the others once a pass is over.
inline void finish_counts(SalvageStats& stats) noexcept {
  stats.salvaged_rows = stats.total_rows - stats.quarantined_rows;
}

// "Row has too few columns (expected 5)", "Row has extra columns (expected 5)", and the
// cleanup rules' reasons.
std::string quarantine_reason_text(QuarantineReason reason, std::uint64_t width);

// Brings the last row of `rows` to the width by a Pad or Merge decision (after dropping its
// empty last field, when the decision says so); Keep leaves it.
// `separator` is the delimiter as text, put between merged fields.
void reshape_last_row(const RowDecision& decision, RowTable& rows, std::string_view separator, std::string& scratch);

}  // namespace rowmender
