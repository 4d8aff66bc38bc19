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
  // Where the row's bytes lie in the input, its line break included.
  std::uint64_t begin = 0;
  std::uint64_t end = 0;
  // A run of blank lines dropped at once: a run that goes on past the end of a window (or of
  // a piece read on another thread) comes in parts, which are one change.
  bool blank_run = false;
};

// Told of every row whose reading or reconciliation changed something, in input order.
class ChangeObserver {
 public:
  virtual ~ChangeObserver() = default;
  virtual void on_change(const RowChange& change) = 0;
  // Called between windows of a stream and at its end: hands on what was gathered, and
  // reports the first failure to do so.
  [[nodiscard]] virtual std::optional<SalvageError> flush() { return std::nullopt; }
};

// Passes every change on to `next`, the parts of a run of blank lines joined into one, so
// that what is told does not depend on where the input was cut into windows. A run is held
// until what follows it is known: finish() tells the last one.
class BlankRunJoiner final : public ChangeObserver {
 public:
  explicit BlankRunJoiner(ChangeObserver& next) noexcept : next_(next) {}

  void on_change(const RowChange& change) override {
    if (change.blank_run && run_ && run_->last_line + 1 == change.first_line) {
      run_->last_line = change.last_line;
      run_->end = change.end;
      run_->decision.fields += change.decision.fields;
      return;
    }
    finish();
    if (change.blank_run) {
      run_.emplace(Run{change.first_line, change.last_line, change.decision, change.width, change.begin, change.end});
    } else {
      next_.on_change(change);
    }
  }
  [[nodiscard]] std::optional<SalvageError> flush() override { return next_.flush(); }

  void finish() {
    if (!run_) return;
    static const RowEvents kNoEvents{};
    next_.on_change(
        {run_->first_line, run_->last_line, run_->decision, kNoEvents, run_->width, run_->begin, run_->end, true});
    run_.reset();
  }

 private:
  struct Run {
    std::uint64_t first_line;
    std::uint64_t last_line;
    RowDecision decision;
    std::uint64_t width;
    std::uint64_t begin;
    std::uint64_t end;
  };
  ChangeObserver& next_;
  std::optional<Run> run_;
};

}  // namespace rowmender
