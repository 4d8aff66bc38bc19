#pragma once
// Small helpers shared by the engine tests.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "parser/resilient_parser.h"
#include "parser/row.h"

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

}  // namespace rowmender::test
