#pragma once
// Repairing one input in pieces walked at once, into exactly the bytes repair_stream writes:
// on several threads of this process (a regular file), or by the workers of a cluster.
//
// The structure and the cleanup profile come from the head as in repair_stream. The input is
// then cut into pieces at line starts, and each piece is walked as if a row began there (see
// piece_walk.h). The stitcher takes the pieces in order: a piece is kept only where the rows
// before it really end at its start, in the state its walk assumed; else the stitcher walks
// it again from where the rows before it end, which is correct, only slower. Line numbers of
// a kept piece are raised by the lines before it; output, quarantine and change log go out
// in input order. Memory: a few pieces and their output per thread.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "error/expected.h"
#include "error/salvage_error.h"
#include "io/byte_stream.h"
#include "salvage/piece_codec.h"
#include "salvage/piece_walk.h"
#include "salvage/records.h"
#include "salvage/row_change.h"
#include "salvage/stream_repair.h"

namespace rowmender {

struct ParallelSettings {
  unsigned threads = 1;
  std::size_t piece = std::size_t{1} << 20;  // bytes of the input per piece, cut on at the next line start
};

// How the pieces went, for benchmarks and the caller's account.
struct PieceCounts {
  std::uint64_t pieces = 0;     // that held bytes
  std::uint64_t reparsed = 0;   // walked again by the stitcher
  std::uint64_t parse_ns = 0;   // the threads' time walking pieces, all together (not a cluster's)
  std::uint64_t stitch_ns = 0;  // the stitcher's time, waiting for pieces left out
};

// As repair_stream, on `settings.threads` threads when `source` is a regular file read
// from its start (or from where its descriptor stands) and holds at least two pieces;
// otherwise repair_stream itself. `pieces`, when given, is told how the pieces went.
[[nodiscard]] Expected<StreamStats, SalvageError> repair_parallel(ByteSource& source, ByteSink& output,
                                                                  ByteSink* quarantine, const SalvageOptions& options,
                                                                  ChangeObserver* changes, StreamMonitor* monitor,
                                                                  const ParallelSettings& settings,
                                                                  PieceCounts* pieces = nullptr);

// An input read at offsets counted from its first byte.
class RangeReader {
 public:
  virtual ~RangeReader() = default;
  // Reads `size` bytes at `offset`, all of them unless the input ends first: the count.
  [[nodiscard]] virtual Expected<std::size_t, SalvageError> read_at(char* buffer, std::size_t size,
                                                                    std::uint64_t offset) = 0;
};

// Pieces walked elsewhere: by the workers of a cluster, each with walk_piece_by_plan.
class PieceWalks {
 public:
  struct Range {
    std::uint64_t begin;
    std::uint64_t end;
    bool at_end;  // the piece ends the input; else its walk also reads the byte at `end`
  };
  virtual ~PieceWalks() = default;
  // Starts the walks of `ranges` (in input order, none empty) by `plan`.
  [[nodiscard]] virtual std::optional<SalvageError> start(std::string_view plan, std::span<const Range> ranges) = 0;
  // The next piece's walk, in the order of the ranges, as the PieceMessage of
  // walk_piece_by_plan: valid until the next call.
  [[nodiscard]] virtual Expected<std::string_view, SalvageError> next() = 0;
};

// As repair_parallel, for an input of `size` bytes read through `input`, its pieces walked
// by `walks`; an input of fewer than two pieces, or one whose line breaks may be text, is
// repaired here by repair_stream.
[[nodiscard]] Expected<StreamStats, SalvageError> repair_elsewhere(RangeReader& input, std::uint64_t size,
                                                                   ByteSink& output, ByteSink* quarantine,
                                                                   const SalvageOptions& options,
                                                                   ChangeObserver* changes, StreamMonitor* monitor,
                                                                   PieceWalks& walks, std::size_t piece,
                                                                   PieceCounts* pieces = nullptr);

// A worker's part: walks `piece` by `plan` with the caller's `options`. The caller sets the
// piece's begin, end and at_end, and puts into its bytes the piece and, unless at_end, the
// byte at `end`: `length` bytes (fewer when the input ended sooner). The message is what the
// stitcher takes; it reads the piece's output where it lies.
[[nodiscard]] Expected<PieceMessage, SalvageError> walk_piece_by_plan(std::string_view plan, Piece& piece,
                                                                      std::size_t length, SalvageOptions options);

}  // namespace rowmender
