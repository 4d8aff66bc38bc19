// The stream repair against the whole-file pass: whatever the input, the options, the chunk
// size, the sizes of the reads and whether regular files are read ahead and written behind
// on a thread of the engine's own, the repaired output, the quarantine file and the counts
// are exactly the whole-file pass's; and the row stream's rows are exactly the reader's.

#include <unistd.h>

#include <string>

#include "fuzz_input.h"
#include "io/buffered_writer.h"
#include "io/fd_stream.h"
#include "salvage/output_format.h"
#include "salvage/salvage_plan.h"
#include "salvage/salvage_slice.h"
#include "salvage/stream_repair.h"
#include "salvage/stream_rows.h"
#include "stream_support.h"

using namespace rowmender;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzInput in(data, size);
  const SalvageOptions options = in.take_options();
  const std::uint8_t chunk = in.take_byte();
  const std::uint8_t longest_read = in.take_byte();
  const std::string input(in.rest());

  const PlannedSalvage planned = plan_salvage(input, options);
  test::StringSink whole_output, whole_quarantine;
  {
    BufferedWriter output(whole_output), quarantine(whole_quarantine);
    FUZZ_CHECK(!planned.output.write_to(output, planned.arena));
    FUZZ_CHECK(!output.flush());
    FUZZ_CHECK(!quarantine.write(kQuarantineHeader));
    FUZZ_CHECK(!write_quarantine_lines(quarantine, planned.quarantine, planned.arena, planned.stats.inferred_columns));
    FUZZ_CHECK(!quarantine.flush());
  }

  test::PiecewiseSource pieces(input, 1 + longest_read, chunk ^ longest_read);
  const bool from_file = (chunk & 0x80) != 0;
  const test::MemoryFile file(from_file ? std::string_view(input) : std::string_view());
  FdSource descriptor(file.fd());
  ByteSource& source = from_file ? static_cast<ByteSource&>(descriptor) : pieces;
  test::StringSink in_memory, quarantine;
  const test::MemoryFile output_file("");
  FdSink output_descriptor(output_file.fd());
  ByteSink& output = from_file ? static_cast<ByteSink&>(output_descriptor) : in_memory;
  StreamSettings settings;
  settings.chunk = 1 + chunk % 64;
  // A head longer than this is let go of as inference reads it and read again: from the
  // start of the file, or from the bytes kept for a source that cannot go back.
  if ((longest_read & 0x40) != 0) settings.head_kept_whole = longest_read % 32;
  auto streamed = repair_stream(source, output, &quarantine, options, nullptr, nullptr, settings);
  FUZZ_CHECK(streamed.has_value());
  const SalvageStats& a = streamed.value().salvage;
  const SalvageStats& b = planned.stats;
  FUZZ_CHECK(a.total_rows == b.total_rows && a.salvaged_rows == b.salvaged_rows && a.repaired_rows == b.repaired_rows &&
             a.quarantined_rows == b.quarantined_rows && a.detected_delimiter == b.detected_delimiter &&
             a.inferred_columns == b.inferred_columns);
  const std::string written = from_file ? output_file.contents() : in_memory.bytes;
  FUZZ_CHECK(written == whole_output.bytes);
  FUZZ_CHECK(streamed.value().bytes_written == written.size());
  FUZZ_CHECK(quarantine.bytes == whole_quarantine.bytes);
  FUZZ_CHECK(streamed.value().bytes_read == input.size());

  const SalvageOutcome reader = salvage_slice(input, options);
  test::PiecewiseSource again(input, 1 + longest_read, chunk ^ longest_read);
  FdSource descriptor_again(file.fd());
  if (from_file) FUZZ_CHECK(::lseek(file.fd(), 0, SEEK_SET) == 0);
  RowStream rows(options, nullptr, settings);
  std::size_t next = 0;
  while (true) {
    auto more = rows.next_batch(from_file ? static_cast<ByteSource&>(descriptor_again) : again);
    FUZZ_CHECK(more.has_value());
    if (!more.value()) break;
    for (std::size_t r = 0; r < rows.rows().size(); ++r, ++next) {
      FUZZ_CHECK(next < reader.rows.size() && rows.rows().field_count(r) == reader.rows.field_count(next));
      for (std::size_t f = 0; f < rows.rows().field_count(r); ++f) {
        FUZZ_CHECK(rows.rows().field(r, f) == reader.rows.field(next, f));
      }
    }
  }
  FUZZ_CHECK(next == reader.rows.size());
  FUZZ_CHECK(rows.stats().salvage.quarantined_rows == reader.stats.quarantined_rows);
  return 0;
}
