// The planned pass takes rows it recognises as stretches of the input and hands the rest to
// the parser and the writer. Whatever path a row takes, the file must come out exactly as
// writing the whole salvaged table would make it.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "salvage/output_format.h"
#include "salvage/salvage_plan.h"
#include "salvage/salvage_slice.h"
#include "test_support.h"

namespace rowmender::test {
namespace {

// What the plan writes, through the real buffered writer into an in-memory file.
std::string written(const PlannedSalvage& planned) {
  const int fd = ::memfd_create("plan-test", 0);
  EXPECT_GE(fd, 0);
  {
    BufferedWriter writer(fd);
    EXPECT_FALSE(planned.output.write_to(writer, planned.arena).has_value());
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

void expect_plan_matches(const PlannedSalvage& planned, const SalvageOutcome& table, std::uint8_t quote,
                         const std::string& where) {
  ASSERT_EQ(written(planned), table_output(table, quote)) << where;
  ASSERT_EQ(stats_of(planned.stats), stats_of(table.stats)) << where;
  const std::uint64_t width = table.stats.inferred_columns;
  ASSERT_EQ(quarantined_rows(planned.quarantine, planned.arena, width),
            quarantined_rows(table.quarantine, table.quarantined_text, width))
      << where;
}

// Both layouts of the plan: pieces of the untouched input, and the kept bytes moved to the
// front of the input as it is read (made lines written there too when they fit).
TEST(SalvagePlan, WritesWhatTheSalvagedTableWouldOnRandomInputs) {
  const std::vector<std::string> tokens = {"a",
                                           "bc",
                                           "\"x,y\"",
                                           "\"q\"\"q\"",
                                           "\"plain\"",
                                           "\"",
                                           "\"\"",
                                           " ",
                                           "\t",
                                           "\n",
                                           "\r\n",
                                           "\r",
                                           ";",
                                           "|",
                                           "\xC3\xA9",
                                           "\xFF",
                                           "\xEF\xBB\xBF",
                                           "\"a\nb\"",
                                           "12345678901234567"};
  const std::uint8_t delimiters[] = {',', ';', '\t', '|', 0xA7};
  const std::uint8_t quotes[] = {'"', '"', '\''};
  std::mt19937_64 rng(7);

  std::uint64_t rows_seen = 0;
  for (int iteration = 0; iteration < 20000; ++iteration) {
    // Mostly well-formed rows of a few fields, so that many rows take the copying path,
    // broken up by arbitrary tokens.
    const SalvageCase c = random_salvage_case(rng, tokens, delimiters, quotes, 4);
    const SalvageOutcome table = salvage_slice(c.input, c.options);
    const std::string where = ::testing::PrintToString(c.input);
    ASSERT_NO_FATAL_FAILURE(expect_plan_matches(plan_salvage(c.input, c.options), table, c.options.quote_char, where));
    std::string overwritten = c.input;
    ASSERT_NO_FATAL_FAILURE(
        expect_plan_matches(plan_salvage_over_input(overwritten.data(), overwritten.size(), c.options), table,
                            c.options.quote_char, where));
    rows_seen += table.stats.total_rows;
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
      case 0: input += ",\"Lind, \xC3\x85sa\",plain\r\n"; break;  // copied, CR LF
      case 1: input += ",short\n"; break;                         // padded
      case 2: input += ",\"needs\" no,quotes\n"; break;           // through the parser
      case 3: input += ",a,b,c,d\n"; break;                       // merged
      default: input += ",x,\"say \"\"hi\"\"\"\n";                // copied
    }
  }
  const SalvageOutcome table = salvage_slice(input, SalvageOptions{});
  const PlannedSalvage planned = plan_salvage(input, SalvageOptions{});
  const std::string expected = table_output(table, '"');
  ASSERT_GT(expected.size(), 1u << 20);
  EXPECT_TRUE(written(planned) == expected);
  std::string overwritten = input;
  EXPECT_TRUE(written(plan_salvage_over_input(overwritten.data(), overwritten.size(), SalvageOptions{})) == expected);

  const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(full, 0);
  BufferedWriter writer(full);
  const std::optional<SalvageError> error = planned.output.write_to(writer, planned.arena);
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->os_error(), ENOSPC);
  ::close(full);
}

}  // namespace
}  // namespace rowmender::test
