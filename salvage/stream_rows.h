#pragma once
// The kept rows of a stream of any size, handed out a window at a time: the rows the
// reader would give, in bounded memory. Quarantined rows are counted and dropped.

#include <cstddef>
#include <memory>
#include <optional>

#include "error/expected.h"
#include "error/salvage_error.h"
#include "io/byte_stream.h"
#include "io/head_replay.h"
#include "io/stream_window.h"
#include "parser/row_table.h"
#include "salvage/records.h"
#include "salvage/row_change.h"
#include "salvage/stream_repair.h"
#include "salvage/table_shape.h"

namespace rowmender {

class RowStream {
 public:
  RowStream(const SalvageOptions& options, ChangeObserver* changes = nullptr, const StreamSettings& settings = {});
  ~RowStream();
  RowStream(const RowStream&) = delete;
  RowStream& operator=(const RowStream&) = delete;

  // Replaces `rows()` with the next kept rows (at least one): true, or false once the
  // input is exhausted. Reads from `source` as needed; `monitor` hears between reads.
  [[nodiscard]] Expected<bool, SalvageError> next_batch(ByteSource& source, StreamMonitor* monitor = nullptr);

  const RowTable& rows() const noexcept { return rows_; }
  // The first `fields` fields of row `row` have been handed over and their text is not read
  // again before the next batch: where that text is long, the memory under it goes back to
  // the system at once (a huge row's text would otherwise stay beside what it was made into).
  void release_text(std::size_t row, std::size_t fields) noexcept;
  bool finished() const noexcept { return finished_; }
  // The counts so far; complete once next_batch has returned false.
  StreamStats stats() const;

 private:
  struct Walking;

  SalvageOptions options_;
  ChangeObserver* changes_;
  StreamSettings settings_;
  HeadReplay replay_;  // what the window reads the source through
  StreamWindow window_;
  RowTable rows_;
  SalvageStats counts_;
  std::unique_ptr<Walking> walking_;  // once the shape is settled
  std::size_t walked_ = 0;            // bytes of the window to drop before the next walk
  bool walked_before_ = false;
  bool started_ = false;
  bool finished_ = false;
};

}  // namespace rowmender
