#include "salvage/stream_repair.h"

#include <algorithm>
#include <array>
#include <vector>

#include "io/buffered_writer.h"
#include "io/stream_window.h"
#include "salvage/byte_arena.h"
#include "salvage/output_format.h"
#include "salvage/output_plan.h"
#include "salvage/plan_sink.h"
#include "salvage/quarantine_list.h"
#include "salvage/row_screen.h"
#include "salvage/salvage_walk.h"
#include "salvage/table_shape.h"

namespace rowmender {

Expected<std::optional<TableShape>, SalvageError> settle_shape_from_stream(StreamWindow& window, HeadReplay& input,
                                                                           const SalvageOptions& options,
                                                                           const StreamSettings& settings,
                                                                           StreamMonitor* monitor) {
  const std::size_t chunk = std::max<std::size_t>(settings.chunk, 1);
  const std::size_t kept_whole = settings.head_kept_whole;
  ShapeSettler settler(options);
  bool let_go = false;  // of the head's first bytes: the rows are then walked from a second reading
  if (auto error = window.fill(input, chunk)) return *std::move(error);
  while (true) {
    if (!let_go && window.size() == 0 && window.at_end()) return std::optional<TableShape>();
    if (auto shape = settler.read(window.view(), window.at_end())) {
      if (let_go) {
        if (auto error = input.start_over(window.view())) return *std::move(error);
        window.restart();
        // The walk skips a byte-order mark only when its first window holds all of it.
        if (auto error = window.fill(input, std::max<std::size_t>(chunk, 3))) return *std::move(error);
      }
      return std::optional<TableShape>(*shape);
    }
    if (window.size() < kept_whole) {
      // Doubling the head each time keeps the rereading of a row cut off at its end linear
      // in all.
      if (auto error = window.fill(input, std::min(std::max(2 * window.size(), chunk), kept_whole))) {
        return *std::move(error);
      }
      continue;
    }
    // A long head: inference reads on, the window holding only the rows it has yet to read.
    const std::size_t done = settler.done_with();
    if (done != 0) {
      if (auto error = input.let_go(window.view().substr(0, done))) return *std::move(error);
      let_go = true;
      settler.drop_front(done);
    }
    if (monitor != nullptr) {
      // The rows are walked from the start once the shape is settled: nothing counts as
      // read yet, but an interrupt is heard.
      if (auto error = monitor->on_progress(0)) return *std::move(error);
    }
    if (auto error = window.advance(input, done, chunk)) return *std::move(error);
  }
}

Expected<StreamStats, SalvageError> repair_stream(ByteSource& source, ByteSink& output, ByteSink* quarantine,
                                                  const SalvageOptions& options, ChangeObserver* changes,
                                                  StreamMonitor* monitor, const StreamSettings& settings) {
  StreamStats result;
  result.dialect = options.dialect;  // what an empty input is read with
  BufferedWriter output_writer(output);
  std::optional<BufferedWriter> quarantine_writer;
  if (quarantine != nullptr) {
    quarantine_writer.emplace(*quarantine);
    if (auto error = quarantine_writer->write(kQuarantineHeader)) return *std::move(error);
  }
  const std::size_t chunk = std::max<std::size_t>(settings.chunk, 1);
  // Two of each: while the window's thread writes one window's plan, the next window is
  // planned into the other. Made before the window, they outlive its thread.
  std::array<ByteArena, 2> arenas;
  std::array<OutputPlan, 2> plans;
  std::array<std::vector<iovec>, 2> gathered;
  StreamWindow window;
  HeadReplay input(source);
  auto settled = settle_shape_from_stream(window, input, options, settings, monitor);
  if (!settled) return std::move(settled).error();

  std::uint64_t written_behind = 0;
  if (settled.value()) {
    TableShape shape = *settled.value();
    const std::size_t head = window.size();
    if (screens_rows(options)) {
      // The cleanup rules read the same start of the input however it is read.
      if (auto error = window.fill(input, kProfileBytes)) return *std::move(error);
    }
    std::optional<RowScreen> screen = screen_for(window.view(), window.at_end(), shape, options);
    std::size_t turn = 0;
    std::uint64_t walked_before = 0;  // the input's bytes before the window
    QuarantineList quarantined;
    PlanSink sink(arenas[0], plans[0], quarantined, shape.delimiter, options.quote_char);
    SalvageWalk walk(options, shape, sink, result.salvage, changes, screen ? &*screen : nullptr);
    // A head read on past its first chunk holds long rows.
    if (head > chunk) walk.expect_long_rows_in(window.size());
    window.read_ahead(input, chunk);
    const int output_fd = window.has_thread() ? output.regular_file_descriptor() : -1;
    // Counts what the thread wrote; an error it met is the output's.
    auto settle = [&](StreamWindow::WriteOutcome outcome) -> std::optional<SalvageError> {
      written_behind += outcome.written;
      if (outcome.error != 0) return output.failed_elsewhere(outcome.error);
      return std::nullopt;
    };
    while (true) {
      ByteArena& arena = arenas[turn];
      OutputPlan& plan = plans[turn];
      const std::string_view text = window.view();
      arena.restart(text);
      sink.use_plan(arena, plan);
      sink.use_input(text, window.data());
      if (screen && window.at_end()) screen->input_cut_off(source.cut_off());
      if (changes != nullptr) changes->at_input_offset(walked_before);
      const std::size_t walked = walk.walk(text, window.at_end());
      // The plan refers to the window: it goes out before the window's buffer is used
      // again, by the thread as the window moves on, or here.
      if (output_fd >= 0 && window.can_write_behind(walked)) {
        if (auto error = output_writer.flush()) return *std::move(error);
        plan.gather(arena, gathered[turn]);
        window.write_behind({output_fd, gathered[turn]});
      } else {
        window.settle_writes();
        if (auto error = settle(window.take_write_outcome())) return *std::move(error);
        if (auto error = plan.write_to(output_writer, arena)) return *std::move(error);
      }
      if (quarantine_writer) {
        if (auto error = write_quarantine_lines(*quarantine_writer, quarantined, arena, shape.width)) {
          return *std::move(error);
        }
      }
      plan.clear();
      quarantined.clear();
      if (changes != nullptr) {
        if (auto error = changes->flush()) return *std::move(error);
      }
      if (window.at_end()) break;
      walk.drop_front(walked);
      walked_before += walked;
      if (monitor != nullptr) {
        if (auto error = monitor->on_progress(window.bytes_read())) return *std::move(error);
      }
      if (auto error = window.advance(input, walked, chunk)) return *std::move(error);
      if (auto error = settle(window.take_write_outcome())) return *std::move(error);
      turn ^= 1;
    }
    finish_counts(result.salvage);
    result.skipped_byte_order_mark = walk.skipped_byte_order_mark();
    result.line_ends = walk.cursor().line_ends;
    result.dialect = walk.dialect();
  }
  if (auto error = output_writer.flush()) return *std::move(error);
  if (quarantine_writer) {
    if (auto error = quarantine_writer->flush()) return *std::move(error);
  }
  if (monitor != nullptr) {
    if (auto error = monitor->on_progress(window.bytes_read())) return *std::move(error);
  }
  result.bytes_read = window.bytes_read();
  result.quote_char = options.quote_char;
  result.bytes_written = output_writer.bytes_written() + written_behind;
  return result;
}

}  // namespace rowmender
