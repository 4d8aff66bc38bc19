#pragma once
// Repairing a stream of any size in bounded memory, by the same rules and into exactly the
// bytes of the whole-file pass: output and quarantine lines go out as each window of the
// input has been walked.
//
// Memory: the window (a chunk, or the longest row when one is longer), the head that
// structure inference samples while it is short (a longer one is read again, see
// settle_shape_from_stream), and the plan of one window.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "error/expected.h"
#include "error/salvage_error.h"
#include "io/byte_stream.h"
#include "io/head_replay.h"
#include "io/stream_window.h"
#include "parser/row_events.h"
#include "salvage/records.h"
#include "salvage/row_change.h"
#include "salvage/row_screen.h"
#include "salvage/table_shape.h"

namespace rowmender {

struct StreamStats {
  SalvageStats salvage;
  std::uint64_t bytes_read = 0;
  std::uint64_t bytes_written = 0;  // to the repaired output
  bool skipped_byte_order_mark = false;
  LineEndCounts line_ends;
  // How the input was read: the quote (none when dialect.quoting is false) and the style.
  std::uint8_t quote_char = '"';
  Dialect dialect;
  // The names the first later table with columns the first header lacks has beyond it
  // (with the cleanup rule for repeated headers): what a second pass may add.
  std::vector<std::string> lacking_columns;
  std::vector<std::string> added_columns;  // those the output added, as the options asked
};

// Told between windows how far the work has come; an error it returns stops the work (it
// is how an interrupt reaches the engine) and becomes the work's result.
class StreamMonitor {
 public:
  virtual ~StreamMonitor() = default;
  [[nodiscard]] virtual std::optional<SalvageError> on_progress(std::uint64_t bytes_read) = 0;
};

// The head kept whole while structure inference reads it, so that the rows are walked from
// it without reading them again: a longer head is let go of as it is read and read again.
inline constexpr std::size_t kHeadKeptWhole = std::size_t{8} << 20;

struct StreamSettings {
  std::size_t chunk = std::size_t{1} << 20;  // bytes read between walks
  std::size_t head_kept_whole = kHeadKeptWhole;
  // How much of the input's start the cleanup rules read for the table's profile (every
  // reading of one input must use the same); tests make it small to cut windows in a file.
  std::size_t profile_bytes = kProfileBytes;
};

// Reads into `window` from `input` until structure inference can settle the shape, nullopt
// for an empty input. The window then holds the input's first bytes, none consumed: the
// whole head when it was kept whole, else a chunk of the input read again from its start
// through `input`, which the rows must then be read from.
[[nodiscard]] Expected<std::optional<TableShape>, SalvageError> settle_shape_from_stream(
    StreamWindow& window, HeadReplay& input, const SalvageOptions& options, const StreamSettings& settings,
    StreamMonitor* monitor = nullptr);

// Reads `source` to its end and writes the repaired rows to `output` and, when given, the
// quarantine file (header first) to `quarantine`. `changes` is told of every changed row.
[[nodiscard]] Expected<StreamStats, SalvageError> repair_stream(ByteSource& source, ByteSink& output,
                                                                ByteSink* quarantine, const SalvageOptions& options,
                                                                ChangeObserver* changes = nullptr,
                                                                StreamMonitor* monitor = nullptr,
                                                                const StreamSettings& settings = {});

}  // namespace rowmender
