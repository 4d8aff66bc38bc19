#pragma once
// Repairing a stream of any size in bounded memory, by the same rules and into exactly the
// bytes of the whole-file pass: output and quarantine lines go out as each window of the
// input has been walked.
//
// Memory: the window (a chunk, or the longest row when one is longer), the head that
// structure inference samples (its rows under each candidate delimiter must all be
// complete, so a quote opened near the start that never closes makes the head the whole
// input), and the plan of one window.

#include <cstddef>
#include <cstdint>
#include <optional>

#include "error/expected.h"
#include "error/salvage_error.h"
#include "io/byte_stream.h"
#include "io/stream_window.h"
#include "parser/row_events.h"
#include "salvage/records.h"
#include "salvage/row_change.h"
#include "salvage/table_shape.h"

namespace rowmender {

struct StreamStats {
  SalvageStats salvage;
  std::uint64_t bytes_read = 0;
  std::uint64_t bytes_written = 0;  // to the repaired output
  bool skipped_byte_order_mark = false;
  LineEndCounts line_ends;
};

// Told between windows how far the work has come; an error it returns stops the work (it
// is how an interrupt reaches the engine) and becomes the work's result.
class StreamMonitor {
 public:
  virtual ~StreamMonitor() = default;
  [[nodiscard]] virtual std::optional<SalvageError> on_progress(std::uint64_t bytes_read) = 0;
};

struct StreamSettings {
  std::size_t chunk = std::size_t{1} << 20;  // bytes read between walks
};

// Reads into `window` until structure inference can settle the shape from the head (the
// window's bytes, none consumed yet), doubling the head each time it cannot; nullopt for an
// empty input.
[[nodiscard]] Expected<std::optional<TableShape>, SalvageError> settle_shape_from_stream(StreamWindow& window,
                                                                                         ByteSource& source,
                                                                                         const SalvageOptions& options,
                                                                                         std::size_t chunk);

// Reads `source` to its end and writes the repaired rows to `output` and, when given, the
// quarantine file (header first) to `quarantine`. `changes` is told of every changed row.
[[nodiscard]] Expected<StreamStats, SalvageError> repair_stream(ByteSource& source, ByteSink& output,
                                                                ByteSink* quarantine, const SalvageOptions& options,
                                                                ChangeObserver* changes = nullptr,
                                                                StreamMonitor* monitor = nullptr,
                                                                const StreamSettings& settings = {});

}  // namespace rowmender
