#include "salvage/parallel_repair.h"

#include <errno.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include "io/buffered_writer.h"
#include "io/head_replay.h"
#include "io/stream_window.h"
#include "salvage/byte_arena.h"
#include "salvage/output_format.h"
#include "salvage/output_plan.h"
#include "salvage/plan_sink.h"
#include "salvage/quarantine_list.h"
#include "salvage/row_screen.h"
#include "salvage/salvage_walk.h"

namespace rowmender {
namespace {

// The CPU time of the calling thread, in nanoseconds: what a thread spent, however busy the
// machine's other threads kept its core.
std::uint64_t thread_time() noexcept {
  timespec now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u + static_cast<std::uint64_t>(now.tv_nsec);
}

// Reads `size` bytes at `offset` of the file, all of them unless the file ends first: the count.
Expected<std::size_t, SalvageError> read_at(int fd, char* buffer, std::size_t size, std::uint64_t offset) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = ::pread(fd, buffer + done, size - done, static_cast<off_t>(offset + done));
    if (got < 0) {
      if (errno == EINTR) continue;
      return SalvageError::from_errno(errno);
    }
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return done;
}

// What the walk of a piece told the change log, kept until the piece's place in the log is
// known.
struct RecordedChange {
  std::uint64_t first_line;
  std::uint64_t last_line;
  RowDecision decision;
  RowEvents events;
  std::uint64_t width;
  std::uint64_t begin;
  std::uint64_t end;
  bool blank_run;
};

class PieceChanges final : public ChangeObserver {
 public:
  explicit PieceChanges(std::vector<RecordedChange>& out) noexcept : out_(out) {}
  void on_change(const RowChange& change) override {
    out_.push_back({change.first_line, change.last_line, change.decision, change.events, change.width, change.begin,
                    change.end, change.blank_run});
  }

 private:
  std::vector<RecordedChange>& out_;
};

// The file, from the offset its descriptor stood at: where the pieces are cut.
struct PieceCuts {
  int fd;
  std::uint64_t base;         // the file offset of the input's first byte
  std::uint64_t size;         // the input's bytes
  std::uint64_t content_end;  // after the input's last byte other than a blank or a line break
  std::uint64_t piece;        // nominal bytes per piece
  std::uint64_t count;        // nominal pieces

  // Where piece `j` starts: after the first LF at or after its nominal start. A piece that
  // would start past the last byte with content is empty (the one before runs to the end),
  // so that the piece that ends the input holds that byte: the last row is known the same
  // way as when the input is read in one go.
  Expected<std::uint64_t, SalvageError> cut(std::uint64_t j) const {
    if (j == 0) return std::uint64_t{0};
    if (j >= count) return size;
    std::uint64_t at = j * piece - 1;
    char block[4096];
    while (at < content_end) {
      auto got = read_at(fd, block, sizeof block, base + at);
      if (!got) return std::move(got).error();
      if (got.value() == 0) break;
      const std::string_view bytes(block, got.value());
      const std::size_t lf = bytes.find('\n');
      if (lf != std::string_view::npos) {
        const std::uint64_t start = at + lf + 1;
        return start < content_end ? start : size;
      }
      at += got.value();
    }
    return size;
  }
};

// One piece as a thread walked it, until the calling thread has taken it.
struct Piece {
  std::uint64_t begin = 0;
  std::uint64_t end = 0;
  bool at_end = false;
  std::vector<char> bytes;
  ByteArena arena;
  OutputPlan plan;
  QuarantineList quarantined;
  std::vector<RecordedChange> changes;
  std::optional<RowScreen> screen;
  SalvageStats stats;
  ResilientParser::Cursor cursor;  // where the walk stopped, lines counted from the piece's start
  bool line_planned = false;
  bool skipped_bom = false;
  std::optional<SalvageError> error;
  bool ready = false;
};

// Raises the lines of a piece's cursor by those before the piece.
ResilientParser::Cursor shifted(const ResilientParser::Cursor& piece, const ResilientParser::Cursor& before) {
  ResilientParser::Cursor cursor = piece;
  cursor.line = before.line + piece.line - 1;
  cursor.line_ends.lf += before.line_ends.lf;
  cursor.line_ends.crlf += before.line_ends.crlf;
  cursor.line_ends.cr += before.line_ends.cr;
  return cursor;
}

}  // namespace

Expected<StreamStats, SalvageError> repair_parallel(ByteSource& source, ByteSink& output, ByteSink* quarantine,
                                                    const SalvageOptions& options, ChangeObserver* changes,
                                                    StreamMonitor* monitor, const ParallelSettings& settings,
                                                    PieceCounts* pieces) {
  const int fd = source.regular_file_descriptor();
  const std::optional<std::uint64_t> size = source.size_hint();
  const std::uint64_t piece_bytes = std::max<std::size_t>(settings.piece, 1);
  const off_t base = fd >= 0 ? ::lseek(fd, 0, SEEK_CUR) : -1;
  // Pieces start after a line feed: where a line feed is a quote, a delimiter or an escape,
  // that is no place a row may start, and one thread reads the input.
  const auto line_break = [](std::uint8_t byte) { return byte == '\n' || byte == '\r'; };
  const bool breaks_are_text = line_break(options.quote_char) ||
                               (options.delimiter && line_break(*options.delimiter)) ||
                               (options.dialect.escape && line_break(*options.dialect.escape));
  if (settings.threads < 2 || base < 0 || !size || *size < 2 * piece_bytes || breaks_are_text) {
    return repair_stream(source, output, quarantine, options, changes, monitor);
  }
  PieceCuts cuts{fd, static_cast<std::uint64_t>(base), *size, 0, piece_bytes, (*size + piece_bytes - 1) / piece_bytes};
  {
    // The last byte with content, read from the end.
    char block[4096];
    std::uint64_t at = cuts.size;
    while (at != 0 && cuts.content_end == 0) {
      const std::uint64_t from = at > sizeof block ? at - sizeof block : 0;
      auto got = read_at(fd, block, static_cast<std::size_t>(at - from), cuts.base + from);
      if (!got) return std::move(got).error();
      const std::size_t last = std::string_view(block, got.value()).find_last_not_of(" \t\r\n");
      if (last != std::string_view::npos) cuts.content_end = from + last + 1;
      at = from;
    }
  }

  StreamStats result;
  result.dialect = options.dialect;
  BufferedWriter output_writer(output);
  std::optional<BufferedWriter> quarantine_writer;
  if (quarantine != nullptr) {
    quarantine_writer.emplace(*quarantine);
    if (auto error = quarantine_writer->write(kQuarantineHeader)) return *std::move(error);
  }
  // The shape and the cleanup profile from the head, read as repair_stream reads it.
  std::optional<TableShape> settled_shape;
  std::optional<RowScreen> first_screen;
  {
    StreamWindow window;
    HeadReplay input(source);
    auto settled = settle_shape_from_stream(window, input, options, StreamSettings{}, monitor);
    if (!settled) return std::move(settled).error();
    if (settled.value()) {
      TableShape shape = *settled.value();
      if (screens_rows(options)) {
        if (auto error = window.fill(input, kProfileBytes)) return *std::move(error);
      }
      first_screen = screen_for(window.view(), window.at_end(), shape, options);
      settled_shape = shape;
    }
  }
  if (settled_shape) {
    const TableShape shape = *settled_shape;
    const bool cut_off = source.cut_off();
    const std::size_t slots_count = 2 * std::size_t{settings.threads};
    std::vector<Piece> slots(slots_count);
    std::mutex mutex;
    std::condition_variable moved;
    std::uint64_t next = 0, taken = 0;
    bool stop = false;

    // Walks piece `k` into `p` as if a row began at its start.
    const auto walk_piece = [&](Piece& p, std::uint64_t k) {
      auto begin = cuts.cut(k);
      auto end = begin ? cuts.cut(k + 1) : begin;
      if (!begin || !end) {
        p.error = !begin ? begin.error() : end.error();
        return;
      }
      p.begin = begin.value();
      p.end = end.value();
      p.at_end = p.end == cuts.size;
      p.changes.clear();
      p.stats = {};
      if (p.begin == p.end) return;
      const std::uint64_t start = thread_time();
      // A byte past the piece settles how its last row ends.
      const std::size_t length = static_cast<std::size_t>(p.end - p.begin) + (p.at_end ? 0 : 1);
      if (p.bytes.size() < length) p.bytes.resize(length);
      auto got = read_at(cuts.fd, p.bytes.data(), length, cuts.base + p.begin);
      if (!got) {
        p.error = std::move(got).error();
        return;
      }
      const std::string_view text(p.bytes.data(), got.value());
      // Over its own copy of the piece, the arena keeps the rows that stay as they are in
      // one stretch however many CRs it drops: the calling thread writes a few long pieces.
      p.arena.restart_over(p.bytes.data(), text.size());
      p.plan.clear();
      p.quarantined.clear();
      PlanSink sink(p.arena, p.plan, p.quarantined, shape.delimiter, options.quote_char);
      sink.use_input(text);
      if (k != 0) sink.set_line_planned(true);
      p.screen.reset();
      if (first_screen) {
        p.screen.emplace(*first_screen);
        p.screen->drop_front(static_cast<std::size_t>(p.begin));
        if (p.at_end) p.screen->input_cut_off(cut_off);
      }
      PieceChanges recorder(p.changes);
      SalvageWalk walk(options, shape, sink, p.stats, changes != nullptr ? &recorder : nullptr,
                       p.screen ? &*p.screen : nullptr);
      walk.set_input_offset(p.begin);
      if (k != 0) walk.resume_at({});
      walk.walk(text, p.at_end || got.value() < length);
      p.cursor = walk.cursor();
      p.line_planned = sink.line_planned();
      p.skipped_bom = walk.skipped_byte_order_mark();
      if (pieces != nullptr) {
        const std::uint64_t spent = thread_time() - start;
        const std::lock_guard lock(mutex);
        pieces->parse_ns += spent;
      }
    };

    const auto work = [&]() {
      while (true) {
        std::uint64_t k = 0;
        {
          std::unique_lock lock(mutex);
          moved.wait(lock, [&] { return stop || next < taken + slots_count; });
          if (stop || next >= cuts.count) return;
          k = next++;
        }
        Piece& p = slots[k % slots_count];
        walk_piece(p, k);
        {
          const std::lock_guard lock(mutex);
          p.ready = true;
        }
        moved.notify_all();
      }
    };

    // Stopped and joined before the pieces they fill go, however this returns.
    struct Workers {
      std::mutex& mutex;
      std::condition_variable& moved;
      bool& stop;
      std::vector<std::jthread> threads;
      ~Workers() {
        {
          const std::lock_guard lock(mutex);
          stop = true;
        }
        moved.notify_all();
        threads.clear();
      }
    } workers{mutex, moved, stop, {}};
    for (unsigned i = 0; i < settings.threads; ++i) workers.threads.emplace_back(work);

    // The calling thread's own walk, for the pieces it walks again; its offsets count from
    // `origin`, the file offset of its window's start.
    std::optional<RowScreen> screen = first_screen;
    std::optional<BlankRunJoiner> joined;
    if (changes != nullptr) joined.emplace(*changes);
    ByteArena arena;
    OutputPlan plan;
    QuarantineList quarantined;
    std::vector<char> window;
    PlanSink sink(arena, plan, quarantined, shape.delimiter, options.quote_char);
    SalvageWalk walk(options, shape, sink, result.salvage, joined ? &*joined : nullptr, screen ? &*screen : nullptr);
    std::uint64_t origin = 0;
    std::size_t held = 0;            // bytes of the file from `origin` on in `window`
    std::size_t walk_at = 0;         // bytes the window must hold before the next walk
    std::uint64_t at = 0;            // where the rows read so far end
    ResilientParser::Cursor cursor;  // there, lines counted from the input's start
    const std::uint64_t stitch_start = thread_time();

    // Done with piece `k`: its slot goes back to the threads.
    const auto release = [&](Piece& p, std::uint64_t k) -> std::optional<SalvageError> {
      {
        const std::lock_guard lock(mutex);
        p.ready = false;
        taken = k + 1;
      }
      moved.notify_all();
      if (monitor != nullptr) return monitor->on_progress(p.end);
      return std::nullopt;
    };

    for (std::uint64_t k = 0; k < cuts.count; ++k) {
      Piece& p = slots[k % slots_count];
      {
        std::unique_lock lock(mutex);
        moved.wait(lock, [&] { return p.ready; });
      }
      if (p.error) return *std::move(p.error);
      if (p.begin != p.end) {
        if (pieces != nullptr) ++pieces->pieces;
        const bool neutral = !(screen && screen->in_section()) && sink.line_planned();
        if (k == 0 || (at == p.begin && neutral)) {
          // The piece's walk read what this one would have: taken as it is.
          result.salvage.total_rows += p.stats.total_rows;
          result.salvage.repaired_rows += p.stats.repaired_rows;
          result.salvage.quarantined_rows += p.stats.quarantined_rows;
          if (auto error = p.plan.write_to(output_writer, p.arena)) return *std::move(error);
          if (quarantine_writer) {
            if (auto error =
                    write_quarantine_lines(*quarantine_writer, p.quarantined, p.arena, shape.width, cursor.line - 1)) {
              return *std::move(error);
            }
          }
          if (joined) {
            for (const RecordedChange& change : p.changes) {
              RowEvents events = change.events;
              if (events.unterminated_quote) events.unterminated_quote_line += cursor.line - 1;
              joined->on_change({change.first_line + cursor.line - 1, change.last_line + cursor.line - 1,
                                 change.decision, events, change.width, change.begin, change.end, change.blank_run});
            }
          }
          if (k == 0) result.skipped_byte_order_mark = p.skipped_bom;
          cursor = shifted(p.cursor, cursor);
          at = p.begin + p.cursor.position;
          cursor.position = static_cast<std::size_t>(at - origin);
          walk.resume_at(cursor);
          sink.set_line_planned(p.line_planned);
          if (screen && p.screen) screen->carry_section_from(*p.screen);
          // The first later table to lack columns, as one walk over the pieces in order finds it.
          if (result.lacking_columns.empty() && p.screen) result.lacking_columns = p.screen->lacking_columns();
        } else {
          // Read again from where the rows before it end, through to the byte after it. The
          // bytes the last walk here left unread are kept, not read again: a row that spans
          // many pieces is read about once, as on one thread.
          if (pieces != nullptr) ++pieces->reparsed;
          const std::size_t dropped = static_cast<std::size_t>(at - origin);
          const std::size_t kept = held > dropped ? held - dropped : 0;
          if (kept != 0 && dropped != 0) std::memmove(window.data(), window.data() + dropped, kept);
          walk.drop_front(dropped);
          origin = at;
          const std::size_t length = static_cast<std::size_t>(p.end - at) + (p.at_end ? 0 : 1);
          if (window.size() < length) window.resize(std::max(length, 2 * window.size()));
          auto got = read_at(cuts.fd, window.data() + kept, length - kept, cuts.base + at + kept);
          if (!got) return std::move(got).error();
          held = kept + got.value();
          // A row still open after the last walk here is walked again only once the window
          // has grown by half: a row of any length is read a few times, not once per piece.
          if (held < walk_at && !p.at_end && held == length) {
            if (auto error = release(p, k)) return *std::move(error);
            continue;
          }
          const std::string_view text(window.data(), held);
          arena.restart(text);
          sink.use_plan(arena, plan);
          sink.use_input(text, window.data());
          if (screen && p.at_end) screen->input_cut_off(cut_off);
          const std::size_t walked = walk.walk(text, p.at_end || held < length);
          if (auto error = plan.write_to(output_writer, arena)) return *std::move(error);
          if (quarantine_writer) {
            if (auto error = write_quarantine_lines(*quarantine_writer, quarantined, arena, shape.width)) {
              return *std::move(error);
            }
          }
          plan.clear();
          quarantined.clear();
          at = origin + walked;
          cursor = walk.cursor();
          walk_at = (held - walked) + (held - walked) / 2;
          if (result.lacking_columns.empty() && screen) result.lacking_columns = screen->lacking_columns();
        }
        if (p.at_end && joined) joined->finish();
        if (changes != nullptr) {
          if (auto error = changes->flush()) return *std::move(error);
        }
      }
      if (auto error = release(p, k)) return *std::move(error);
    }
    if (pieces != nullptr) pieces->stitch_ns = thread_time() - stitch_start;
    finish_counts(result.salvage);
    result.line_ends = cursor.line_ends;
    result.dialect = walk.dialect();
    if (first_screen) result.added_columns = first_screen->added_columns();
  }
  if (auto error = output_writer.flush()) return *std::move(error);
  if (quarantine_writer) {
    if (auto error = quarantine_writer->flush()) return *std::move(error);
  }
  if (monitor != nullptr) {
    if (auto error = monitor->on_progress(cuts.size)) return *std::move(error);
  }
  // The descriptor is left where reading it to its end would leave it.
  ::lseek(fd, base + static_cast<off_t>(cuts.size), SEEK_SET);
  result.bytes_read = cuts.size;
  result.quote_char = options.quote_char;
  result.bytes_written = output_writer.bytes_written();
  return result;
}

}  // namespace rowmender
