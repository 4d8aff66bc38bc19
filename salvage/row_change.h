#pragma once
// What a pass changed in one row, for whoever keeps account of changes.

#include <cstddef>
#include <cstdint>
#include <optional>

#include "error/salvage_error.h"

#include "parser/row_events.h"
#include "salvage/row_rule.h"

namespace rowmender {

struct RowChange {
  std::uint64_t first_line;  // the row's first and last physical line, 1-based
  std::uint64_t last_line;
  RowDecision decision;
  const RowEvents& events;
  std::uint64_t width;
  // Where the row's bytes lie in the text walked, its line break included.
  std::size_t begin;
  std::size_t end;
};

// Told of every row whose reading or reconciliation changed something, in input order.
class ChangeObserver {
 public:
  virtual ~ChangeObserver() = default;
  virtual void on_change(const RowChange& change) = 0;
  // Called before each walk of a stream with where the text walked starts in the input, so
  // that a change's bytes can be found there again.
  virtual void at_input_offset(std::uint64_t /*offset*/) {}
  // Called between windows of a stream and at its end: hands on what was gathered, and
  // reports the first failure to do so.
  [[nodiscard]] virtual std::optional<SalvageError> flush() { return std::nullopt; }
};

}  // namespace rowmender
