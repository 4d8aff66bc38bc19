#pragma once
// The records shared by the salvage passes, the file routines and the Python binding.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "parser/dialect.h"

namespace rowmender {

// The rules for damage that real files carry beyond what the row rule models (junk lines,
// NUL blocks, a trailing delimiter, a cut-off end...). Each can be turned on alone; the
// streaming road's `cleanup` setting turns on a set of them. Off, the output is exactly
// the whole-file pass's.
enum class Cleanup : std::uint16_t {
  encoding = 1 << 0,            // the encoding detected when none is given (the package's part)
  blank_lines = 1 << 1,         // blank and whitespace-only lines dropped
  preamble = 1 << 2,            // title lines above the header set aside
  footer = 1 << 3,              // summary rows (Total, Sum...) that do not fit the table set aside
  repeated_header = 1 << 4,     // copies of the header set aside
  control_bytes = 1 << 5,       // NUL bytes removed; rows of nothing else set aside
  quoting = 1 << 6,             // the quoting style (none, backslash escapes) detected from the head
  one_line_rows = 1 << 7,       // a quote left open at a line's end ends there when no row spans lines
  trailing_delimiter = 1 << 8,  // an empty last column that every row has dropped
  cut_off = 1 << 9,             // the partial last row of a cut-off input set aside
  delimiter = 1 << 10,          // the delimiter the header agrees with, where the score alone picks another
};

// The rules' names, as the settings spell them, in the order of their bits.
inline constexpr std::array<std::string_view, 11> kCleanupNames = {
    "encoding", "blank_lines",   "preamble",           "footer",  "repeated_header", "control_bytes",
    "quoting",  "one_line_rows", "trailing_delimiter", "cut_off", "delimiter"};

class CleanupRules {
 public:
  static constexpr std::uint16_t kAll = (1u << kCleanupNames.size()) - 1;
  constexpr CleanupRules() = default;
  constexpr explicit CleanupRules(std::uint16_t bits) : bits_(bits & kAll) {}
  constexpr bool has(Cleanup rule) const { return (bits_ & static_cast<std::uint16_t>(rule)) != 0; }
  constexpr bool any() const { return bits_ != 0; }
  constexpr std::uint16_t bits() const { return bits_; }
  constexpr friend bool operator==(CleanupRules, CleanupRules) = default;

 private:
  std::uint16_t bits_ = 0;
};

class LegacyBytes;

struct SalvageOptions {
  std::optional<std::uint8_t> delimiter;          // absent: sniffed from the input
  std::uint8_t quote_char = '"';                  // the output's quote, and the input's unless dialect says none
  Dialect dialect;                                // how the input quotes: no quoting, an escape byte
  bool fill_ragged_rows = true;                   // pad short rows instead of quarantining them
  bool merge_overflow = true;                     // fold surplus fields into the last column
  std::optional<std::uint64_t> expected_columns;  // absent: inferred; 0: no reconciliation
  bool repair_quotes = true;
  CleanupRules cleanup;  // none: every row is reconciled by the row rule alone
  // Borrowed for the pass: rows that are not UTF-8 are read in this encoding (a UTF-8 file
  // with rows appended in another) rather than having their bad bytes replaced.
  const LegacyBytes* legacy_rows = nullptr;
  // Borrowed for the pass: the names a later table of the input (a second export appended)
  // has beyond the first header's. The output's columns are then the first header's and
  // these: every row of the first table gets them empty, the later table's rows are put in
  // place by name, and the header names them all.
  const std::vector<std::string>* added_columns = nullptr;
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
