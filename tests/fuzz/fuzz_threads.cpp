// A regular file repaired on 2 to 9 threads, cut into pieces of 1 to 64 bytes, against the
// one-thread stream repair: the output, the quarantine file, the change log and the counts
// are the same bytes, with the cleanup rules on or off.

#include <string>

#include "fuzz_input.h"
#include "io/fd_stream.h"
#include "salvage/change_log.h"
#include "salvage/parallel_repair.h"
#include "salvage/stream_repair.h"
#include "stream_support.h"

using namespace rowmender;

namespace {

struct Repaired {
  test::StringSink output, quarantine, changes;
  StreamStats stats;
  ChangeCounts counts;
};

void repair(const std::string& input, const SalvageOptions& options, const ParallelSettings& settings, Repaired& out) {
  const test::MemoryFile file(input);
  FdSource source(file.fd());
  ChangeLog log(&out.changes);
  auto result = repair_parallel(source, out.output, &out.quarantine, options, &log, nullptr, settings);
  FUZZ_CHECK(result.has_value());
  FUZZ_CHECK(!log.flush());
  out.stats = result.value();
  out.counts = log.counts();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzInput in(data, size);
  SalvageOptions options = in.take_options();
  const std::uint8_t threads = in.take_byte(), piece = in.take_byte(), rules = in.take_byte();
  // Every rule that judges rows by what they hold: they carry state from row to row.
  if ((rules & 1) != 0)
    options.cleanup = CleanupRules(CleanupRules::kAll & ~static_cast<std::uint16_t>(Cleanup::encoding));
  const std::string input(in.rest());

  Repaired one, many;
  repair(input, options, {}, one);
  repair(input, options, {2u + threads % 8u, 1u + piece % 64u}, many);
  FUZZ_CHECK(many.output.bytes == one.output.bytes);
  FUZZ_CHECK(many.quarantine.bytes == one.quarantine.bytes);
  FUZZ_CHECK(many.changes.bytes == one.changes.bytes);
  const SalvageStats& a = many.stats.salvage;
  const SalvageStats& b = one.stats.salvage;
  FUZZ_CHECK(a.total_rows == b.total_rows && a.salvaged_rows == b.salvaged_rows && a.repaired_rows == b.repaired_rows &&
             a.quarantined_rows == b.quarantined_rows && a.detected_delimiter == b.detected_delimiter &&
             a.inferred_columns == b.inferred_columns);
  FUZZ_CHECK(many.stats.bytes_read == one.stats.bytes_read && many.stats.bytes_written == one.stats.bytes_written);
  FUZZ_CHECK(many.stats.skipped_byte_order_mark == one.stats.skipped_byte_order_mark);
  FUZZ_CHECK(many.stats.line_ends.lf == one.stats.line_ends.lf &&
             many.stats.line_ends.crlf == one.stats.line_ends.crlf &&
             many.stats.line_ends.cr == one.stats.line_ends.cr);
  FUZZ_CHECK(many.counts.blank_lines == one.counts.blank_lines &&
             many.counts.unterminated_quote_line == one.counts.unterminated_quote_line &&
             many.counts.other_table_line == one.counts.other_table_line);
  return 0;
}
