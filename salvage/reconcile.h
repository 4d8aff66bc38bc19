#pragma once
// Settling the shape of the table (delimiter and width) and bringing each row to it.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "parser/row_table.h"
#include "salvage/records.h"

namespace rowmender {

struct TableShape {
  std::uint8_t delimiter;
  std::uint64_t width;  // 0: rows keep whatever width they have
};

// The delimiter and width from the options, or worked out from the input where they are
// absent. The input must not be empty.
TableShape settle_shape(std::string_view input, const SalvageOptions& options);

class RowReconciler {
 public:
  RowReconciler(const SalvageOptions& options, TableShape shape);

  // Counts the last row of `rows` and brings it to the width: padded or merged when the
  // options allow (and counted as repaired), otherwise moved to `quarantine` with `line`,
  // the parser's line counter right after the row. True when the row stays in the table.
  bool reconcile_last_row(RowTable& rows, std::uint64_t line, SalvageStats& stats,
                          std::vector<QuarantineRecord>& quarantine);

 private:
  std::uint64_t width_;
  bool fill_ragged_rows_;
  bool merge_overflow_;
  std::string separator_;  // the delimiter as text, put between merged fields
  std::string merge_scratch_;
};

}  // namespace rowmender
