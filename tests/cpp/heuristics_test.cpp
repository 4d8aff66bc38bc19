#include <gtest/gtest.h>

#include <random>
#include <string>

#include "heuristics/structure_inference.h"

namespace rowmender {
namespace {

std::string repeat(const std::string& line, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += line + "\n";
  return out;
}

struct SniffCase {
  const char* name;
  std::string input;
  char expected;
};

void PrintTo(const SniffCase& c, std::ostream* os) { *os << c.name; }

class SniffTable : public ::testing::TestWithParam<SniffCase> {};

TEST_P(SniffTable, PicksDelimiter) {
  EXPECT_EQ(sniff_delimiter(GetParam().input), static_cast<std::uint8_t>(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(
    Sniff, SniffTable,
    ::testing::Values(SniffCase{"Empty", "", ','}, SniffCase{"ByteOrderMarkOnly", "\xEF\xBB\xBF", ','},
                      SniffCase{"SingleLine", "a;b;c", ','}, SniffCase{"SingleLineWithLf", "a;b;c\n", ','},
                      SniffCase{"TwoLines", "a;b;c\nd;e;f", ';'},
                      SniffCase{"WorkedExampleSemicolon", "name;age;city\nAnn;31;Oslo, Norway\nBob;27;Bergen\n", ';'},
                      // 46 of 50 rows with three fields beat a clean two-field split; 45 do not.
                      SniffCase{"LogWeightWins", repeat("a;b;c,d", 46) + repeat("a;b,c", 4), ';'},
                      SniffCase{"LogWeightLoses", repeat("a;b;c,d", 45) + repeat("a;b,c", 5), ','},
                      SniffCase{"BlankLinesNotCounted", "a;b\n\n   \nc;d\n", ';'},
                      // Counted, the two whitespace rows would make three rows and let the semicolon win.
                      SniffCase{"UnicodeBlankLinesNotCounted", "a;b\n\xC2\xA0\n\xE3\x80\x80\n", ','},
                      SniffCase{"SingleFieldRowLowersShare", "id\n1;2\n3;4\n", ';'},
                      SniffCase{"EqualScoresKeepEarlier", "a,b;c\nd,e;f\n", ','},
                      SniffCase{"ByteOrderMarkSkipped", "\xEF\xBB\xBF\na;b", ','},
                      SniffCase{"OnlyFirstFiftyCountedRows", repeat("a,b", 50) + repeat("a;b;c;d", 1000), ','},
                      SniffCase{"BlankLinesDoNotUseUpSample", repeat("", 80) + repeat("a|b|c", 2), '|'},
                      SniffCase{"QuotedDelimiterNotSplit", "\"a;b;c\",d\n\"e;f;g\",h\n", ','},
                      SniffCase{"QuotedTabSeparated", "\"a\"\t\"b\"\n\"c\"\t\"d\"\n", '\t'},
                      // Semicolon: counts 3 and 4 five times each; the larger count wins the tie and scores
                      // 0.5 x ln 4 = 0.69, above the comma's 0.6 (0.5 x ln 3 = 0.55 would lose).
                      SniffCase{"FrequencyTieGoesToLargerCount",
                                repeat("a,x;b;c", 5) + repeat("a,x;b;c;d", 1) + repeat("a;b;c;d", 4), ';'}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Sniff, UsesGivenQuoteCharacter) {
  const std::string input = "'a;b;c',d\n'e;f;g',h\n";
  EXPECT_EQ(sniff_delimiter(input), ';');
  EXPECT_EQ(sniff_delimiter(input, '\''), ',');
}

struct InferCase {
  const char* name;
  std::string input;
  char delimiter;
  std::uint64_t expected;
};

void PrintTo(const InferCase& c, std::ostream* os) { *os << c.name; }

class InferTable : public ::testing::TestWithParam<InferCase> {};

TEST_P(InferTable, MostFrequentFieldCount) {
  const InferCase& c = GetParam();
  EXPECT_EQ(infer_column_count(c.input, static_cast<std::uint8_t>(c.delimiter)), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Infer, InferTable,
    ::testing::Values(InferCase{"Empty", "", ',', 0}, InferCase{"ByteOrderMarkOnly", "\xEF\xBB\xBF", ',', 0},
                      InferCase{"OnlyBlankLines", "\n   \n\t\n", ',', 0},
                      InferCase{"OnlyUnicodeWhitespace", "\xC2\xA0\n\xE3\x80\x80\n\xE2\x80\xA8\n\xC2\x85", ',', 0},
                      InferCase{"WorkedExample", "id,name,city\n1,Ann,Oslo\n\n2,Bob\n3,Eve,Bergen,extra\n", ',', 3},
                      InferCase{"SingleFieldRowsEligible", "x\ny\nz", ',', 1},
                      InferCase{"OneCountedRowEnough", "x;y", ';', 2},
                      InferCase{"OnlyFirstHundredCountedRows", repeat("a,b", 100) + repeat("a,b,c", 200), ',', 2},
                      // Blank lines neither count nor use up the sample: the first 100 counted rows are
                      // 40 of three fields and 60 of two.
                      InferCase{"BlankLinesDoNotUseUpSample",
                                repeat("", 60) + repeat("a,b,c", 40) + repeat("a,b", 60) + repeat("a,b,c", 100), ',',
                                2},
                      InferCase{"BlankFirstLineAfterByteOrderMark", "\xEF\xBB\xBF\na;b\nc;d\n", ';', 2},
                      InferCase{"QuotedDelimiterAndLineBreak", "\"a,\nb\",c\nd,e\nf,g,h\n", ',', 2},
                      InferCase{"TieGoesToLargerCount", "a,b\nc,d,e\n", ',', 3},
                      InferCase{"TieGoesToLargerCountWhateverOrder", "c,d,e\na,b\n", ',', 3},
                      // U+00A0 and U+3000 rows are blank; U+200B is not White_Space and makes a counted row.
                      InferCase{"NoBreakSpaceRowsNotCounted", "a,b\n\xC2\xA0\n\xE3\x80\x80 \n", ',', 2},
                      InferCase{"ZeroWidthSpaceRowsCounted", "a,b\n\xE2\x80\x8B\n\xE2\x80\x8B\n", ',', 1},
                      InferCase{"AllEmptyFieldsStillCount", ",,\n,,\nx\n", ',', 3}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Infer, UsesGivenQuoteCharacterAndRepairSetting) {
  const std::string apostrophes = "'a,b',c\n'd,e',f\n";
  EXPECT_EQ(infer_column_count(apostrophes, ','), 3u);
  EXPECT_EQ(infer_column_count(apostrophes, ',', '\''), 2u);
  // With repair on the inner quote is stray and the field runs on to the last quote.
  const std::string stray = "\"a\"b,c\",d\n";
  EXPECT_EQ(infer_column_count(stray, ',', '"', true), 2u);
  EXPECT_EQ(infer_column_count(stray, ',', '"', false), 3u);
}

// A head that answers gives the whole text's answer: whatever prefix of a text is taken,
// sniffing and inference from it either say they need more or agree with the whole text.
// The texts run past both sample limits, with rows cut at every byte by the prefixes.
TEST(FromHead, AnswersOnlyWhatTheWholeTextAnswers) {
  const char* tokens[] = {"a", "b", ",", ";", "\t", "|", "\"", "\"x,y\"", " ", "\xC2\xA0", "\n", "\r\n", "\r"};
  std::mt19937_64 rng(99);
  int answered = 0;
  for (int iteration = 0; iteration < 300; ++iteration) {
    std::string text;
    const std::string row_shape = rng() % 2 ? "a,b;c\n" : "a;b;c|d\n";
    while (text.size() < 1500) {
      text += rng() % 3 == 0 ? std::string(tokens[rng() % std::size(tokens)]) : row_shape;
    }
    const std::uint8_t whole_delimiter = sniff_delimiter(text);
    const std::uint64_t whole_width = infer_column_count(text, whole_delimiter);
    for (std::size_t size = 0; size < text.size(); size += 1 + rng() % 16) {
      const std::string_view head = std::string_view(text).substr(0, size);
      if (const auto delimiter = sniff_delimiter_from_head(head, '"', true, false)) {
        ASSERT_EQ(*delimiter, whole_delimiter) << text << " cut at " << size;
        ++answered;
      }
      if (const auto width = infer_column_count_from_head(head, whole_delimiter, '"', true, false)) {
        ASSERT_EQ(*width, whole_width) << text << " cut at " << size;
      }
    }
  }
  EXPECT_GT(answered, 1000);
}

}  // namespace
}  // namespace rowmender
