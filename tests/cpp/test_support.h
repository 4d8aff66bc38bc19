#pragma once
// Small helpers shared by the engine tests.

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "parser/resilient_parser.h"
#include "parser/row_table.h"
#include "salvage/quarantine_list.h"
#include "salvage/records.h"

namespace rowmender::test {

using Fields = std::vector<std::string>;

inline constexpr const char* kReplacement = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

template <typename RowLike>
Fields fields_of(const RowLike& row) {
  Fields fields;
  for (std::size_t i = 0; i < row.size(); ++i) fields.emplace_back(row.field(i));
  return fields;
}

inline std::vector<Fields> rows_of(const RowTable& table) {
  std::vector<Fields> rows;
  for (std::size_t r = 0; r < table.size(); ++r) rows.push_back(fields_of(table[r]));
  return rows;
}

// Every row of `input`, with the parser's line counter right after each row.
struct Parsed {
  std::vector<Fields> rows;
  std::vector<std::uint64_t> lines;
};

inline Parsed parse_all(std::string_view input, std::uint8_t delimiter = ',', std::uint8_t quote = '"',
                        bool repair = true) {
  ResilientParser parser(input, delimiter, quote, repair);
  RowTable table;  // rows accumulate, as they do in the salvage pass
  Parsed parsed;
  while (parser.next_row(table)) parsed.lines.push_back(parser.line());
  parsed.rows = rows_of(table);
  return parsed;
}

// A quarantined row as the quarantine file shows it, with its field count.
struct Quarantined {
  std::uint64_t line;
  std::string reason;
  std::uint64_t fields;
  std::string raw;  // the fields joined by the separator text
  bool operator==(const Quarantined&) const = default;
};

inline void PrintTo(const Quarantined& q, std::ostream* os) {
  *os << q.line << " " << q.reason << " " << q.fields << " " << ::testing::PrintToString(q.raw);
}

inline std::vector<Quarantined> quarantined_rows(const QuarantineList& list, const ByteArena& arena,
                                                 std::uint64_t width) {
  std::vector<Quarantined> out;
  list.for_each([&](const QuarantineRecord& r) {
    out.push_back({r.line, quarantine_reason_text(r.reason, width), r.fields, std::string(arena.view(r.content))});
  });
  return out;
}

// The counts and shape of a pass, to compare two passes in one assertion.
inline auto stats_of(const SalvageStats& s) {
  return std::make_tuple(s.total_rows, s.salvaged_rows, s.repaired_rows, s.quarantined_rows, s.detected_delimiter,
                         s.inferred_columns);
}

struct SalvageCase {
  std::string input;
  SalvageOptions options;
};

// Random options and an input of up to eleven rows of 1 to `max_fields` fields joined by
// the delimiter, each field a few of `tokens`; now and then a byte-order mark first, a
// CR LF, or no line break at the end.
inline SalvageCase random_salvage_case(std::mt19937_64& rng, std::span<const std::string> tokens,
                                       std::span<const std::uint8_t> delimiters, std::span<const std::uint8_t> quotes,
                                       std::size_t max_fields) {
  auto pick = [&rng](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  SalvageCase c;
  const std::uint8_t delimiter = delimiters[pick(delimiters.size())];
  if (pick(3) != 0) c.options.delimiter = delimiter;
  c.options.quote_char = quotes[pick(quotes.size())];
  c.options.fill_ragged_rows = pick(2);
  c.options.merge_overflow = pick(2);
  c.options.repair_quotes = pick(4) != 0;
  if (pick(2)) c.options.expected_columns = pick(5);
  if (pick(6) == 0) c.input = "\xEF\xBB\xBF";
  for (std::size_t rows = pick(12); rows > 0; --rows) {
    for (std::size_t fields = 1 + pick(max_fields), f = 0; f < fields; ++f) {
      if (f != 0) c.input.push_back(static_cast<char>(delimiter));
      for (std::size_t n = pick(3); n > 0; --n) c.input += tokens[pick(tokens.size())];
    }
    c.input += pick(5) == 0 ? "\r\n" : "\n";
  }
  if (!c.input.empty() && pick(3) == 0) c.input.pop_back();
  return c;
}

}  // namespace rowmender::test
