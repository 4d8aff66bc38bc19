// The cleanup rules decide alike however the input is read: a repair read in small windows
// and pieces writes the same output, quarantine file and change log, with the same counts,
// as one that holds the whole input in one window; and the row stream keeps the rows the
// repair keeps.

#include <string>

#include "fuzz_input.h"
#include "salvage/change_log.h"
#include "salvage/stream_repair.h"
#include "salvage/stream_rows.h"
#include "stream_support.h"

using namespace rowmender;

namespace {

struct Repaired {
  std::string output, quarantine, changes;
  StreamStats stats;
};

Repaired repair(const std::string& input, const SalvageOptions& options, std::size_t longest_read,
                const StreamSettings& settings) {
  test::PiecewiseSource pieces(input, longest_read, longest_read);
  test::StringSink output, quarantine, changes;
  ChangeLog log(&changes);
  auto streamed = repair_stream(pieces, output, &quarantine, options, &log, nullptr, settings);
  FUZZ_CHECK(streamed.has_value());
  FUZZ_CHECK(!log.flush());
  return {output.bytes, quarantine.bytes, changes.bytes, streamed.value()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzInput in(data, size);
  SalvageOptions options = in.take_options();
  const auto rules = static_cast<std::uint16_t>(in.take_byte() | in.take_byte() << 8);
  options.cleanup = CleanupRules(static_cast<std::uint16_t>(rules | options.cleanup.bits()));
  const std::uint8_t chunk = in.take_byte();
  const std::uint8_t longest_read = in.take_byte();
  const std::string input(in.rest());

  StreamSettings small;
  small.chunk = 1 + chunk % 64;
  if ((longest_read & 0x40) != 0) small.head_kept_whole = longest_read % 32;
  StreamSettings whole;
  whole.chunk = input.size() + 1;
  // The profile reads the same start either way; a short one lets the small windows cut
  // the rest of the input anywhere.
  small.profile_bytes = whole.profile_bytes = 1 + (chunk >> 6) * 24;
  const Repaired a = repair(input, options, 1 + longest_read % 64, small);
  const Repaired b = repair(input, options, input.size() + 1, whole);
  FUZZ_CHECK(a.output == b.output);
  FUZZ_CHECK(a.quarantine == b.quarantine);
  FUZZ_CHECK(a.changes == b.changes);
  const SalvageStats& x = a.stats.salvage;
  const SalvageStats& y = b.stats.salvage;
  FUZZ_CHECK(x.total_rows == y.total_rows && x.salvaged_rows == y.salvaged_rows &&
             x.quarantined_rows == y.quarantined_rows && x.inferred_columns == y.inferred_columns);
  FUZZ_CHECK(x.total_rows == x.salvaged_rows + x.quarantined_rows);

  // Read again with the columns a later table adds, as the package does: the same for any
  // window size, and every row accounted for.
  FUZZ_CHECK(a.stats.lacking_columns == b.stats.lacking_columns);
  if (!a.stats.lacking_columns.empty()) {
    SalvageOptions wider = options;
    wider.added_columns = &a.stats.lacking_columns;
    const Repaired c = repair(input, wider, 1 + longest_read % 64, small);
    const Repaired d = repair(input, wider, input.size() + 1, whole);
    FUZZ_CHECK(c.output == d.output && c.quarantine == d.quarantine && c.changes == d.changes);
    FUZZ_CHECK(c.stats.added_columns == d.stats.added_columns);
    const SalvageStats& z = c.stats.salvage;
    FUZZ_CHECK(z.total_rows == z.salvaged_rows + z.quarantined_rows && z.total_rows == x.total_rows);
  }

  test::PiecewiseSource again(input, 1 + longest_read % 64, chunk);
  RowStream rows(options, nullptr, small);
  std::uint64_t kept = 0;
  while (true) {
    auto more = rows.next_batch(again);
    FUZZ_CHECK(more.has_value());
    if (!more.value()) break;
    kept += rows.rows().size();
  }
  FUZZ_CHECK(kept == x.salvaged_rows);
  return 0;
}
