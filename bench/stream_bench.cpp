// The stream repair against a streaming copy, in one program: read 1 MiB blocks, look at
// every byte once (memchr for line ends), write the block out. No repair that streams can be
// faster than that on the same machine. Both read a file on disk and write a file next to it.
//
//   ROWMENDER_STREAM_INPUT=bench/data/damaged.csv build-release/bench/rowmender_bench
//     --benchmark_filter=Stream --benchmark_repetitions=10
//     --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "io/fd_stream.h"
#include "salvage/change_log.h"
#include "salvage/stream_repair.h"

namespace {

std::string input_path() {
  const char* path = std::getenv("ROWMENDER_STREAM_INPUT");
  return path != nullptr ? path : "bench/data/clean.csv";
}

// The input's size, or 0 with the benchmark skipped when there is no input.
std::size_t input_size(benchmark::State& state, const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    state.SkipWithError(("no input " + path + ": set ROWMENDER_STREAM_INPUT").c_str());
    return 0;
  }
  return static_cast<std::size_t>(info.st_size);
}

int open_output(const std::string& path) { return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666); }

void BM_StreamFloor(benchmark::State& state) {
  const std::string path = input_path();
  const std::size_t size = input_size(state, path);
  const auto block = std::make_unique<char[]>(1 << 20);
  std::size_t lines = 0;
  for (auto _ : state) {
    const int in = ::open(path.c_str(), O_RDONLY), out = open_output(path + ".bench-out");
    while (true) {
      const ssize_t got = ::read(in, block.get(), 1 << 20);
      if (got <= 0) break;
      for (const char *p = block.get(), *end = p + got; (p = static_cast<const char*>(std::memchr(p, '\n', end - p)));
           ++p) {
        ++lines;
      }
      if (::write(out, block.get(), static_cast<std::size_t>(got)) != got) state.SkipWithError("write failed");
    }
    ::close(in);
    ::close(out);
  }
  benchmark::DoNotOptimize(lines);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
  ::unlink((path + ".bench-out").c_str());
}
BENCHMARK(BM_StreamFloor)->Unit(benchmark::kMillisecond)->UseRealTime();

// Argument 1: with a change log written next to the output, as repair(..., changes=) does.
void BM_StreamRepair(benchmark::State& state) {
  const std::string path = input_path();
  const std::size_t size = input_size(state, path);
  const bool log_changes = state.range(0) != 0;
  for (auto _ : state) {
    const int in = ::open(path.c_str(), O_RDONLY), out = open_output(path + ".bench-out");
    const int log_fd = log_changes ? open_output(path + ".bench-changes") : -1;
    rowmender::FdSource source(in);
    rowmender::FdSink sink(out), log_sink(log_fd);
    rowmender::ChangeLog changes(log_changes ? &log_sink : nullptr);
    auto result = rowmender::repair_stream(source, sink, nullptr, rowmender::SalvageOptions{}, &changes);
    if (!result) state.SkipWithError(result.error().message().c_str());
    ::close(in);
    ::close(out);
    if (log_fd >= 0) ::close(log_fd);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
  ::unlink((path + ".bench-out").c_str());
  ::unlink((path + ".bench-changes").c_str());
}
BENCHMARK(BM_StreamRepair)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
