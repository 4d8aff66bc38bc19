// Plain lines are split from bitmaps instead of by the parser. Both must agree on every
// line that is taken as plain, and lines that are not plain must be left to the parser.

#include "parser/plain_line.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "parser/resilient_parser.h"
#include "test_support.h"

namespace rowmender::test {
namespace {

std::optional<Fields> plain_fields(std::string_view input, std::size_t begin, PlainLine& line, char delimiter = ',',
                                   char quote = '"') {
  if (!line.read(input, begin, delimiter, quote)) return std::nullopt;
  RowTable rows;
  line.append_fields(rows);
  rows.end_row();
  EXPECT_EQ(rows.field_count(0), line.field_count());
  return fields_of(rows[0]);
}

struct LineCase {
  const char* name;
  std::string_view line;
  std::optional<Fields> fields;  // absent: must be left to the parser
  bool written_back = true;      // a minimal-quoting writer gives the same bytes
};

TEST(PlainLine, TakesOnlyLinesTheParserReadsPlainly) {
  const LineCase cases[] = {
      {"unquoted", "a,b,c\nnext", Fields{"a", "b", "c"}},
      {"empty line", "\nnext", Fields{""}},
      {"trailing delimiter", "a,b,\n", Fields{"a", "b", ""}},
      {"no line break at the end", "a,b", Fields{"a", "b"}},
      {"crlf", "a,b\r\nc", Fields{"a", "b"}},
      {"blanks kept", " a , b\n", Fields{" a ", " b"}},
      {"quoted with delimiter", "1,\"x, y\",2\n", Fields{"1", "x, y", "2"}},
      {"quoted with doubled quotes", "\"say \"\"hi\"\"\",2\n", Fields{"say \"hi\"", "2"}},
      {"only a doubled quote", "\"\"\"\",\"a,b\"\n", Fields{"\"", "a,b"}},
      {"doubled quote before the closing one", "x,\"a\"\"\"\r\n", Fields{"x", "a\""}},
      {"quoted last field at end of input", "1,\"x,y\"", Fields{"1", "x,y"}},
      {"doubled quote across a field's delimiter", "\"a,b\"\"c,d\"\n", Fields{"a,b\"c,d"}},
      {"valid non-ASCII", "caf\xC3\xA9,\"Malm\xC3\xB6, SE\"\n", Fields{"caf\xC3\xA9", "Malm\xC3\xB6, SE"}},
      {"quotes a writer would drop", "1,\"plain\",2\n", Fields{"1", "plain", "2"}, false},
      {"empty quoted field", "1,\"\",2\n", Fields{"1", "", "2"}, false},
      {"second quoted field needs no quotes", "\"a,b\",\"c\"\n", Fields{"a,b", "c"}, false},
      {"quote inside unquoted text", "1,5\" pipe,2\n", std::nullopt},
      {"text after closing quote", "\"a,b\"c,2\n", std::nullopt},
      {"blank after closing quote", "\"a,b\" ,2\n", std::nullopt},
      {"blank before opening quote", "1, \"a,b\"\n", std::nullopt},
      {"quoted field over two lines", "\"a,\nb\",2\n", std::nullopt},
      {"unclosed quote", "1,\"a,b\n", std::nullopt},
      {"doubled quote closing the line", "\"a\"\"\n\",1\n", std::nullopt},
      {"CR inside quotes", "\"a,\rb\",1\n", std::nullopt},
      {"three quotes in a row after text", "\"a\"\"\"b\",1\n", std::nullopt},
      {"invalid UTF-8", "caf\xE9,1\n", std::nullopt},
      {"truncated character", "1,\xC3\n", std::nullopt},
  };
  PlainLine line;
  // A leading field of varying length moves each case across the 64-byte words in which
  // quotes and delimiters are mapped.
  for (const std::size_t pad : {0u, 1u, 58u, 60u, 61u, 62u, 63u, 64u, 125u}) {
    const std::string lead = pad == 0 ? "" : std::string(pad - 1, 'p');
    for (const LineCase& c : cases) {
      const std::string input = pad == 0 ? std::string(c.line) : lead + "," + std::string(c.line);
      const std::string where = std::string(c.name) + " after " + std::to_string(pad) + " bytes";
      const std::optional<Fields> got = plain_fields(input, 0, line);
      ASSERT_EQ(got.has_value(), c.fields.has_value()) << where;
      if (!got) continue;
      Fields expected = *c.fields;
      if (pad != 0) expected.insert(expected.begin(), lead);
      EXPECT_EQ(*got, expected) << where;
      EXPECT_EQ(line.line_end(), std::min(input.find_first_of("\r\n"), input.size())) << where;
      EXPECT_EQ(line.quotes_only_where_needed(), c.written_back) << where;
    }
  }
  EXPECT_FALSE(line.read("a,b\n", 4, ',', '"')) << "end of input";
}

// The bitmaps may stand in for the parser only where a delimiter or quote byte is always
// that character: an ASCII byte, never a line break, and not both at once.
TEST(PlainLine, UsableOnlyForDistinctAsciiDelimiterAndQuote) {
  struct Pair {
    std::uint8_t delimiter;
    std::uint8_t quote;
    bool usable;
  };
  const Pair pairs[] = {
      {',', '"', true},    {';', '\'', true},  {'\t', '\'', true}, {',', '\t', true},   {'|', ' ', true},
      {',', 0xA6, false},  {0xA6, '"', false}, {0x80, '"', false}, {',', 0xFF, false},  {',', ',', false},
      {'\t', '\t', false}, {'\n', '"', false}, {',', '\r', false}, {'\r', '\n', false},
  };
  for (const Pair& p : pairs) {
    EXPECT_EQ(PlainLine::usable(p.delimiter, p.quote), p.usable)
        << "delimiter " << int{p.delimiter} << " quote " << int{p.quote};
  }
}

// Lines of many words; lines of 4096 bytes or more are always left to the parser.
TEST(PlainLine, CountsFieldsOnLongLines) {
  PlainLine line;
  EXPECT_FALSE(line.read(std::string(4096, 'x'), 0, ';', '"'));
  EXPECT_FALSE(line.read(std::string(4096, 'x') + "\n", 0, ';', '"'));
  EXPECT_TRUE(line.read(std::string(4095, 'x'), 0, ';', '"'));
  for (const std::size_t fields : {1u, 63u, 64u, 65u, 300u, 1200u}) {
    std::string text;
    for (std::size_t f = 0; f < fields; ++f) {
      if (f != 0) text.push_back(';');
      if (f % 7 == 3) {
        text += "\"q;\"\"\"";
      } else {
        text.append(f % 3, 'x');
      }
    }
    ASSERT_LT(text.size(), 4096u);
    ASSERT_TRUE(line.read(text + "\r\n", 0, ';', '"')) << fields;
    EXPECT_EQ(line.field_count(), fields);
    EXPECT_EQ(line.line_end(), text.size());
  }
}

// At every row start of random inputs, a line taken as plain gives the parser's row, for
// every usable pair of delimiter and quote, blanks and the apostrophe as quotes included.
TEST(PlainLine, AgreesWithTheParserOnRandomInputs) {
  const std::vector<std::string> tokens = {"a",
                                           "bc",
                                           "\"",
                                           "'",
                                           " ",
                                           "\t",
                                           "\n",
                                           ";",
                                           "\r\n",
                                           "\r",
                                           "\xC3\xA9",
                                           "\xFF",
                                           ",",
                                           "|",
                                           "\xE6\x9D\xB1",
                                           "\xA6",
                                           std::string(70, 'w')};
  const char delimiters[] = {',', ';', '\t', ' ', '|'};
  const char quotes[] = {'"', '"', '\'', '\t', ' '};
  std::mt19937_64 rng(11);
  auto pick = [&rng](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  PlainLine line;
  int plain_rows = 0;
  for (int iteration = 0; iteration < 30000; ++iteration) {
    const char delimiter = delimiters[pick(std::size(delimiters))];
    const char quote = quotes[pick(std::size(quotes))];
    if (!PlainLine::usable(static_cast<std::uint8_t>(delimiter), static_cast<std::uint8_t>(quote))) continue;
    const bool repair = pick(2);
    // Quoted fields made of this quote: lone, doubled, around a delimiter, with a doubled
    // quote inside.
    const std::string q(1, quote);
    const std::string quoted[] = {q, q + q, q + "x" + delimiter + "y" + q, q + "a" + q + q + "b" + q};
    std::string input;
    for (std::size_t n = pick(40); n > 0; --n) {
      switch (pick(6)) {
        case 0: input += delimiter; break;
        case 1: input += quoted[pick(std::size(quoted))]; break;
        default: input += tokens[pick(tokens.size())];
      }
    }
    ResilientParser parser(input, static_cast<std::uint8_t>(delimiter), static_cast<std::uint8_t>(quote), repair);
    RowTable table;
    while (true) {
      const std::size_t begin = parser.position();
      const std::optional<Fields> plain = plain_fields(input, begin, line, delimiter, quote);
      const std::size_t plain_end = plain ? line.line_end() : 0;
      if (!parser.next_row(table)) {
        ASSERT_FALSE(plain.has_value());
        break;
      }
      if (!plain) continue;
      ++plain_rows;
      const std::string where = ::testing::PrintToString(input) + " at " + std::to_string(begin) + " delimiter " +
                                std::to_string(int{delimiter}) + " quote " + std::to_string(int{quote});
      ASSERT_EQ(*plain, fields_of(table[table.size() - 1])) << where;
      ResilientParser skipping(input, static_cast<std::uint8_t>(delimiter), static_cast<std::uint8_t>(quote), repair);
      RowTable unused;
      while (skipping.position() < begin) skipping.next_row(unused);
      skipping.skip_row_ending_at(plain_end);
      ASSERT_EQ(skipping.position(), parser.position()) << where;
      ASSERT_EQ(skipping.line(), parser.line()) << where;
    }
  }
  EXPECT_GT(plain_rows, 20000);
}

}  // namespace
}  // namespace rowmender::test
