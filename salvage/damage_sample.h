#pragma once
// What the damage report keeps of a repair, in memory of a fixed size whatever the input's:
// - ChangeSampler, told of each line of the change log: per change kind, its count, a map
//   of where its changes begin (kMapBins bins over a span of lines that doubles as the file
//   outgrows it) and a reservoir sample of kExamplesPerKind changes from the whole file, and
//   the tallies of filled and merged rows by detail (for the per-column counts);
// - TableSampler, between the repair and its output: the first rows of the repaired table
//   and a reservoir of short runs of rows from across it, for the column profile;
// - HeadSink, between the repair and its quarantine file: the file's first bytes.
// The samples are drawn with the generator and the seeds of Python's random module, as the
// page's samples always were: the same file gives the same page.

#include <sys/uio.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "io/byte_stream.h"
#include "salvage/change_log.h"

namespace rowmender {

class GatheredBytes;

inline constexpr std::size_t kMapBins = 256;
inline constexpr std::size_t kExamplesPerKind = 10;
inline constexpr std::size_t kExampleBytes = 16 * 1024;
inline constexpr std::size_t kQuarantineHeadBytes = std::size_t{4} << 20;
inline constexpr std::size_t kProfileHeadRows = 500;
inline constexpr std::size_t kProfileHeadBytes = kExampleBytes * 64;
inline constexpr std::size_t kProfileRunRows = 4;
inline constexpr std::size_t kProfileRuns = 256;
inline constexpr std::size_t kTallies = 10'000;
inline constexpr std::uint32_t kChangeSeed = 20240611;
inline constexpr std::uint32_t kTableSeed = kChangeSeed + 1;

// The Mersenne Twister as Python's random.Random(seed) seeds and draws it, for a seed below
// 2**32: random() and randrange(n).
class SeededRandom {
 public:
  explicit SeededRandom(std::uint32_t seed) noexcept;
  double random() noexcept;                       // [0, 1), 53 bits
  std::uint64_t below(std::uint64_t n) noexcept;  // [0, n), n > 0

 private:
  std::uint32_t next() noexcept;
  std::uint64_t bits(unsigned k) noexcept;

  std::array<std::uint32_t, 624> state_{};
  std::size_t index_ = 624;
};

struct SampledChange {
  std::uint64_t first_line;
  std::uint64_t last_line;
  std::string detail;
  std::uint64_t begin;  // where the row's bytes lie in the input, its line break included
  std::uint64_t end;
};

struct KindSample {
  std::string kind;
  std::uint64_t count = 0;
  std::vector<std::uint64_t> bins = std::vector<std::uint64_t>(kMapBins);
  std::vector<SampledChange> sample;
  // The reservoir skips ahead (Algorithm L): a draw per change taken, not per change seen,
  // since a file may have millions of changes of one kind.
  double weight = 1.0;
  std::uint64_t next = kExamplesPerKind;
};

class ChangeSampler final : public ChangeRecorder {
 public:
  ChangeSampler() noexcept : random_(kChangeSeed) {}
  void record(std::uint64_t first_line, std::uint64_t last_line, std::string_view kind, std::string_view detail,
              std::uint64_t begin, std::uint64_t end) override;

  // In the order the kinds first occur.
  const std::vector<KindSample>& kinds() const noexcept { return kinds_; }
  std::uint64_t span() const noexcept { return span_; }  // lines per bin
  std::uint64_t last_line() const noexcept { return last_line_; }
  // Rows filled or merged, by (kind, detail); at most kTallies details.
  const std::map<std::pair<std::string, std::string>, std::uint64_t>& tallies() const noexcept { return tallies_; }

 private:
  void offer(KindSample& sample, SampledChange change);
  void skip(KindSample& sample) noexcept;
  void widen(std::uint64_t line);

  SeededRandom random_;
  std::vector<KindSample> kinds_;
  std::uint64_t span_ = 1;
  std::uint64_t last_line_ = 0;
  std::map<std::pair<std::string, std::string>, std::uint64_t> tallies_;
};

// Passes the repaired table on to `inner` while keeping its first kProfileHeadRows lines
// (up to kProfileHeadBytes) and a reservoir of runs of up to kProfileRunRows lines, one
// candidate per write. The writes do not end at row ends, and a quoted field may hold line
// breaks: a run starts after the first line break of a write (at the write's start when the
// last write ended with one), and whoever parses the runs leaves out rows of the wrong width.
class TableSampler final : public ByteSink {
 public:
  explicit TableSampler(ByteSink& inner) noexcept : inner_(inner), random_(kTableSeed) {}
  [[nodiscard]] Expected<std::size_t, SalvageError> write(std::span<const iovec> pieces) override;
  [[nodiscard]] std::optional<SalvageError> after_short_write() override { return inner_.after_short_write(); }
  SalvageError failed_elsewhere(int error_number) override { return inner_.failed_elsewhere(error_number); }
  // No regular_file_descriptor(): every byte must pass through write() to be sampled.

  const std::string& head() const noexcept { return head_; }
  const std::vector<std::string>& runs() const noexcept { return runs_; }
  std::uint64_t bytes_written() const noexcept { return written_; }

 private:
  void take_head(GatheredBytes& chunk);
  void offer_run(GatheredBytes& chunk);

  ByteSink& inner_;
  SeededRandom random_;
  std::string head_;
  std::size_t head_lines_ = 0;
  bool head_done_ = false;
  std::vector<std::string> runs_;
  std::uint64_t candidates_ = 0;
  bool after_break_ = true;
  std::uint64_t written_ = 0;
};

// Passes bytes on to `inner` and keeps the first `limit` of them.
class HeadSink final : public ByteSink {
 public:
  HeadSink(ByteSink& inner, std::size_t limit) noexcept : inner_(inner), limit_(limit) {}
  [[nodiscard]] Expected<std::size_t, SalvageError> write(std::span<const iovec> pieces) override;
  [[nodiscard]] std::optional<SalvageError> after_short_write() override { return inner_.after_short_write(); }
  SalvageError failed_elsewhere(int error_number) override { return inner_.failed_elsewhere(error_number); }

  const std::string& head() const noexcept { return head_; }
  bool cut() const noexcept { return cut_; }  // more bytes came than were kept

 private:
  ByteSink& inner_;
  std::size_t limit_;
  std::string head_;
  bool cut_ = false;
};

// Takes every byte and keeps none: the output of a repair made only for its report.
class DiscardingSink final : public ByteSink {
 public:
  [[nodiscard]] Expected<std::size_t, SalvageError> write(std::span<const iovec> pieces) override {
    std::size_t total = 0;
    for (const iovec& piece : pieces) total += piece.iov_len;
    return total;
  }
};

}  // namespace rowmender
