// The stream repair must write exactly what the whole-file pass writes, output and
// quarantine, with the same counts, however the input is cut into reads and windows.

#include "salvage/stream_repair.h"
#include "salvage/stream_rows.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "io/fd_stream.h"
#include "salvage/output_format.h"
#include "salvage/salvage_plan.h"
#include "salvage/salvage_slice.h"
#include "stream_support.h"
#include "test_support.h"

namespace rowmender::test {
namespace {

struct Written {
  std::string output;
  std::string quarantine;
  SalvageStats stats;
};

Written whole_file(const std::string& input, const SalvageOptions& options) {
  const PlannedSalvage planned = plan_salvage(input, options);
  Written w;
  w.stats = planned.stats;
  StringSink output, quarantine;
  {
    BufferedWriter writer(output);
    EXPECT_FALSE(planned.output.write_to(writer, planned.arena));
    EXPECT_FALSE(writer.flush());
  }
  {
    BufferedWriter writer(quarantine);
    EXPECT_FALSE(writer.write(kQuarantineHeader));
    EXPECT_FALSE(write_quarantine_lines(writer, planned.quarantine, planned.arena, planned.stats.inferred_columns));
    EXPECT_FALSE(writer.flush());
  }
  w.output = std::move(output.bytes);
  w.quarantine = std::move(quarantine.bytes);
  return w;
}

// From memory in reads of random sizes into memory, or, `from_file`, from a regular file
// into another, which the window reads ahead and writes behind on a thread of its own.
// A head longer than `head_kept_whole` is let go of as inference reads it and read again.
Written streamed(const std::string& input, const SalvageOptions& options, std::size_t chunk, std::size_t longest_read,
                 std::uint64_t seed, bool from_file = false, std::size_t head_kept_whole = kHeadKeptWhole) {
  PiecewiseSource pieces(input, longest_read, seed);
  const MemoryFile file(from_file ? std::string_view(input) : std::string_view());
  FdSource descriptor(file.fd());
  ByteSource& source = from_file ? static_cast<ByteSource&>(descriptor) : pieces;
  StringSink in_memory, quarantine;
  const MemoryFile output_file("");
  FdSink output_descriptor(output_file.fd());
  ByteSink& output = from_file ? static_cast<ByteSink&>(output_descriptor) : in_memory;
  EXPECT_TRUE(!from_file || (source.regular_file_descriptor() >= 0 && output.regular_file_descriptor() >= 0));
  StreamSettings settings;
  settings.chunk = chunk;
  settings.head_kept_whole = head_kept_whole;
  auto result = repair_stream(source, output, &quarantine, options, nullptr, nullptr, settings);
  EXPECT_TRUE(result.has_value());
  Written w;
  if (!result) return w;
  w.stats = result.value().salvage;
  w.output = from_file ? output_file.contents() : std::move(in_memory.bytes);
  EXPECT_EQ(result.value().bytes_read, input.size());
  EXPECT_EQ(result.value().bytes_written, w.output.size());
  w.quarantine = std::move(quarantine.bytes);
  return w;
}

// Inputs long enough that inference samples run past the first windows: up to a few
// hundred rows, now and then a quote that swallows lines, blank runs, bad bytes.
std::string random_input(std::mt19937_64& rng, char delimiter) {
  const std::string d(1, delimiter);
  const std::vector<std::string> tokens = {"a",  "bc",   "\"x" + d + "y\"", "\"q\"\"q\"", "\"", " ",
                                           "\t", "\xFF", "\xC3\xA9",        "\r",         "\n", "\r\n",
                                           "'",  "''",   "\xEF\xBB\xBF"};
  std::string input = rng() % 5 == 0 ? "\xEF\xBB\xBF" : "";
  const std::size_t rows = rng() % 4 == 0 ? rng() % 400 : rng() % 30;
  const std::size_t width = 1 + rng() % 5;
  for (std::size_t r = 0; r < rows; ++r) {
    const std::size_t fields = rng() % 6 == 0 ? 1 + rng() % 8 : width;
    for (std::size_t f = 0; f < fields; ++f) {
      if (f != 0) input += d;
      for (std::size_t n = rng() % 3; n > 0; --n) {
        input += rng() % 8 == 0 ? tokens[rng() % tokens.size()] : tokens[rng() % 2];
      }
    }
    const unsigned end = static_cast<unsigned>(rng() % 10);
    input += end == 0 ? "\r\n" : end == 1 ? "\r" : end == 2 ? "\n\n\n" : "\n";
  }
  if (!input.empty() && rng() % 3 == 0) input.pop_back();
  return input;
}

TEST(StreamRepair, WritesWhatTheWholeFilePassWritesHoweverTheInputIsCut) {
  std::mt19937_64 rng(2024);
  const std::size_t chunks[] = {1, 2, 3, 7, 64, 1000, 1 << 17, 1 << 20};
  std::uint64_t rows_seen = 0;
  for (int iteration = 0; iteration < 4000; ++iteration) {
    const std::uint8_t delimiters[] = {',', ';', '\t', '|', 0xA7};
    const char delimiter = static_cast<char>(delimiters[rng() % std::size(delimiters)]);
    SalvageOptions options;
    if (rng() % 3 == 0) options.delimiter = static_cast<std::uint8_t>(delimiter);
    options.quote_char = rng() % 4 == 0 ? '\'' : '"';
    options.fill_ragged_rows = rng() % 2;
    options.merge_overflow = rng() % 2;
    options.repair_quotes = rng() % 4 != 0;
    if (rng() % 3 == 0) options.expected_columns = rng() % 5;
    std::string input = random_input(rng, delimiter);
    // Now and then a row longer than the room the read-ahead keeps for a row's start.
    if (iteration % 50 == 0) input.insert(rng() % (input.size() + 1), std::string(70000 + rng() % 70000, 'L'));
    // And a run of blank lines, which inference reads past without keeping.
    if (iteration % 7 == 0) input.insert(rng() % (input.size() + 1), std::string(rng() % 3000, '\n'));
    const bool from_file = iteration % 3 == 0;
    const std::size_t head_kept_whole = iteration % 2 == 0 ? rng() % 200 : kHeadKeptWhole;

    const Written expected = whole_file(input, options);
    const std::size_t chunk = chunks[rng() % std::size(chunks)];
    const Written got = streamed(input, options, chunk, 1 + rng() % (2 * chunk), rng(), from_file, head_kept_whole);
    const std::string where = ::testing::PrintToString(input.substr(0, 2000)) + " chunk " + std::to_string(chunk) +
                              (from_file ? " from a file" : "") + " head kept whole " + std::to_string(head_kept_whole);
    ASSERT_EQ(got.output, expected.output) << where;
    ASSERT_EQ(got.quarantine, expected.quarantine) << where;
    ASSERT_EQ(stats_of(got.stats), stats_of(expected.stats)) << where;
    rows_seen += expected.stats.total_rows;
  }
  EXPECT_GT(rows_seen, 100000u);
}

// Rows longer than the room kept for a row's start before the bytes read ahead, among
// short ones, at every offset against the windows: the window just walked must stay as it
// is until what was planned from it is written.
TEST(StreamRepair, LongRowsAmongShortOnesFromAFile) {
  std::string input;
  for (int block = 0; block < 6; ++block) {
    for (int row = 0; row < 4000 + 997 * block; ++row) input += row % 50 == 0 ? "a,\"b\"\"c\",d,e\n" : "a,b,c\n";
    input += "x," + std::string(70000 + 20011 * block, 'L') + ",y\n";
  }
  const SalvageOptions options;
  const Written expected = whole_file(input, options);
  for (const std::size_t chunk : {std::size_t{1} << 15, std::size_t{100000}, std::size_t{1} << 17}) {
    const Written got = streamed(input, options, chunk, chunk, 1, true);
    ASSERT_EQ(got.output, expected.output) << "chunk " << chunk;
    ASSERT_EQ(got.quarantine, expected.quarantine) << "chunk " << chunk;
  }
}

// Each change told, as a line, so that two readings' change logs compare.
class ChangeRecorder final : public ChangeObserver {
 public:
  void on_change(const RowChange& c) override {
    const RowEvents& e = c.events;
    for (const std::uint64_t n :
         {c.first_line, c.last_line, static_cast<std::uint64_t>(c.decision.fate), c.decision.fields, e.stray_quotes,
          e.text_after_quote, e.quotes_in_unquoted_fields, e.invalid_utf8,
          static_cast<std::uint64_t>(e.unterminated_quote), e.unterminated_quote_line}) {
      lines += std::to_string(n) + ' ';
    }
    lines += '\n';
  }
  std::string lines;
};

std::string changes_told(const std::string& input, const SalvageOptions& options, std::size_t chunk,
                         std::size_t head_kept_whole, std::uint64_t seed) {
  PiecewiseSource source(input, 1 + seed % (2 * chunk), seed);
  StringSink output;
  ChangeRecorder changes;
  StreamSettings settings;
  settings.chunk = chunk;
  settings.head_kept_whole = head_kept_whole;
  EXPECT_TRUE(repair_stream(source, output, nullptr, options, &changes, nullptr, settings).has_value());
  return changes.lines;
}

// The change log hears of the same rows, on the same lines, however the input is cut: rows
// longer than a window (built over their own bytes, the last one without a line break too)
// and heads read again included.
TEST(StreamRepair, TellsOfTheSameChangesHoweverTheInputIsCut) {
  std::mt19937_64 rng(99);
  const std::size_t chunks[] = {1, 2, 5, 64, 1000};
  for (int iteration = 0; iteration < 1500; ++iteration) {
    SalvageOptions options;
    options.fill_ragged_rows = rng() % 2;
    options.merge_overflow = rng() % 2;
    options.repair_quotes = rng() % 4 != 0;
    if (rng() % 3 == 0) options.expected_columns = rng() % 5;
    std::string input = random_input(rng, rng() % 2 ? ',' : ';');
    if (iteration % 7 == 0) input.insert(rng() % (input.size() + 1), std::string(rng() % 3000, '\n'));
    // A last row whose text is as long as its bytes and ends in LF where they end in a quote.
    if (iteration % 5 == 0) input += "\"\xFF\n\"";
    const std::string whole = changes_told(input, options, input.size() + 1, kHeadKeptWhole, 1);
    const std::size_t chunk = chunks[rng() % std::size(chunks)];
    const std::size_t head_kept_whole = iteration % 2 == 0 ? rng() % 200 : kHeadKeptWhole;
    ASSERT_EQ(changes_told(input, options, chunk, head_kept_whole, rng()), whole)
        << ::testing::PrintToString(input) << " chunk " << chunk << " head kept whole " << head_kept_whole;
  }
}

// A run of blank lines dropped at once is one change wherever the windows end in it (past
// the head the cleanup rules read whole, so that windows are cut at all).
TEST(StreamRepair, TellsOfABlankRunAsOneChangeHoweverTheInputIsCut) {
  std::string input = "a,b,c\n";
  for (int i = 0; i < 60000; ++i) input += "1,2,3\n";
  input += std::string(5000, '\n') + "4,5,6\n" + std::string(300, '\n');
  SalvageOptions options;
  options.cleanup = CleanupRules(static_cast<std::uint16_t>(Cleanup::blank_lines));
  const std::string whole = changes_told(input, options, input.size() + 1, kHeadKeptWhole, 1);
  for (const std::size_t chunk : {std::size_t{7}, std::size_t{1000}, std::size_t{4099}}) {
    ASSERT_EQ(changes_told(input, options, chunk, kHeadKeptWhole, chunk), whole) << "chunk " << chunk;
  }
}

// The quoting styles read the same however the input is cut: an escape or a quote left open
// at a window's end waits for the bytes after it, and the style told from the head is the
// whole text's.
TEST(StreamRepair, QuotingStylesReadTheSameHoweverTheInputIsCut) {
  std::mt19937_64 rng(4181);
  const std::size_t chunks[] = {1, 2, 5, 64, 1000, 1 << 20};
  const std::string escapes[] = {"\\", "\\\"", "\\\\", "\\\n", "\\\r\n", "\\,"};
  for (int iteration = 0; iteration < 1500; ++iteration) {
    SalvageOptions options;
    options.repair_quotes = rng() % 4 != 0;
    if (rng() % 3 == 0) options.expected_columns = rng() % 5;
    options.dialect.quoting = rng() % 3 != 0;
    if (rng() % 2 == 0) options.dialect.escape = '\\';
    options.cleanup = CleanupRules(static_cast<std::uint16_t>(rng() % 4) << 6);  // quoting, one_line_rows
    std::string input = random_input(rng, ',');
    for (std::size_t n = rng() % 6; n > 0; --n) {
      input.insert(rng() % (input.size() + 1), escapes[rng() % std::size(escapes)]);
    }
    const Written whole = whole_file(input, options);
    const std::string whole_changes = changes_told(input, options, input.size() + 1, kHeadKeptWhole, 1);
    const std::size_t chunk = chunks[rng() % std::size(chunks)];
    const std::size_t head_kept_whole = iteration % 2 == 0 ? rng() % 200 : kHeadKeptWhole;
    const std::string where = ::testing::PrintToString(input) + " chunk " + std::to_string(chunk);
    const Written got =
        streamed(input, options, chunk, 1 + rng() % (2 * chunk), rng(), iteration % 3 == 0, head_kept_whole);
    ASSERT_EQ(got.output, whole.output) << where;
    ASSERT_EQ(got.quarantine, whole.quarantine) << where;
    ASSERT_EQ(changes_told(input, options, chunk, head_kept_whole, rng()), whole_changes) << where;
  }
}

// The row stream hands out exactly the reader's rows, with its counts.
TEST(RowStream, GivesTheReadersRowsHoweverTheInputIsCut) {
  std::mt19937_64 rng(77);
  const std::size_t chunks[] = {1, 5, 64, 1000, 1 << 20};
  for (int iteration = 0; iteration < 2000; ++iteration) {
    const char delimiter = rng() % 2 ? ',' : ';';
    SalvageOptions options;
    options.fill_ragged_rows = rng() % 2;
    options.merge_overflow = rng() % 2;
    if (rng() % 3 == 0) options.expected_columns = rng() % 5;
    std::string input = random_input(rng, delimiter);
    if (iteration % 7 == 0) input.insert(rng() % (input.size() + 1), std::string(rng() % 3000, '\n'));
    const SalvageOutcome expected = salvage_slice(input, options);

    const std::size_t chunk = chunks[rng() % std::size(chunks)];
    PiecewiseSource pieces(input, 1 + rng() % (2 * chunk), rng());
    // One in three from a regular file, read ahead on a thread while the rows are used.
    const bool from_file = iteration % 3 == 0;
    const MemoryFile file(from_file ? std::string_view(input) : std::string_view());
    FdSource descriptor(file.fd());
    ByteSource& source = from_file ? static_cast<ByteSource&>(descriptor) : pieces;
    StreamSettings settings;
    settings.chunk = chunk;
    if (iteration % 2 == 0) settings.head_kept_whole = rng() % 200;
    RowStream stream(options, nullptr, settings);
    std::vector<Fields> rows;
    while (true) {
      auto more = stream.next_batch(source);
      ASSERT_TRUE(more.has_value());
      if (!more.value()) break;
      ASSERT_FALSE(stream.rows().empty());
      for (const Fields& row : rows_of(stream.rows())) rows.push_back(row);
    }
    const std::string where = ::testing::PrintToString(input) + " chunk " + std::to_string(chunk) +
                              " head kept whole " + std::to_string(settings.head_kept_whole);
    ASSERT_EQ(rows, rows_of(expected.rows)) << where;
    ASSERT_EQ(stats_of(stream.stats().salvage), stats_of(expected.stats)) << where;
  }
}

}  // namespace
}  // namespace rowmender::test
