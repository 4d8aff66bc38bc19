#pragma once
// The records shared by the salvage passes, the file routines and the Python binding.

#include <cstdint>
#include <optional>

namespace rowmender {

struct SalvageOptions {
  std::optional<std::uint8_t> delimiter;  // absent: sniffed from the input
  std::uint8_t quote_char = '"';
  bool fill_ragged_rows = true;                   // pad short rows instead of quarantining them
  bool merge_overflow = true;                     // fold surplus fields into the last column
  std::optional<std::uint64_t> expected_columns;  // absent: inferred; 0: no reconciliation
  bool repair_quotes = true;
};

struct SalvageStats {
  std::uint64_t total_rows = 0;
  std::uint64_t salvaged_rows = 0;
  std::uint64_t repaired_rows = 0;
  std::uint64_t quarantined_rows = 0;
  std::uint8_t detected_delimiter = ',';  // shown as the character with this code point
  std::uint64_t inferred_columns = 0;
};

}  // namespace rowmender
