// The production parser scans in bulk and answers the stray-quote question from a per-line
// survey instead of rescanning the line for every lone quote. This file keeps a deliberately
// naive parser that applies every rule byte by byte, rescans the rest of the line for every
// lone quote it judges, and decodes UTF-8 on its own, and checks that both agree on many
// random inputs.

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "parser/resilient_parser.h"
#include "reference_parser.h"
#include "test_support.h"

namespace rowmender::test {
namespace {

TEST(ReferenceParser, ProductionParserMatchesOnRandomInputs) {
  const std::vector<std::string> tokens = {"\"",   "'", ",", ";",    "|",    "\t",   " ",    "\r",          "\n",
                                           "\r\n", "a", "b", "\xFF", "\xC3", "\xA6", "\xA9", "\xEF\xBB\xBF"};
  const std::uint8_t delimiters[] = {',', ';', '\t', ' ', '|', '\r', '\n', 0xA6, '"', 'a'};
  const std::uint8_t quotes[] = {'"', '"', '\'', '\t', ' ', '\r', '\n', 0xA6, ','};
  std::mt19937_64 rng(20240611);
  auto pick = [&rng](std::size_t n) { return static_cast<std::size_t>(rng() % n); };

  int compared_rows = 0;
  for (int iteration = 0; iteration < 40000; ++iteration) {
    const std::uint8_t delimiter = delimiters[pick(std::size(delimiters))];
    const std::uint8_t quote = pick(10) == 0 ? delimiter : quotes[pick(std::size(quotes))];
    const bool repair = pick(4) != 0;
    std::string input = pick(8) == 0 ? "\xEF\xBB\xBF" : "";
    const std::size_t length = pick(8) == 0 ? 120 : 30;
    for (std::size_t n = pick(length); n > 0; --n) {
      switch (pick(6)) {
        case 0: input.push_back(static_cast<char>(quote)); break;
        case 1: input.push_back(static_cast<char>(delimiter)); break;
        default: input.append(tokens[pick(tokens.size())]);
      }
    }

    ReferenceParser reference(input, delimiter, quote, repair);
    ResilientParser parser(input, delimiter, quote, repair);
    RowTable table;
    for (int row = 0;; ++row) {
      const std::string where = "row " + std::to_string(row) + " of " + ::testing::PrintToString(input) +
                                " delimiter " + std::to_string(delimiter) + " quote " + std::to_string(quote) +
                                (repair ? " repair on" : " repair off");
      const std::optional<Fields> expected = reference.next_row();
      const bool got = parser.next_row(table);
      ASSERT_EQ(got, expected.has_value()) << where;
      if (!got) break;
      ++compared_rows;
      ASSERT_EQ(fields_of(table[table.size() - 1]), *expected) << where;
      ASSERT_EQ(parser.line(), reference.line) << where;
      ASSERT_EQ(parser.position(), reference.position()) << where;
    }
  }
  EXPECT_GT(compared_rows, 40000);
}

// A long line of lone quotes inside one quoted field: a naive lookahead would rescan the
// rest of the line for each of them. This must finish quickly.
TEST(ReferenceParser, LoneQuotesOnOneLongLineParseInLinearTime) {
  for (const std::string unit : {"\"a", "\" a", "\"\t"}) {
    std::string field = "a";
    while (field.size() < (2u << 20)) field.append(unit);
    const std::string input = "\"" + field + "\"\nx,y";
    const Parsed parsed = parse_all(input);
    ASSERT_EQ(parsed.rows.size(), 2u);
    EXPECT_EQ(parsed.rows[0], Fields{field});
    EXPECT_EQ(parsed.rows[1], (Fields{"x", "y"}));
    EXPECT_EQ(parsed.lines, (std::vector<std::uint64_t>{2, 2}));
  }
}

}  // namespace
}  // namespace rowmender::test
