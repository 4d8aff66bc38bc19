#include <gtest/gtest.h>

#include <new>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "salvage/salvage_slice.h"
#include "test_support.h"

namespace rowmender::test {
namespace {

SalvageOptions options(std::optional<std::uint8_t> delimiter, std::optional<std::uint64_t> width, bool fill, bool merge,
                       std::uint8_t quote = '"') {
  SalvageOptions o;
  o.delimiter = delimiter;
  o.expected_columns = width;
  o.fill_ragged_rows = fill;
  o.merge_overflow = merge;
  o.quote_char = quote;
  return o;
}

std::vector<Quarantined> quarantine_of(const SalvageOutcome& outcome) {
  return quarantined_rows(outcome.quarantine, outcome.quarantined_text, outcome.stats.inferred_columns);
}

// total, salvaged, repaired, quarantined, delimiter, width
using Stats = std::tuple<std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t, std::uint8_t, std::uint64_t>;
Stats stats_of(const SalvageStats& s) {
  return {s.total_rows, s.salvaged_rows, s.repaired_rows, s.quarantined_rows, s.detected_delimiter, s.inferred_columns};
}

const std::string kFew3 = "Row has too few columns (expected 3)";
const std::string kExtra3 = "Row has extra columns (expected 3)";

struct SalvageCase {
  const char* name;
  std::string input;
  SalvageOptions options;
  std::vector<Fields> rows;
  std::vector<Quarantined> quarantine;
  Stats stats;
};

void PrintTo(const SalvageCase& c, std::ostream* os) { *os << c.name; }

class SalvageTable : public ::testing::TestWithParam<SalvageCase> {};

TEST_P(SalvageTable, Outcome) {
  const SalvageCase& c = GetParam();
  const SalvageOutcome outcome = salvage_slice(c.input, c.options);
  EXPECT_EQ(rows_of(outcome.rows), c.rows);
  EXPECT_EQ(quarantine_of(outcome), c.quarantine);
  EXPECT_EQ(stats_of(outcome.stats), c.stats);
}

const std::string kWorkedExample = "\xEF\xBB\xBFid,name,note\n1,Ann\n2,Bob,likes \"tea\",extra\n\n3,\"Cy, Jr\",ok\n";

INSTANTIATE_TEST_SUITE_P(
    Salvage, SalvageTable,
    ::testing::Values(SalvageCase{"WorkedExample",
                                  kWorkedExample,
                                  options(',', 3, true, false),
                                  {{"id", "name", "note"}, {"1", "Ann", ""}, {"", "", ""}, {"3", "Cy, Jr", "ok"}},
                                  {{4, kExtra3, 4, "2,Bob,likes \"tea\",extra"}},
                                  {5, 4, 2, 1, ',', 3}},
                      SalvageCase{"WorkedExampleMerged",
                                  kWorkedExample,
                                  options(',', 3, true, true),
                                  {{"id", "name", "note"},
                                   {"1", "Ann", ""},
                                   {"2", "Bob", "likes \"tea\",extra"},
                                   {"", "", ""},
                                   {"3", "Cy, Jr", "ok"}},
                                  {},
                                  {5, 5, 3, 0, ',', 3}},
                      SalvageCase{"WorkedExampleInferred",
                                  kWorkedExample,
                                  options(std::nullopt, std::nullopt, true, false),
                                  {{"id", "name", "note"}, {"1", "Ann", ""}, {"", "", ""}, {"3", "Cy, Jr", "ok"}},
                                  {{4, kExtra3, 4, "2,Bob,likes \"tea\",extra"}},
                                  {5, 4, 2, 1, ',', 3}},
                      SalvageCase{
                          "EmptyInputIgnoresOptions", "", options(';', 5, false, false), {}, {}, {0, 0, 0, 0, ',', 0}},
                      SalvageCase{"ByteOrderMarkOnly",
                                  "\xEF\xBB\xBF",
                                  options(std::nullopt, std::nullopt, true, true),
                                  {},
                                  {},
                                  {0, 0, 0, 0, ',', 0}},
                      SalvageCase{"OnlyLineFeeds",
                                  "\n\n\n",
                                  options(std::nullopt, std::nullopt, false, false),
                                  {{""}, {""}, {""}},
                                  {},
                                  {3, 3, 0, 0, ',', 0}},
                      SalvageCase{"WidthZeroKeepsEveryRow",
                                  "a\nb;c;d\n\n",
                                  options(';', 0, false, false),
                                  {{"a"}, {"b", "c", "d"}, {""}},
                                  {},
                                  {3, 3, 0, 0, ';', 0}},
                      SalvageCase{"ShortRowsQuarantinedWithLines",
                                  "a,b\n\nc",
                                  options(',', 3, false, true),
                                  {},
                                  {{2, kFew3, 2, "a,b"}, {3, kFew3, 1, ""}, {3, kFew3, 1, "c"}},
                                  {3, 0, 0, 3, ',', 3}},
                      SalvageCase{"KeptAndQuarantinedInterleaved",
                                  "h1,h2\nx\ny,z\n1,2,3\nlast",
                                  options(',', 2, false, true),
                                  {{"h1", "h2"}, {"y", "z"}, {"1", "2,3"}},
                                  {{3, "Row has too few columns (expected 2)", 1, "x"},
                                   {5, "Row has too few columns (expected 2)", 1, "last"}},
                                  {5, 3, 1, 2, ',', 2}},
                      SalvageCase{"QuotedFieldSpanningLines",
                                  "a,b\na,b\na,b\na,b\n\"x\ny\",1,2\n",
                                  options(',', 2, true, false),
                                  {{"a", "b"}, {"a", "b"}, {"a", "b"}, {"a", "b"}},
                                  {{7, "Row has extra columns (expected 2)", 3, "x\ny,1,2"}},
                                  {5, 4, 0, 1, ',', 2}},
                      SalvageCase{"HighDelimiterMergesWithTwoByteSeparator",
                                  "a\xA6"
                                  "b\xA6"
                                  "c\n",
                                  options(0xA6, 2, false, true),
                                  {{"a",
                                    "b\xC2\xA6"
                                    "c"}},
                                  {},
                                  {1, 1, 1, 0, 0xA6, 2}},
                      // The larger of two equally frequent widths is taken.
                      SalvageCase{"SniffedDelimiterInferredWidth",
                                  "a;b;c\nd;e\n",
                                  options(std::nullopt, std::nullopt, true, true),
                                  {{"a", "b", "c"}, {"d", "e", ""}},
                                  {},
                                  {2, 2, 1, 0, ';', 3}},
                      SalvageCase{"InferenceUsesQuoteCharacter",
                                  "'a,b',c\n'd,e',f\n",
                                  options(',', std::nullopt, true, true, '\''),
                                  {{"a,b", "c"}, {"d,e", "f"}},
                                  {},
                                  {2, 2, 0, 0, ',', 2}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Salvage, ImpossibleWidthThrowsInsteadOfAborting) {
  const std::uint64_t width = std::uint64_t{1} << 62;
  bool threw = false;
  try {
    (void)salvage_slice("a,b\n", options(',', width, true, false));
  } catch (const std::length_error&) {
    threw = true;
  } catch (const std::bad_alloc&) {
    threw = true;
  }
  EXPECT_TRUE(threw);
  // Without filling the same width quarantines the row and allocates nothing large.
  const SalvageOutcome outcome = salvage_slice("a,b\n", options(',', width, false, false));
  ASSERT_EQ(quarantine_of(outcome),
            (std::vector<Quarantined>{{2, "Row has too few columns (expected 4611686018427387904)", 2, "a,b"}}));
}

// Random inputs and settings: every parsed row ends up either kept (reconciled) or
// quarantined with its raw fields and line, in order, and the counts add up. This also
// stands for the plain fill, merge and quarantine cases the table above leaves out.
TEST(Salvage, EveryRowKeptOrQuarantinedInOrder) {
  const char* tokens[] = {"a", "bc", ",", ",", ";", "\"", "\n", "\r\n", " ", "\xFF", "\xC3\xA9"};
  std::mt19937_64 rng(7);
  for (int iteration = 0; iteration < 3000; ++iteration) {
    std::string input;
    for (std::size_t n = rng() % 60; n > 0; --n) input += tokens[rng() % std::size(tokens)];
    const std::uint64_t width = rng() % 5;
    const SalvageOptions o = options(',', width, rng() % 2 == 0, rng() % 2 == 0, '"');
    const SalvageOutcome outcome = salvage_slice(input, o);

    const Parsed parsed = parse_all(input);
    std::vector<Fields> kept;
    std::vector<Quarantined> quarantined;
    std::uint64_t repaired = 0;
    for (std::size_t r = 0; r < parsed.rows.size(); ++r) {
      Fields row = parsed.rows[r];
      if (width == 0 || row.size() == width) {
        kept.push_back(row);
      } else if (row.size() < width && o.fill_ragged_rows) {
        row.resize(width);
        kept.push_back(row), ++repaired;
      } else if (row.size() > width && o.merge_overflow) {
        for (std::size_t i = width; i < row.size(); ++i) row[width - 1] += "," + row[i];
        row.resize(width);
        kept.push_back(row), ++repaired;
      } else {
        const std::string what = row.size() < width ? "too few" : "extra";
        std::string raw;
        for (std::size_t i = 0; i < row.size(); ++i) raw += (i == 0 ? "" : ",") + row[i];
        quarantined.push_back({parsed.lines[r], "Row has " + what + " columns (expected " + std::to_string(width) + ")",
                               row.size(), raw});
      }
    }
    ASSERT_EQ(rows_of(outcome.rows), kept) << input;
    ASSERT_EQ(quarantine_of(outcome), quarantined) << input;
    if (input.empty()) continue;
    ASSERT_EQ(stats_of(outcome.stats),
              (Stats{parsed.rows.size(), kept.size(), repaired, quarantined.size(), ',', width}));
  }
}

}  // namespace
}  // namespace rowmender::test
