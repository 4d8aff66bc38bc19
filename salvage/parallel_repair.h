#pragma once
// Repairing one regular file on several threads into exactly the bytes repair_stream writes.
//
// The structure and the cleanup profile come from the head as in repair_stream. The file is
// then cut into pieces at line starts, and each thread walks a piece as if a row began there,
// with the state a walk has between rows of a plain table (no second table open, a line
// already written). The calling thread takes the pieces in order: a piece is kept only where
// the rows before it really end at its start, in that state; else the calling thread walks
// it again from where the rows before it end, which is correct, only slower. Line numbers of
// a kept piece are raised by the lines before it; output, quarantine and change log go out
// in input order. Memory: a few pieces and their output per thread.

#include <cstddef>
#include <cstdint>

#include "error/expected.h"
#include "error/salvage_error.h"
#include "io/byte_stream.h"
#include "salvage/records.h"
#include "salvage/row_change.h"
#include "salvage/stream_repair.h"

namespace rowmender {

struct ParallelSettings {
  unsigned threads = 1;
  std::size_t piece = std::size_t{1} << 20;  // bytes of the file per piece, cut on at the next line start
};

// How the pieces went, for benchmarks.
struct PieceCounts {
  std::uint64_t pieces = 0;     // that held bytes
  std::uint64_t reparsed = 0;   // walked again by the calling thread
  std::uint64_t parse_ns = 0;   // the threads' time walking pieces, all together
  std::uint64_t stitch_ns = 0;  // the calling thread's time, waiting for pieces left out
};

// As repair_stream, on `settings.threads` threads when `source` is a regular file read
// from its start (or from where its descriptor stands) and holds at least two pieces;
// otherwise repair_stream itself. `pieces`, when given, is told how the pieces went.
[[nodiscard]] Expected<StreamStats, SalvageError> repair_parallel(ByteSource& source, ByteSink& output,
                                                                  ByteSink* quarantine, const SalvageOptions& options,
                                                                  ChangeObserver* changes, StreamMonitor* monitor,
                                                                  const ParallelSettings& settings,
                                                                  PieceCounts* pieces = nullptr);

}  // namespace rowmender
