#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "parser/resilient_parser.h"
#include "test_support.h"

namespace rowmender::test {
namespace {

const std::string R = kReplacement;

struct ParserCase {
  const char* name;
  std::string input;
  std::vector<Fields> rows;
  std::vector<std::uint64_t> lines = {};  // empty: not checked
  std::uint8_t delimiter = ',';
  bool repair = true;
};

void PrintTo(const ParserCase& c, std::ostream* os) { *os << c.name; }

class ParserTable : public ::testing::TestWithParam<ParserCase> {};

TEST_P(ParserTable, RowsAndLineCounter) {
  const ParserCase& c = GetParam();
  const Parsed parsed = parse_all(c.input, c.delimiter, '"', c.repair);
  EXPECT_EQ(parsed.rows, c.rows);
  if (!c.lines.empty()) {
    EXPECT_EQ(parsed.lines, c.lines);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Parser, ParserTable,
    ::testing::Values(
        ParserCase{"EmptyInput", "", {}},
        ParserCase{"TwoLinesLastUnterminated", "a,b,c\nd", {{"a", "b", "c"}, {"d"}}, {2, 2}},
        ParserCase{"LoneLineFeed", "\n", {{""}}, {2}}, ParserCase{"TrailingDelimiterThenLf", "a,\n", {{"a", ""}}},
        ParserCase{"TrailingDelimiterAtEnd", "a,", {{"a", ""}}}, ParserCase{"LoneDelimiter", ",", {{"", ""}}},
        ParserCase{"MixedLineEnds", "a\r\nb\rc\nd", {{"a"}, {"b"}, {"c"}, {"d"}}, {2, 3, 4, 4}},
        ParserCase{"LfThenCrIsTwoRecords", "a\n\rb", {{"a"}, {""}, {"b"}}, {2, 3, 3}},
        ParserCase{"QuotedDelimiter", "\"a,b\"", {{"a,b"}}}, ParserCase{"DoubledQuote", "\"a\"\"b\"", {{"a\"b"}}},
        ParserCase{"DoubledQuoteKeepsFieldOpen", "\"a\"\"\nb,c", {{"a\"\nb,c"}}, {2}},
        ParserCase{"DoubledQuoteKeepsFieldOpenNoRepair", "\"a\"\"\nb,c", {{"a\"\nb,c"}}, {2}, ',', false},
        ParserCase{"QuotedLineFeed", "\"a\nb\",c\nx", {{"a\nb", "c"}, {"x"}}, {3, 3}},
        ParserCase{"QuotedCrLfCountsOnlyTheLf", "\"a\r\nb\"\r\nc", {{"a\r\nb"}, {"c"}}, {3, 3}},
        ParserCase{"QuoteInsideUnquotedField", "ab\"c\"d,e", {{"ab\"c\"d", "e"}}},
        ParserCase{"StrayQuoteRepaired", "\"a\"b\"c\",d", {{"a\"b\"c", "d"}}},
        ParserCase{"StrayQuoteNotRepaired", "\"a\"b\"c\",d", {{"ab\"c\"", "d"}}, {}, ',', false},
        ParserCase{"TextAfterClosingQuote", "\"abc\"def,x", {{"abcdef", "x"}}},
        ParserCase{"TextAfterClosingQuoteNoRepair", "\"abc\"def,x", {{"abcdef", "x"}}, {}, ',', false},
        ParserCase{"BlankBeforeDelimiterDropped", "\"a\" ,b", {{"a", "b"}}},
        ParserCase{"BlanksBeforeTextDropped", "\"a\"  x,y", {{"ax", "y"}}},
        ParserCase{"BlanksBeforeTextDroppedNoRepair", "\"a\"  x,y", {{"ax", "y"}}, {}, ',', false},
        ParserCase{"QuotedPairWithBlankIsOneField", "\"a\" \"b\",c", {{"a\" \"b", "c"}}},
        ParserCase{"TabNotDelimiterIsSkipped", "\"a\"\t\"b\",c", {{"a\"\t\"b", "c"}}},
        ParserCase{"QuoteAfterBlankIsContent", " \"a\",b", {{" \"a\"", "b"}}},
        ParserCase{
            "LookaheadStopsAtLineBreak", "\"he said \"hi\nthere\",x", {{"he said hi"}, {"there\"", "x"}}, {2, 2}},
        ParserCase{"UnterminatedQuoteRunsToEnd", "\"abc\ndef", {{"abc\ndef"}}, {2}},
        ParserCase{"LoneQuote", "\"", {{""}}}, ParserCase{"QuoteAtEndAfterDelimiter", "a,\"", {{"a", ""}}},
        ParserCase{"ClosedQuoteThenDelimiterAtEnd", "\"a\",", {{"a", ""}}},
        // A blank that is the delimiter ends the field: quoted TSV and space-separated text.
        ParserCase{"QuotedTsv", "\"a\"\t\"b\"\n", {{"a", "b"}}, {2}, '\t'},
        ParserCase{"QuotedTsvNoRepair", "\"a\"\t\"b\"\n", {{"a", "b"}}, {2}, '\t', false},
        ParserCase{"QuotedTsvBlankBeforeDelimiter", "\"a\" \t\"b\"\n", {{"a", "b"}}, {2}, '\t'},
        ParserCase{"QuotedSpaceSeparated", "\"a\" \"b\" c", {{"a", "b", "c"}}, {1}, ' '},
        ParserCase{"InvalidByte",
                   "a\xFF"
                   "b,c",
                   {{"a" + R + "b", "c"}}},
        ParserCase{"ByteOrderMarkAlone", "\xEF\xBB\xBF", {}},
        ParserCase{"ByteOrderMarkSkipped",
                   "\xEF\xBB\xBF"
                   "a,b",
                   {{"a", "b"}}},
        ParserCase{"ByteOrderMarkLaterIsContent", "x\xEF\xBB\xBF", {{"x\xEF\xBB\xBF"}}},
        ParserCase{"TruncatedByteOrderMark", "\xEF\xBB", {{R}}},
        ParserCase{"HighDelimiterSplitsCharacter", "x\xC2\xA6y", {{"x" + R, "y"}}, {1}, 0xA6}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Parser, PositionAndExhaustion) {
  ResilientParser parser("a,b,c\nd", ',', '"', true);
  RowTable rows;
  EXPECT_EQ(parser.position(), 0u);
  ASSERT_TRUE(parser.next_row(rows));
  EXPECT_EQ(parser.position(), 6u);
  ASSERT_TRUE(parser.next_row(rows));
  EXPECT_EQ(parser.position(), 7u);
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(parser.next_row(rows));
  EXPECT_EQ(rows.size(), 2u);
  EXPECT_EQ(parser.line(), 2u);
}

// One U+FFFD for each maximal subpart of an ill-formed sequence.
TEST(Parser, InvalidUtf8ReplacedPerMaximalSubpart) {
  const struct {
    std::string bytes;
    std::string text;
  } cases[] = {
      {"a\xF1\x80\x80\xE1\x80\xC2"
       "b\x80"
       "c\x80\xBF"
       "d",
       "a" + R + R + R + "b" + R + "c" + R + R + "d"},
      {"\xED\xA0\x80", R + R + R},  // surrogate
      {"\xE0\x80", R + R},          // overlong lead
      {"\xC0\xAF", R + R},
      {"\xF4\x90\x80\x80", R + R + R + R},  // above U+10FFFF
      {"x\xE2\x82", "x" + R},               // truncated at the end of the field
      {"\xF0\x9F\x98", R},
      {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
      {"\xC3\xA9\xFF", "\xC3\xA9" + R},
      {"\xE2\x82;x", R + ";x"},  // truncated before ASCII
  };
  for (const auto& c : cases) {
    const Parsed parsed = parse_all(c.bytes);
    ASSERT_EQ(parsed.rows.size(), 1u);
    EXPECT_EQ(parsed.rows[0], Fields{c.text}) << ::testing::PrintToString(c.bytes);
  }
}

TEST(Parser, InvalidUtf8IsRepairedPerField) {
  // A truncated character at the end of one field must not swallow the next field's bytes.
  const Parsed parsed = parse_all("\xC3,\xA9\n\xC3\xA9,x");
  EXPECT_EQ(parsed.rows, (std::vector<Fields>{{R, R}, {"\xC3\xA9", "x"}}));
}

// Offsets start 32 bits wide and widen once a value needs more; no value may be lost then.
TEST(OffsetVector, WideningKeepsValues) {
  OffsetVector v;
  const std::uint64_t big = std::uint64_t{1} << 33;
  v.push_back(1);
  v.push_back(0xFFFFFFFFu);
  v.append_copies(big, 2);
  v.push_back(7);
  v.append_copies(3, 2);
  const std::vector<std::uint64_t> expected = {1, 0xFFFFFFFFu, big, big, 7, 3, 3};
  ASSERT_EQ(v.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(v[i], expected[i]) << i;
  v.truncate(3);
  EXPECT_EQ(v.size(), 3u);
  EXPECT_EQ(v[2], big);
  v.truncate(5);  // never grows: growing could allocate, and truncate may not fail
  EXPECT_EQ(v.size(), 3u);
}

// Reading only a row's shape must agree with reading the row: the same field count, and
// "counted" exactly when the row is not one field of White_Space characters only (decoded
// here on their own, from the text the full reading gives).
TEST(Parser, RowShapeAgreesWithTheRow) {
  const auto white = [](std::uint32_t c) {
    static const std::uint32_t list[] = {0x09, 0x0A,   0x0B,   0x0C,   0x0D,   0x20,   0x85,
                                         0xA0, 0x1680, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000};
    return (c >= 0x2000 && c <= 0x200A) || std::find(std::begin(list), std::end(list), c) != std::end(list);
  };
  const auto blank = [&](const std::string& utf8) {
    for (std::size_t i = 0; i < utf8.size();) {
      const auto b = static_cast<std::uint8_t>(utf8[i]);
      const std::size_t n = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
      std::uint32_t c = n == 1 ? b : b & (0x7F >> n);
      for (std::size_t k = 1; k < n; ++k) c = (c << 6) | (static_cast<std::uint8_t>(utf8[i + k]) & 0x3F);
      if (!white(c)) return false;
      i += n;
    }
    return true;
  };
  const char* tokens[] = {
      " ",        "\t",           "\v",   "\xC2\x85", "\xC2\xA0", "\xE2\x80\x80", "\xE2\x80\x8A", "\xE3\x80\x80",
      "\xE2\x80", "\xE0\x82\x85", "\xC2", "\xFF",     "a",        "\"",           "\"\"",         ",",
      "\n",       "\r\n",         "\r"};
  std::mt19937_64 rng(5);
  for (int iteration = 0; iteration < 20000; ++iteration) {
    std::string input;
    for (std::size_t n = rng() % 12; n > 0; --n) input += tokens[rng() % std::size(tokens)];
    const std::uint8_t quote = rng() % 4 == 0 ? 0x80 : '"';
    const bool repair = rng() % 2;
    const Parsed parsed = parse_all(input, ',', quote, repair);
    ResilientParser shapes(input, ',', quote, repair);
    for (const Fields& row : parsed.rows) {
      ResilientParser::RowShape shape;
      ASSERT_TRUE(shapes.next_row_shape(shape)) << ::testing::PrintToString(input);
      EXPECT_EQ(shape.fields, row.size()) << ::testing::PrintToString(input);
      EXPECT_EQ(shape.counted, row.size() != 1 || !blank(row[0])) << ::testing::PrintToString(input);
    }
  }
}

}  // namespace
}  // namespace rowmender::test
