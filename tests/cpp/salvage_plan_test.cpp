// The planned pass takes rows it recognises as stretches of the input and hands the rest to
// the parser and the writer. Whatever path a row takes, the file must come out exactly as
// writing the whole salvaged table would make it.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "salvage/output_format.h"
#include "salvage/salvage_slice.h"
#include "salvage/salvage_plan.h"
#include "salvage/verbatim_row.h"

namespace rowmender::test {
namespace {

struct MatchCase {
  const char* name;
  std::string_view line;
  std::optional<std::uint64_t> fields;  // absent: must be left to the parser
};

TEST(VerbatimRow, MatchesOnlyRowsWrittenBackUnchanged) {
  const MatchCase cases[] = {
      {"plain", "a,b,c\nnext", 3},
      {"empty line", "\nnext", 1},
      {"trailing delimiter", "a,b,\n", 3},
      {"no line break at the end", "a,b", 2},
      {"crlf", "a,b\r\nc", 2},
      {"quoted with delimiter", "1,\"x, y\",2\n", 3},
      {"quoted with doubled quote", "\"say \"\"hi\"\"\",2\n", 2},
      {"only a doubled quote", "\"\"\"\",\"a,b\"\n", 2},
      {"doubled quote before the closing one", "x,\"a\"\"\"\r\n", 2},
      {"quoted last field at end of input", "1,\"x,y\"", 2},
      {"valid non-ASCII", "caf\xC3\xA9,\"Malm\xC3\xB6, SE\"\n", 2},
      {"quotes the writer would drop", "1,\"plain\",2\n", std::nullopt},
      {"empty quoted field", "1,\"\",2\n", std::nullopt},
      {"quote inside unquoted text", "1,5\" pipe,2\n", std::nullopt},
      {"text after closing quote", "\"a,b\"c,2\n", std::nullopt},
      {"blank after closing quote", "\"a,b\" ,2\n", std::nullopt},
      {"quoted field over two lines", "\"a,\nb\",2\n", std::nullopt},
      {"unclosed quote", "1,\"a,b\n", std::nullopt},
      {"doubled quote closing the line", "\"a\"\"\n\",1\n", std::nullopt},
      {"CR inside quotes", "\"a,\rb\",1\n", std::nullopt},
      {"second quoted field needs no quotes", "\"a,b\",\"c\"\n", std::nullopt},
      {"three quotes in a row after text", "\"a\"\"\"b\",1\n", std::nullopt},
      {"quote opening after a closed field", "\"a,b\"\"c,d\"\n", 1},
      {"invalid UTF-8", "caf\xE9,1\n", std::nullopt},
      {"truncated character", "1,\xC3\n", std::nullopt},
  };
  const VerbatimRowMatcher matcher(',', '"');
  // A leading unquoted field of varying length moves each case across the 64-byte words in
  // which the matcher maps quotes and delimiters.
  for (const std::size_t pad : {0u, 1u, 58u, 60u, 61u, 62u, 63u, 64u, 125u}) {
    const std::string lead = pad == 0 ? "" : std::string(pad - 1, 'p') + ",";
    for (const MatchCase& c : cases) {
      const std::string line = lead + std::string(c.line);
      const std::string where = std::string(c.name) + " after " + std::to_string(pad) + " bytes";
      const std::optional<VerbatimRow> got = matcher.match(line, 0);
      ASSERT_EQ(got.has_value(), c.fields.has_value()) << where;
      if (!got) continue;
      EXPECT_EQ(got->fields, *c.fields + (pad == 0 ? 0 : 1)) << where;
      EXPECT_EQ(got->line_end, std::min(line.find_first_of("\r\n"), line.size())) << where;
    }
  }
  EXPECT_FALSE(matcher.match("a,b\n", 4).has_value()) << "end of input";
  EXPECT_FALSE(VerbatimRowMatcher::usable(0xA7, '"'));
  EXPECT_FALSE(VerbatimRowMatcher::usable(',', ','));
  EXPECT_FALSE(VerbatimRowMatcher::usable('\n', '"'));
  EXPECT_TRUE(VerbatimRowMatcher::usable('\t', '\''));
}

// Lines of many words; lines of 4096 bytes or more are always left to the parser.
TEST(VerbatimRow, CountsFieldsOnLongLines) {
  const VerbatimRowMatcher matcher(';', '"');
  EXPECT_FALSE(matcher.match(std::string(4096, 'x'), 0).has_value());
  EXPECT_FALSE(matcher.match(std::string(4096, 'x') + "\n", 0).has_value());
  EXPECT_TRUE(matcher.match(std::string(4095, 'x'), 0).has_value());
  EXPECT_TRUE(matcher.match(std::string(4095, 'x') + "\n", 0).has_value());
  for (const std::size_t fields : {1u, 63u, 64u, 65u, 300u, 2000u}) {
    std::string line;
    for (std::size_t f = 0; f < fields; ++f) {
      if (f != 0) line.push_back(';');
      line.append(f % 3, 'x');
    }
    const std::optional<VerbatimRow> got = matcher.match(line + "\r\n", 0);
    ASSERT_TRUE(got.has_value()) << fields;
    EXPECT_EQ(got->fields, fields);
    EXPECT_EQ(got->line_end, line.size());
  }
}

// What the plan writes, through the real buffered writer into an in-memory file.
std::string written(const OutputPlan& plan) {
  const int fd = ::memfd_create("plan-test", 0);
  EXPECT_GE(fd, 0);
  {
    BufferedWriter writer(fd);
    EXPECT_FALSE(plan.write_to(writer).has_value());
    EXPECT_FALSE(writer.flush().has_value());
  }
  std::string bytes(static_cast<std::size_t>(::lseek(fd, 0, SEEK_END)), '\0');
  EXPECT_EQ(::pread(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
  ::close(fd);
  return bytes;
}

std::string table_output(const SalvageOutcome& outcome, std::uint8_t quote) {
  const OutputSyntax syntax(outcome.stats.detected_delimiter, quote);
  std::string output, line;
  for (std::size_t r = 0; r < outcome.rows.size(); ++r) {
    syntax.build_line(line, outcome.rows[r], r == 0);
    output += line;
  }
  return output;
}

TEST(SalvagePlan, WritesWhatTheSalvagedTableWouldOnRandomInputs) {
  const std::vector<std::string> tokens = {
      "a", "bc", "\"x,y\"", "\"q\"\"q\"", "\"plain\"", "\"", "\"\"", " ", "\t", "\n", "\r\n", "\r", ";", "|",
      "\xC3\xA9", "\xFF", "\xEF\xBB\xBF", "\"a\nb\"", "12345678901234567"};
  const std::uint8_t delimiters[] = {',', ';', '\t', '|', 0xA7};
  const std::uint8_t quotes[] = {'"', '"', '\''};
  std::mt19937_64 rng(7);
  auto pick = [&rng](std::size_t n) { return static_cast<std::size_t>(rng() % n); };

  std::uint64_t rows_seen = 0;
  for (int iteration = 0; iteration < 20000; ++iteration) {
    SalvageOptions options;
    const std::uint8_t delimiter = delimiters[pick(std::size(delimiters))];
    if (pick(3) != 0) options.delimiter = delimiter;
    options.quote_char = quotes[pick(std::size(quotes))];
    options.fill_ragged_rows = pick(2);
    options.merge_overflow = pick(2);
    options.repair_quotes = pick(4) != 0;
    if (pick(2)) options.expected_columns = pick(5);
    // Mostly well-formed rows of a few fields, so that many rows take the copying path,
    // broken up by arbitrary tokens.
    std::string input = pick(6) == 0 ? "\xEF\xBB\xBF" : "";
    for (std::size_t rows = pick(12); rows > 0; --rows) {
      for (std::size_t fields = 1 + pick(4), f = 0; f < fields; ++f) {
        if (f != 0) input.push_back(static_cast<char>(delimiter));
        for (std::size_t n = pick(3); n > 0; --n) input += tokens[pick(tokens.size())];
      }
      input += pick(5) == 0 ? "\r\n" : "\n";
    }
    if (!input.empty() && pick(3) == 0) input.pop_back();

    const SalvageOutcome table = salvage_slice(input, options);
    const PlannedSalvage planned = plan_salvage(input, options);
    const std::string where = ::testing::PrintToString(input);
    ASSERT_EQ(written(planned.output), table_output(table, options.quote_char)) << where;
    const SalvageStats& a = planned.stats;
    const SalvageStats& b = table.stats;
    ASSERT_EQ(std::make_tuple(a.total_rows, a.salvaged_rows, a.repaired_rows, a.quarantined_rows,
                              a.detected_delimiter, a.inferred_columns),
              std::make_tuple(b.total_rows, b.salvaged_rows, b.repaired_rows, b.quarantined_rows,
                              b.detected_delimiter, b.inferred_columns))
        << where;
    ASSERT_EQ(planned.quarantine.size(), table.quarantine.size()) << where;
    for (std::size_t i = 0; i < table.quarantine.size(); ++i) {
      const QuarantineRecord& x = planned.quarantine[i];
      const QuarantineRecord& y = table.quarantine[i];
      ASSERT_EQ(x.line, y.line) << where;
      ASSERT_EQ(x.reason, y.reason) << where;
      ASSERT_EQ(x.raw_content.size(), y.raw_content.size()) << where;
      ASSERT_EQ(x.raw_content.text(), y.raw_content.text()) << where;
    }
    rows_seen += b.total_rows;
  }
  EXPECT_GT(rows_seen, 50000u);
}

// A plan of many pieces goes out in gathered batches rather than through the buffer; the
// bytes must be the same, and a full disk must be reported.
TEST(SalvagePlan, LargePlansWriteTheSameBytes) {
  std::string input = "id,name,note\n";
  for (int row = 0; input.size() < (3u << 20); ++row) {
    input += std::to_string(row);
    switch (row % 5) {
      case 0: input += ",\"Lind, \xC3\x85sa\",plain\r\n"; break;   // copied, CR LF
      case 1: input += ",short\n"; break;                             // padded
      case 2: input += ",\"needs\" no,quotes\n"; break;              // through the parser
      case 3: input += ",a,b,c,d\n"; break;                           // merged
      default: input += ",x,\"say \"\"hi\"\"\"\n";                  // copied
    }
  }
  const SalvageOutcome table = salvage_slice(input, SalvageOptions{});
  const PlannedSalvage planned = plan_salvage(input, SalvageOptions{});
  const std::string expected = table_output(table, '"');
  ASSERT_GT(expected.size(), 1u << 20);
  EXPECT_TRUE(written(planned.output) == expected);

  const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(full, 0);
  BufferedWriter writer(full);
  const std::optional<SalvageError> error = planned.output.write_to(writer);
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->os_error(), ENOSPC);
  ::close(full);
}

}  // namespace
}  // namespace rowmender::test
