// The production parser scans in bulk and answers the stray-quote question from a per-line
// survey instead of rescanning the line for every lone quote. This file keeps a deliberately
// naive parser that applies every rule byte by byte, rescans the rest of the line for every
// lone quote it judges, and decodes UTF-8 on its own, and checks that both agree on many
// random inputs.

#include <gtest/gtest.h>

#include <time.h>

#include <algorithm>
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

// The processor time this thread spends in `work`.
template <typename Work>
double cpu_seconds(Work&& work) {
  timespec start{};
  timespec stop{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
  work();
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &stop);
  return static_cast<double>(stop.tv_sec - start.tv_sec) + static_cast<double>(stop.tv_nsec - start.tv_nsec) * 1e-9;
}

// A long line of lone quotes inside one quoted field: a naive lookahead would rescan the
// rest of the line for each of them, so eight times the quotes would cost 64 times the
// time. The bound is the cost of a line of n units against one of 8n in the same run, not
// a number of seconds, so it holds on a slow or busy machine and under the sanitizers.
TEST(ReferenceParser, LoneQuotesOnOneLongLineParseInLinearTime) {
  for (const std::string unit : {"\"a", "\" a", "\"\t"}) {
    const auto field_of = [&unit](std::size_t units) {
      std::string field(1, 'a');
      for (std::size_t u = 0; u < units; ++u) field.append(unit);
      return field;
    };
    const std::string fields[2] = {field_of(4096), field_of(std::size_t{8} * 4096)};
    const std::string inputs[2] = {"\"" + fields[0] + "\"\nx,y", "\"" + fields[1] + "\"\nx,y"};
    const Parsed parsed = parse_all(inputs[1]);
    ASSERT_EQ(parsed.rows.size(), 2u);
    EXPECT_EQ(parsed.rows[0], Fields{fields[1]});
    EXPECT_EQ(parsed.rows[1], (Fields{"x", "y"}));
    EXPECT_EQ(parsed.lines, (std::vector<std::uint64_t>{2, 2}));

    // One table for every run: after the first, its memory is in place, so the runs time
    // the parser rather than the system handing out fresh pages. The two sizes take turns,
    // and each keeps its least time: other programs and interrupts only ever add time.
    RowTable table;
    const auto parse_into_table = [&table](const std::string& input) {
      table.clear();
      ResilientParser parser(input, ',', '"', true);
      while (parser.next_row(table)) {
      }
    };
    double seconds[2] = {1e30, 1e30};
    for (int round = 0; round < 7; ++round) {
      for (int i = 0; i < 2; ++i) {
        seconds[i] = std::min(seconds[i], cpu_seconds([&] { parse_into_table(inputs[i]); }));
      }
    }
    // Linear growth gives about 8, quadratic 64.
    EXPECT_LT(seconds[1], 20 * seconds[0])
        << ::testing::PrintToString(unit) << ": " << seconds[0] << " s for " << inputs[0].size() << " bytes, "
        << seconds[1] << " s for " << inputs[1].size();
  }
}

}  // namespace
}  // namespace rowmender::test
