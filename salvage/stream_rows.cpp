#include "salvage/stream_rows.h"

#include <algorithm>
#include <utility>

#include "memory/large_pages.h"
#include "salvage/salvage_walk.h"
#include "salvage/table_sink.h"
#include "unicode/utf8.h"

namespace rowmender {

struct RowStream::Walking {
  Walking(const SalvageOptions& options, std::size_t profile_bytes, std::string_view head, bool at_end,
          TableShape shape, RowTable& rows, SalvageStats& counts, ChangeObserver* changes)
      : screen(screen_for(head, at_end, shape, options, profile_bytes)),
        joined(changes != nullptr ? std::optional<BlankRunJoiner>(std::in_place, *changes) : std::nullopt),
        sink(rows, latin1_char(shape.delimiter), false),
        walk(options, shape, sink, counts, joined ? &*joined : nullptr, screen ? &*screen : nullptr) {}
  std::optional<RowScreen> screen;
  std::optional<BlankRunJoiner> joined;
  TableSink sink;
  SalvageWalk<TableSink> walk;
};

RowStream::RowStream(const SalvageOptions& options, ChangeObserver* changes, const StreamSettings& settings)
    : options_(options), changes_(changes), settings_(settings) {
  settings_.chunk = std::max<std::size_t>(settings_.chunk, 1);
}

RowStream::~RowStream() = default;

Expected<bool, SalvageError> RowStream::next_batch(ByteSource& source, StreamMonitor* monitor) {
  rows_.clear();
  if (!started_) {
    started_ = true;
    replay_.read_from(source);
    auto settled = settle_shape_from_stream(window_, replay_, options_, settings_, monitor);
    if (!settled) return std::move(settled).error();
    if (!settled.value()) {
      finished_ = true;
      return false;
    }
    const std::size_t head = window_.size();
    if (screens_rows(options_)) {
      // The cleanup rules read the same start of the input however it is read.
      if (auto error = window_.fill(replay_, settings_.profile_bytes)) return *std::move(error);
    }
    walking_ = std::make_unique<Walking>(options_, settings_.profile_bytes, window_.view(), window_.at_end(),
                                         *settled.value(), rows_, counts_, changes_);
    if (head > settings_.chunk) walking_->walk.expect_long_rows_in(window_.size());
    // The rows handed out lie in the table's own memory or in this window, never in the
    // buffer read into ahead, so the next window can be read while they are used.
    window_.read_ahead(replay_, settings_.chunk);
  }
  // The source is the same stream each time, through another object.
  replay_.read_from(source);
  while (!finished_) {
    if (walked_before_) {
      // The rows handed out before have been used and the table let go of them: the window
      // can move on now.
      walking_->walk.drop_front(walked_);
      if (monitor != nullptr) {
        if (auto error = monitor->on_progress(window_.bytes_read())) return *std::move(error);
      }
      const std::size_t consumed = std::exchange(walked_, 0);
      if (auto error = window_.advance(replay_, consumed, settings_.chunk)) return *std::move(error);
    }
    // A walk that kept no rows may have written a long row it then dropped over the window:
    // the table lets go of the window before the next walk.
    rows_.clear();
    walking_->sink.use_window(window_.data(), window_.size(), settings_.chunk);
    if (walking_->screen && window_.at_end()) walking_->screen->input_cut_off(source.cut_off());
    walked_ = walking_->walk.walk(window_.view(), window_.at_end());
    walked_before_ = true;
    // The walk may stop before the end of the input's last window: before a long row that
    // is to start the next table.
    if (window_.at_end() && walked_ == window_.size()) {
      finished_ = true;
      finish_counts(counts_);
      if (walking_->joined) walking_->joined->finish();
      if (changes_ != nullptr) {
        if (auto error = changes_->flush()) return *std::move(error);
      }
    }
    if (!rows_.empty()) return true;
  }
  return false;
}

void RowStream::release_text(std::size_t row, std::size_t fields) noexcept {
  if (fields == 0) return;
  const std::string_view text = rows_[row].text();
  const std::string_view last = rows_.field(row, fields - 1);
  const char* const end = last.data() + last.size();
  // A text this long lies in mapped memory of its own or of the window, never on the heap.
  if (static_cast<std::size_t>(end - text.data()) < kLargePagesFrom) return;
  release_pages_within(const_cast<char*>(text.data()), const_cast<char*>(end));
}

StreamStats RowStream::stats() const {
  StreamStats stats;
  stats.salvage = counts_;
  if (!finished_) stats.salvage.salvaged_rows = counts_.total_rows - counts_.quarantined_rows;
  stats.bytes_read = window_.bytes_read();
  stats.quote_char = options_.quote_char;
  stats.dialect = options_.dialect;
  if (walking_) {
    stats.skipped_byte_order_mark = walking_->walk.skipped_byte_order_mark();
    stats.line_ends = walking_->walk.cursor().line_ends;
    stats.dialect = walking_->walk.dialect();
  }
  return stats;
}

}  // namespace rowmender
