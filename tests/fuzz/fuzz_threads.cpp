// A regular file repaired on 2 to 9 threads, cut into pieces of 1 to 64 bytes, and repaired
// with its pieces walked elsewhere (each piece's walk and the plan passed as bytes, as to a
// cluster's worker and back), against the one-thread stream repair: the output, the
// quarantine file, the change log and the counts are the same bytes, with the cleanup rules
// on or off and rows read in a single-byte encoding or not (a UTF-8 file's appended rows, or
// the file's own encoding); and the output is valid UTF-8.

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "io/fd_stream.h"
#include "salvage/change_log.h"
#include "salvage/parallel_repair.h"
#include "salvage/stream_repair.h"
#include "simd/utf8_check.h"
#include "stream_support.h"
#include "unicode/legacy_bytes.h"
#include "unicode/utf8.h"

using namespace rowmender;

namespace {

// Latin-1 but for two bytes it leaves undefined, as cp1252 leaves five.
LegacyBytes latin1_table(bool file_encoding) {
  LegacyBytes table;
  for (unsigned b = 0x80; b < 0x100; ++b) {
    if (b != 0x81 && b != 0x8D) table.set(static_cast<std::uint8_t>(b), latin1_char(static_cast<std::uint8_t>(b)));
  }
  table.set_file_encoding(file_encoding);
  return table;
}

struct Repaired {
  test::StringSink output, quarantine, changes;
  StreamStats stats;
  ChangeCounts counts;
};

// `into_file`: the output goes to a regular file, which the threads write behind.
void repair(const std::string& input, const SalvageOptions& options, const ParallelSettings& settings, Repaired& out,
            bool into_file = false) {
  const test::MemoryFile file(input), written("");
  FdSource source(file.fd());
  FdSink file_output(written.fd());
  ChangeLog log(&out.changes);
  ByteSink& output = into_file ? static_cast<ByteSink&>(file_output) : out.output;
  auto result = repair_parallel(source, output, &out.quarantine, options, &log, nullptr, settings);
  if (into_file) out.output.bytes = written.contents();
  FUZZ_CHECK(result.has_value());
  FUZZ_CHECK(!log.flush());
  out.stats = result.value();
  out.counts = log.counts();
}

// A cluster in one process: every walk goes through the bytes a worker would send.
class WalksHere final : public RangeReader, public PieceWalks {
 public:
  WalksHere(const std::string& input, const SalvageOptions& options) : input_(input), options_(options) {}
  Expected<std::size_t, SalvageError> read_at(char* buffer, std::size_t size, std::uint64_t offset) override {
    const std::string_view rest = std::string_view(input_).substr(std::min<std::size_t>(offset, input_.size()));
    const std::size_t count = std::min(size, rest.size());
    std::memcpy(buffer, rest.data(), count);
    return count;
  }
  std::optional<SalvageError> start(std::string_view plan, std::span<const Range> ranges) override {
    plan_ = plan;
    ranges_.assign(ranges.begin(), ranges.end());
    return std::nullopt;
  }
  Expected<std::string_view, SalvageError> next() override {
    FUZZ_CHECK(next_ < ranges_.size());
    const Range& range = ranges_[next_++];
    const std::string_view text =
        std::string_view(input_).substr(range.begin, range.end - range.begin + (range.at_end ? 0 : 1));
    // One piece reused, as a worker thread does.
    piece_.begin = range.begin;
    piece_.end = range.end;
    piece_.at_end = range.at_end;
    if (piece_.bytes.size() < text.size()) piece_.bytes.resize(text.size());
    std::copy(text.begin(), text.end(), piece_.bytes.begin());
    auto walked = walk_piece_by_plan(plan_, piece_, text.size(), options_);
    FUZZ_CHECK(walked.has_value());
    message_.resize(walked.value().size());
    walked.value().copy_to(message_.data());
    return std::string_view(message_);
  }

 private:
  const std::string& input_;
  const SalvageOptions& options_;
  std::string plan_;
  std::vector<Range> ranges_;
  std::size_t next_ = 0;
  Piece piece_;
  std::string message_;
};

void repair_by_walks(const std::string& input, const SalvageOptions& options, std::size_t piece, Repaired& out) {
  WalksHere walks(input, options);
  ChangeLog log(&out.changes);
  auto result =
      repair_elsewhere(walks, input.size(), out.output, &out.quarantine, options, &log, nullptr, walks, piece);
  FUZZ_CHECK(result.has_value());
  FUZZ_CHECK(!log.flush());
  out.stats = result.value();
  out.counts = log.counts();
}

void check_same(const Repaired& many, const Repaired& one) {
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
  FUZZ_CHECK(many.stats.lacking_columns == one.stats.lacking_columns);
  FUZZ_CHECK(many.counts.blank_lines == one.counts.blank_lines &&
             many.counts.unterminated_quote_line == one.counts.unterminated_quote_line &&
             many.counts.other_table_line == one.counts.other_table_line);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzInput in(data, size);
  SalvageOptions options = in.take_options();
  const std::uint8_t threads = in.take_byte(), piece = in.take_byte(), rules = in.take_byte();
  // Every rule that judges rows by what they hold: they carry state from row to row.
  if ((rules & 1) != 0)
    options.cleanup = CleanupRules(CleanupRules::kAll & ~static_cast<std::uint16_t>(Cleanup::encoding));
  static const LegacyBytes appended = latin1_table(false), own = latin1_table(true);
  if ((rules & 4) != 0) options.legacy_rows = (rules & 8) != 0 ? &own : &appended;
  const std::string input(in.rest());

  Repaired one, many, elsewhere;
  repair(input, options, {}, one);
  FUZZ_CHECK(is_valid_utf8(one.output.bytes));
  repair(input, options, {2u + threads % 8u, 1u + piece % 64u}, many, (rules & 2) != 0);
  check_same(many, one);
  repair_by_walks(input, options, 1u + threads % 64u, elsewhere);
  check_same(elsewhere, one);
  return 0;
}
