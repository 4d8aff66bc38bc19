// The whole salvage pass with arbitrary options. Checks the counts, the widths, that the
// pass writing its text over the input (the reader's) gives the same table, that the
// planned pass behind salvage_file writes exactly what writing the salvaged table gives,
// and that the written output reads back as exactly the kept rows.

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "fuzz_input.h"
#include "parser/resilient_parser.h"
#include "salvage/output_format.h"
#include "salvage/salvage_plan.h"
#include "salvage/salvage_slice.h"
#include "unicode/utf8.h"

using namespace rowmender;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzInput in(data, size);
  const SalvageOptions options = in.take_options();
  const std::uint8_t quote = options.quote_char;
  const std::string_view content = in.rest();

  const SalvageOutcome outcome = salvage_slice(content, options);
  const SalvageStats& stats = outcome.stats;
  FUZZ_CHECK(stats.total_rows == stats.salvaged_rows + stats.quarantined_rows);
  FUZZ_CHECK(stats.repaired_rows <= stats.salvaged_rows);
  FUZZ_CHECK(stats.salvaged_rows == outcome.rows.size());
  FUZZ_CHECK(stats.quarantined_rows == outcome.quarantine.size());
  if (options.expected_columns && !content.empty()) FUZZ_CHECK(stats.inferred_columns == *options.expected_columns);
  std::uint64_t previous_line = 0;
  std::vector<std::tuple<std::uint64_t, QuarantineReason, std::uint64_t, std::string>> quarantined;
  outcome.quarantine.for_each([&](const QuarantineRecord& record) {
    FUZZ_CHECK(record.fields >= 1);
    FUZZ_CHECK(record.line >= previous_line);
    previous_line = record.line;
    quarantined.emplace_back(record.line, record.reason, record.fields,
                             std::string(outcome.quarantined_text.view(record.content)));
  });
  for (std::size_t r = 0; r < outcome.rows.size(); ++r) {
    const RowView row = outcome.rows[r];
    FUZZ_CHECK(row.size() >= 1);
    if (stats.inferred_columns > 0) FUZZ_CHECK(row.size() == stats.inferred_columns);
    for (std::size_t f = 0; f < row.size(); ++f) FUZZ_CHECK(utf8_valid_prefix(row.field(f)) == row.field(f).size());
  }

  {
    ByteBuffer buffer(content.size() + 1);
    if (!content.empty()) std::memcpy(buffer.data(), content.data(), content.size());
    const SalvageOutcome over = salvage_buffer(std::move(buffer), content.size(), options);
    FUZZ_CHECK(over.rows.size() == outcome.rows.size());
    for (std::size_t r = 0; r < over.rows.size(); ++r) {
      FUZZ_CHECK(over.rows.field_count(r) == outcome.rows.field_count(r));
      for (std::size_t f = 0; f < over.rows.field_count(r); ++f)
        FUZZ_CHECK(over.rows.field(r, f) == outcome.rows.field(r, f));
    }
    FUZZ_CHECK(over.quarantine.empty());  // the reader's pass counts them only
    FUZZ_CHECK(over.stats.total_rows == stats.total_rows && over.stats.repaired_rows == stats.repaired_rows &&
               over.stats.quarantined_rows == stats.quarantined_rows);
  }

  const std::uint8_t used = stats.detected_delimiter;
  const OutputSyntax syntax(used, quote);
  std::string output, line;
  for (std::size_t r = 0; r < outcome.rows.size(); ++r) {
    syntax.build_line(line, outcome.rows[r], r == 0);
    output += line;
  }

  // Both layouts of the planned pass write exactly that: pieces of the untouched input, and
  // the kept bytes moved to the front of (a copy of) the input as it is read.
  std::string overwritten(content);
  for (const bool over_input : {false, true}) {
    const int fd = ::memfd_create("fuzz-salvage", 0);
    FUZZ_CHECK(fd >= 0);
    {
      const PlannedSalvage s = over_input ? plan_salvage_over_input(overwritten.data(), overwritten.size(), options)
                                          : plan_salvage(content, options);
      BufferedWriter writer(fd);
      FUZZ_CHECK(!s.output.write_to(writer, s.arena).has_value());
      FUZZ_CHECK(!writer.flush().has_value());
      FUZZ_CHECK(s.stats.total_rows == stats.total_rows && s.stats.salvaged_rows == stats.salvaged_rows &&
                 s.stats.repaired_rows == stats.repaired_rows && s.stats.quarantined_rows == stats.quarantined_rows &&
                 s.stats.detected_delimiter == used && s.stats.inferred_columns == stats.inferred_columns);
      std::size_t i = 0;
      s.quarantine.for_each([&](const QuarantineRecord& record) {
        FUZZ_CHECK(i < quarantined.size());
        FUZZ_CHECK(std::get<0>(quarantined[i]) == record.line && std::get<1>(quarantined[i]) == record.reason &&
                   std::get<2>(quarantined[i]) == record.fields &&
                   std::get<3>(quarantined[i]) == s.arena.view(record.content));
        ++i;
      });
      FUZZ_CHECK(i == quarantined.size());
    }
    std::string written(output.size() + 1, '\0');  // one byte more, to see a longer file
    FUZZ_CHECK(::pread(fd, written.data(), written.size(), 0) == static_cast<ssize_t>(output.size()));
    written.pop_back();
    FUZZ_CHECK(written == output);
    ::close(fd);
  }

  // The repaired output, read back with quote repair off, gives the kept rows again
  // whenever the delimiter and quote are distinct ASCII bytes other than CR and LF.
  const bool plain =
      used < 0x80 && quote < 0x80 && used != quote && used != '\n' && used != '\r' && quote != '\n' && quote != '\r';
  if (!plain) return 0;
  ResilientParser reader(output, used, quote, false);
  RowTable again;
  while (reader.next_row(again)) {
  }
  FUZZ_CHECK(again.size() == outcome.rows.size());
  for (std::size_t r = 0; r < again.size(); ++r) {
    FUZZ_CHECK(again.field_count(r) == outcome.rows.field_count(r));
    for (std::size_t f = 0; f < again.field_count(r); ++f) FUZZ_CHECK(again.field(r, f) == outcome.rows.field(r, f));
  }
  return 0;
}
