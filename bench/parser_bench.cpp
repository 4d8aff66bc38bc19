// Throughput of the engine's stages on generated delimited text.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <random>
#include <string>

#include "heuristics/structure_inference.h"
#include "io/buffered_writer.h"
#include "parser/resilient_parser.h"
#include "salvage/output_format.h"
#include "salvage/salvage_plan.h"
#include "salvage/salvage_slice.h"

namespace {

// About `bytes` of CSV with a dozen mixed columns, some quoted with embedded commas/quotes.
std::string make_csv(std::size_t bytes, bool damaged) {
  std::mt19937_64 rng(42);
  std::string out = "id,date,name,city,amount,qty,flag,code,note,score,tag,comment\n";
  static const char* words[] = {"alpha", "beta", "gamma", "delta", "Åsa", "Zoë", "mañana", "north", "south"};
  std::size_t row = 0;
  auto number = [&](std::uint64_t n) { out.append(std::to_string(n)); };
  while (out.size() < bytes) {
    ++row;
    number(row);
    out.append(",2024-0");
    number(1 + rng() % 9);
    out.append("-1");
    number(rng() % 10);
    for (int column = 0; column < 2; ++column) {
      out.push_back(',');
      out.append(words[rng() % 9]);
    }
    out.push_back(',');
    number(rng() % 100000);
    out.push_back('.');
    number(rng() % 100);
    out.push_back(',');
    number(rng() % 50);
    out.append(rng() % 2 ? ",true,X" : ",false,X");
    number(rng() % 1000);
    out.append(",\"a note, with \"\"quotes\"\" and commas\",");
    number(rng() % 1000);
    out.push_back(',');
    out.append(words[rng() % 9]);
    out.append(",plain words here");
    if (damaged && rng() % 64 == 0) out.append(rng() % 2 ? ",extra" : ",\"stray \"quote\" here\"");
    out.push_back('\n');
  }
  return out;
}

const std::string& clean_csv() {
  static const std::string csv = make_csv(16 << 20, false);
  return csv;
}

const std::string& damaged_csv() {
  static const std::string csv = make_csv(16 << 20, true);
  return csv;
}

void BM_Parser(benchmark::State& state) {
  const std::string& csv = clean_csv();
  for (auto _ : state) {
    rowmender::ResilientParser parser(csv, ',', '"', true);
    rowmender::RowTable rows;
    rows.reserve_for_input(csv.size());
    while (parser.next_row(rows)) {
    }
    benchmark::DoNotOptimize(rows.size());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * csv.size()));
}
BENCHMARK(BM_Parser)->Unit(benchmark::kMillisecond);

void BM_SniffDelimiter(benchmark::State& state) {
  const std::string& csv = clean_csv();
  for (auto _ : state) benchmark::DoNotOptimize(rowmender::sniff_delimiter(csv));
}
BENCHMARK(BM_SniffDelimiter)->Unit(benchmark::kMicrosecond);

void BM_SalvageSlice(benchmark::State& state) {
  const std::string& csv = state.range(0) ? damaged_csv() : clean_csv();
  for (auto _ : state) {
    auto outcome = rowmender::salvage_slice(csv, rowmender::SalvageOptions{});
    benchmark::DoNotOptimize(outcome.stats.total_rows);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * csv.size()));
}
BENCHMARK(BM_SalvageSlice)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The pass behind salvage_file: every row settled and the repaired file planned, rows the
// file spells as the input does taken as stretches of the input.
void BM_PlanSalvage(benchmark::State& state) {
  const std::string& csv = state.range(0) ? damaged_csv() : clean_csv();
  for (auto _ : state) {
    auto outcome = rowmender::plan_salvage(csv, rowmender::SalvageOptions{});
    benchmark::DoNotOptimize(outcome.stats.total_rows);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * csv.size()));
}
BENCHMARK(BM_PlanSalvage)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// Writing the repaired file: every kept row of a salvaged table assembled into one line
// (quoting where needed) and written through the 8192-byte buffer. The output goes to
// /dev/null so the numbers are the formatting and buffering, not the disk. Bytes are those
// of the output lines.
void BM_WriteRows(benchmark::State& state) {
  const std::string& csv = state.range(0) ? damaged_csv() : clean_csv();
  const rowmender::SalvageOutcome outcome = rowmender::salvage_slice(csv, rowmender::SalvageOptions{});
  const rowmender::OutputSyntax syntax(outcome.stats.detected_delimiter, '"');
  const int fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    state.SkipWithError("cannot open /dev/null");
    return;
  }
  std::string line;
  std::size_t output_bytes = 0;
  for (auto _ : state) {
    output_bytes = 0;
    rowmender::BufferedWriter writer(fd);
    for (std::size_t row = 0; row < outcome.rows.size(); ++row) {
      syntax.build_line(line, outcome.rows[row], row == 0);
      output_bytes += line.size();
      if (writer.write(line)) state.SkipWithError("write failed");
    }
    if (writer.flush()) state.SkipWithError("flush failed");
  }
  ::close(fd);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * output_bytes));
}
BENCHMARK(BM_WriteRows)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
