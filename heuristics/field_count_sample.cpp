#include "heuristics/field_count_sample.h"

#include <algorithm>

#include "simd/byte_scan.h"

namespace rowmender {

FieldCountSample::FieldCountSample(std::string_view input, std::uint8_t delimiter, std::uint8_t quote_char,
                                   bool repair_quotes, std::size_t limit, bool at_end)
    : FieldCountSample(delimiter, quote_char, repair_quotes, limit) {
  read(input, at_end);
}

void FieldCountSample::read(std::string_view window, bool at_end) {
  if (complete_) return;
  const std::size_t size = window.size();
  if (!at_end && row_runs_to_ != 0) {
    // A row ends only at a line break (the last one it read may have waited for the byte
    // after it): without one among the bytes that came since, a long row is not read again.
    const std::size_t from = std::max(row_runs_to_ - std::min<std::size_t>(row_runs_to_, 2), cursor_.position);
    if (find_first_of4(window.data(), from, size, '\n', '\r', '\n', '\r') == size) {
      row_runs_to_ = size;
      return;
    }
  }
  row_runs_to_ = 0;
  ResilientParser parser = started_ ? ResilientParser(window, delimiter_, quote_char_, repair_quotes_, cursor_)
                                    : ResilientParser(window, delimiter_, quote_char_, repair_quotes_);
  started_ = true;
  parser.set_dialect(dialect_);
  // A row counts only once a byte of the window follows it: that settles every question
  // about its end. A line feed ends a blank line whatever follows, so a run of them is
  // skipped to the window's end.
  while (counted_rows_ < limit_) {
    const ResilientParser::Cursor before = parser.cursor();
    if (parser.skip_line_feeds(size) != 0) continue;  // a blank line never counts
    if (parser.skip_empty_row()) {
      if (!at_end && parser.position() >= size) {
        parser.rewind(before);
        break;
      }
      continue;
    }
    ResilientParser::RowShape row;
    if (!parser.next_row_shape(row)) break;
    if (!at_end && parser.position() >= size) {
      parser.rewind(before);
      row_runs_to_ = size;
      break;
    }
    if (row.counted) count(static_cast<std::size_t>(row.fields));
  }
  cursor_ = parser.cursor();
  // A head's sample is final once it is full, or once the whole text has been read.
  complete_ = counted_rows_ == limit_ || (at_end && cursor_.position >= size);
}

void FieldCountSample::count(std::size_t fields) {
  auto entry =
      std::find_if(frequencies_.begin(), frequencies_.end(), [fields](const auto& e) { return e.first == fields; });
  if (entry == frequencies_.end()) {
    frequencies_.emplace_back(fields, 1);
    first_rows_.push_back(counted_rows_);
  } else {
    ++entry->second;
  }
  ++counted_rows_;
}

std::size_t FieldCountSample::first_row_with(std::size_t fields, bool or_more) const noexcept {
  std::size_t first = counted_rows_;
  for (std::size_t i = 0; i < frequencies_.size(); ++i) {
    const std::size_t count = frequencies_[i].first;
    if (count == fields || (or_more && count > fields)) first = std::min(first, first_rows_[i]);
  }
  return first;
}

FieldCountSample::Mode FieldCountSample::mode(std::size_t min_count) const noexcept {
  Mode best;
  for (const auto& [count, frequency] : frequencies_) {
    if (count < min_count) continue;
    if (frequency > best.frequency || (frequency == best.frequency && count > best.count)) {
      best = {count, frequency};
    }
  }
  return best;
}

}  // namespace rowmender
