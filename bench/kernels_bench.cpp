// Throughput of each kernel, with each implementation this processor runs, on the same text:
// what choosing one table of kernels over another is worth.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>

#include "simd/implementation.h"

namespace {

// About 4 MB of rows of short fields, a fifth of the words with a non-ASCII letter.
const std::string& sample_text() {
  static const std::string text = [] {
    static const char* words[] = {"alpha", "beta", "2024-01-17", "12345.67", "Åsa", "Zoë", "plain words here"};
    std::mt19937_64 rng(7);
    std::string out;
    while (out.size() < (std::size_t{4} << 20)) {
      for (int field = 0; field < 10; ++field) {
        if (field != 0) out.push_back(',');
        out.append(words[rng() % std::size(words)]);
      }
      out.push_back('\n');
    }
    return out;
  }();
  return text;
}

void map_lines(benchmark::State& state, const rowmender::simd::Implementation* kernels) {
  const std::string& text = sample_text();
  rowmender::simd::LineMap map;
  for (auto _ : state) {
    for (std::size_t at = 0; at < text.size(); at += map.size + 1) {
      kernels->map_line(text.data(), at, text.size(), ',', '"', map);
    }
    benchmark::DoNotOptimize(map.size);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void check_utf8(benchmark::State& state, const rowmender::simd::Implementation* kernels) {
  const std::string& text = sample_text();
  for (auto _ : state) benchmark::DoNotOptimize(kernels->is_valid_utf8(text.data(), text.size()));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void find_breaks(benchmark::State& state, const rowmender::simd::Implementation* kernels) {
  const std::string& text = sample_text();
  for (auto _ : state) {
    std::size_t lines = 0;
    for (std::size_t at = 0; at < text.size(); ++lines) {
      at = kernels->find_first_of4(text.data(), at, text.size(), '\n', '\r', '\n', '\r') + 1;
    }
    benchmark::DoNotOptimize(lines);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

const bool registered = [] {
  for (const rowmender::simd::Implementation* kernels : rowmender::simd::implementations()) {
    const std::string name = kernels->name;
    benchmark::RegisterBenchmark(("BM_MapLines/" + name).c_str(), map_lines, kernels);
    benchmark::RegisterBenchmark(("BM_CheckUtf8/" + name).c_str(), check_utf8, kernels);
    benchmark::RegisterBenchmark(("BM_FindLineBreaks/" + name).c_str(), find_breaks, kernels);
  }
  return true;
}();

}  // namespace
