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
#include "salvage/piece_codec.h"
#include "salvage/piece_walk.h"
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

// A regular file from the offset its descriptor stood at.
class FileRange final : public RangeReader {
 public:
  FileRange(int fd, std::uint64_t base) noexcept : fd_(fd), base_(base) {}
  Expected<std::size_t, SalvageError> read_at(char* buffer, std::size_t size, std::uint64_t offset) override {
    std::size_t done = 0;
    while (done < size) {
      const ssize_t got = ::pread(fd_, buffer + done, size - done, static_cast<off_t>(base_ + offset + done));
      if (got < 0) {
        if (errno == EINTR) continue;
        return SalvageError::from_errno(errno);
      }
      if (got == 0) break;
      done += static_cast<std::size_t>(got);
    }
    return done;
  }

 private:
  int fd_;
  std::uint64_t base_;
};

// The input read from its start, as a stream, for the head.
class RangeSource final : public ByteSource {
 public:
  RangeSource(RangeReader& input, std::uint64_t size) noexcept : input_(input), size_(size) {}
  Expected<std::size_t, SalvageError> read(char* buffer, std::size_t capacity) override {
    auto got = input_.read_at(buffer, static_cast<std::size_t>(std::min<std::uint64_t>(capacity, size_ - at_)), at_);
    if (got) at_ += got.value();
    return got;
  }
  std::optional<std::uint64_t> size_hint() const override { return size_ - at_; }
  bool mark_start() override { return true; }
  std::optional<SalvageError> rewind() override {
    at_ = 0;
    return std::nullopt;
  }

 private:
  RangeReader& input_;
  std::uint64_t size_;
  std::uint64_t at_ = 0;
};

// Where the pieces of an input are cut.
struct PieceCuts {
  RangeReader& input;
  std::uint64_t size;         // the input's bytes
  std::uint64_t content_end;  // after the input's last byte other than a blank or a line break
  std::uint64_t piece;        // nominal bytes per piece
  std::uint64_t count;        // nominal pieces

  PieceCuts(RangeReader& reader, std::uint64_t bytes, std::uint64_t piece_bytes) noexcept
      : input(reader),
        size(bytes),
        content_end(0),
        piece(piece_bytes),
        count((bytes + piece_bytes - 1) / piece_bytes) {}

  // Finds the last byte with content, read from the end.
  [[nodiscard]] std::optional<SalvageError> find_content_end() {
    char block[4096];
    std::uint64_t at = size;
    while (at != 0 && content_end == 0) {
      const std::uint64_t from = at > sizeof block ? at - sizeof block : 0;
      auto got = input.read_at(block, static_cast<std::size_t>(at - from), from);
      if (!got) return std::move(got).error();
      const std::size_t last = std::string_view(block, got.value()).find_last_not_of(" \t\r\n");
      if (last != std::string_view::npos) content_end = from + last + 1;
      at = from;
    }
    return std::nullopt;
  }

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
      auto got = input.read_at(block, sizeof block, at);
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

// Pieces are cut after a line feed: where a line break may be a quote, a delimiter or an
// escape, that is no place a row may start, and one walk reads the input.
bool breaks_are_text(const SalvageOptions& options) noexcept {
  const auto line_break = [](std::uint8_t byte) { return byte == '\n' || byte == '\r'; };
  return line_break(options.quote_char) || (options.delimiter && line_break(*options.delimiter)) ||
         (options.dialect.escape && line_break(*options.dialect.escape));
}

// The shape and the cleanup profile from the head, read as repair_stream reads it; no shape
// for an empty input.
struct Head {
  std::optional<TableShape> shape;
  std::optional<RowScreen> screen;
};

Expected<Head, SalvageError> read_head(ByteSource& source, const SalvageOptions& options, StreamMonitor* monitor) {
  Head head;
  StreamWindow window;
  HeadReplay input(source);
  auto settled = settle_shape_from_stream(window, input, options, StreamSettings{}, monitor);
  if (!settled) return std::move(settled).error();
  if (settled.value()) {
    TableShape shape = *settled.value();
    if (screens_rows(options)) {
      if (auto error = window.fill(input, kProfileBytes)) return *std::move(error);
    }
    head.screen = screen_for(window.view(), window.at_end(), shape, options);
    head.shape = shape;
  }
  return head;
}

// Where the stitcher takes walked pieces from, in input order.
class PieceFeed {
 public:
  virtual ~PieceFeed() = default;
  // Piece `k`, walked.
  [[nodiscard]] virtual Expected<Piece*, SalvageError> take(std::uint64_t k) = 0;
  // The stitcher is done with piece `k`.
  virtual void done(std::uint64_t k) = 0;
};

// Pieces walked by threads of this process, a few ahead of the stitcher.
class ThreadFeed final : public PieceFeed {
 public:
  ThreadFeed(const PieceCuts& cuts, const PieceSetup& setup, unsigned threads, PieceCounts* counts)
      : cuts_(cuts), setup_(setup), slots_(2 * std::size_t{threads}), counts_(counts) {
    for (unsigned i = 0; i < threads; ++i) threads_.emplace_back([this] { work(); });
  }
  // The threads stop and are joined before the pieces they fill go.
  ~ThreadFeed() override {
    {
      const std::lock_guard lock(mutex_);
      stop_ = true;
    }
    moved_.notify_all();
    threads_.clear();
  }
  ThreadFeed(const ThreadFeed&) = delete;
  ThreadFeed& operator=(const ThreadFeed&) = delete;

  Expected<Piece*, SalvageError> take(std::uint64_t k) override {
    Piece& p = slots_[k % slots_.size()];
    {
      std::unique_lock lock(mutex_);
      moved_.wait(lock, [&] { return p.ready; });
    }
    if (p.error) return *std::move(p.error);
    return &p;
  }
  void done(std::uint64_t k) override {
    {
      const std::lock_guard lock(mutex_);
      slots_[k % slots_.size()].ready = false;
      taken_ = k + 1;
    }
    moved_.notify_all();
  }

 private:
  void work() {
    while (true) {
      std::uint64_t k = 0;
      {
        std::unique_lock lock(mutex_);
        moved_.wait(lock, [&] { return stop_ || next_ < taken_ + slots_.size(); });
        if (stop_ || next_ >= cuts_.count) return;
        k = next_++;
      }
      Piece& p = slots_[k % slots_.size()];
      walk(p, k);
      {
        const std::lock_guard lock(mutex_);
        p.ready = true;
      }
      moved_.notify_all();
    }
  }

  // Walks piece `k` into `p` as if a row began at its start.
  void walk(Piece& p, std::uint64_t k) {
    auto begin = cuts_.cut(k);
    auto end = begin ? cuts_.cut(k + 1) : begin;
    if (!begin || !end) {
      p.error = !begin ? begin.error() : end.error();
      return;
    }
    p.begin = begin.value();
    p.end = end.value();
    p.at_end = p.end == cuts_.size;
    p.changes.clear();
    p.stats = {};
    if (p.begin == p.end) return;
    const std::uint64_t start = thread_time();
    // A byte past the piece settles how its last row ends.
    const std::size_t length = static_cast<std::size_t>(p.end - p.begin) + (p.at_end ? 0 : 1);
    if (p.bytes.size() < length) p.bytes.resize(length);
    auto got = cuts_.input.read_at(p.bytes.data(), length, p.begin);
    if (!got) {
      p.error = std::move(got).error();
      return;
    }
    walk_piece(p, setup_, got.value(), got.value() < length);
    if (counts_ != nullptr) {
      const std::uint64_t spent = thread_time() - start;
      const std::lock_guard lock(mutex_);
      counts_->parse_ns += spent;
    }
  }

  const PieceCuts& cuts_;
  const PieceSetup& setup_;
  std::vector<Piece> slots_;
  PieceCounts* counts_;
  std::mutex mutex_;
  std::condition_variable moved_;
  std::uint64_t next_ = 0, taken_ = 0;
  bool stop_ = false;
  std::vector<std::jthread> threads_;  // last: stopped first
};

// Pieces walked elsewhere, taken one at a time as they come back.
class WalksFeed final : public PieceFeed {
 public:
  WalksFeed(PieceWalks& walks, std::vector<std::uint64_t> cuts, const std::optional<RowScreen>& first_screen)
      : walks_(walks), cuts_(std::move(cuts)), first_screen_(first_screen) {}

  [[nodiscard]] std::optional<SalvageError> start(std::string_view plan) {
    std::vector<PieceWalks::Range> ranges;
    for (std::size_t k = 0; k + 1 < cuts_.size(); ++k) {
      if (cuts_[k] != cuts_[k + 1]) ranges.push_back({cuts_[k], cuts_[k + 1], cuts_[k + 1] == cuts_.back()});
    }
    return walks_.start(plan, ranges);
  }

  Expected<Piece*, SalvageError> take(std::uint64_t k) override {
    piece_.begin = cuts_[k];
    piece_.end = cuts_[k + 1];
    if (piece_.begin == piece_.end) return &piece_;
    auto walked = walks_.next();
    if (!walked) return std::move(walked).error();
    if (auto error = decode_piece(walked.value(), piece_, first_screen_)) return *std::move(error);
    if (piece_.begin != cuts_[k] || piece_.end != cuts_[k + 1]) {
      return SalvageError::with_text("a piece walked elsewhere came back for another place in the input");
    }
    return &piece_;
  }
  void done(std::uint64_t) override {}

 private:
  PieceWalks& walks_;
  std::vector<std::uint64_t> cuts_;
  const std::optional<RowScreen>& first_screen_;
  Piece piece_;
};

// Takes the pieces of `feed` in order, keeping each whose walk read what one walk of the
// input would have and walking the others again, into the outputs. `result` holds the
// dialect; the counts, line ends and added columns are told to it.
[[nodiscard]] std::optional<SalvageError> stitch(PieceFeed& feed, const PieceCuts& cuts, const Head& head,
                                                 const SalvageOptions& options, bool cut_off,
                                                 BufferedWriter& output_writer,
                                                 std::optional<BufferedWriter>& quarantine_writer,
                                                 ChangeObserver* changes, StreamMonitor* monitor, PieceCounts* pieces,
                                                 StreamStats& result) {
  const TableShape shape = *head.shape;
  // The stitcher's own walk, for the pieces it walks again; its offsets count from
  // `origin`, the offset of its window's start.
  std::optional<RowScreen> screen = head.screen;
  std::optional<BlankRunJoiner> joined;
  if (changes != nullptr) joined.emplace(*changes);
  ByteArena arena;
  OutputPlan plan;
  QuarantineList quarantined;
  std::vector<char> window;
  PlanSink sink(arena, plan, quarantined, shape.delimiter, options.quote_char);
  SalvageWalk walk(options, shape, sink, result.salvage, joined ? &*joined : nullptr, screen ? &*screen : nullptr);
  std::uint64_t origin = 0;
  std::size_t held = 0;            // bytes of the input from `origin` on in `window`
  std::size_t walk_at = 0;         // bytes the window must hold before the next walk
  std::uint64_t at = 0;            // where the rows read so far end
  ResilientParser::Cursor cursor;  // there, lines counted from the input's start
  const std::uint64_t stitch_start = thread_time();

  // Done with piece `k`: it goes back to the feed.
  const auto release = [&](const Piece& p, std::uint64_t k) -> std::optional<SalvageError> {
    const std::uint64_t end = p.end;
    feed.done(k);
    if (monitor != nullptr) return monitor->on_progress(end);
    return std::nullopt;
  };

  for (std::uint64_t k = 0; k < cuts.count; ++k) {
    auto taken = feed.take(k);
    if (!taken) return std::move(taken).error();
    Piece& p = *taken.value();
    if (p.begin != p.end) {
      if (pieces != nullptr) ++pieces->pieces;
      const bool neutral = !(screen && screen->in_section()) && sink.line_planned();
      if (k == 0 || (at == p.begin && neutral)) {
        // The piece's walk read what this one would have: taken as it is.
        result.salvage.total_rows += p.stats.total_rows;
        result.salvage.repaired_rows += p.stats.repaired_rows;
        result.salvage.quarantined_rows += p.stats.quarantined_rows;
        if (auto error = p.plan.write_to(output_writer, p.arena)) return error;
        if (quarantine_writer) {
          if (auto error =
                  write_quarantine_lines(*quarantine_writer, p.quarantined, p.arena, shape.width, cursor.line - 1)) {
            return error;
          }
        }
        if (joined) {
          for (const RecordedChange& change : p.changes) {
            RowEvents events = change.events;
            if (events.unterminated_quote) events.unterminated_quote_line += cursor.line - 1;
            joined->on_change({change.first_line + cursor.line - 1, change.last_line + cursor.line - 1, change.decision,
                               events, change.width, change.begin, change.end, change.blank_run});
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
        // many pieces is read about once, as in one walk.
        if (pieces != nullptr) ++pieces->reparsed;
        const std::size_t dropped = static_cast<std::size_t>(at - origin);
        const std::size_t kept = held > dropped ? held - dropped : 0;
        if (kept != 0 && dropped != 0) std::memmove(window.data(), window.data() + dropped, kept);
        walk.drop_front(dropped);
        origin = at;
        const std::size_t length = static_cast<std::size_t>(p.end - at) + (p.at_end ? 0 : 1);
        if (window.size() < length) window.resize(std::max(length, 2 * window.size()));
        auto got = cuts.input.read_at(window.data() + kept, length - kept, at + kept);
        if (!got) return std::move(got).error();
        held = kept + got.value();
        // A row still open after the last walk here is walked again only once the window
        // has grown by half: a row of any length is read a few times, not once per piece.
        if (held < walk_at && !p.at_end && held == length) {
          if (auto error = release(p, k)) return error;
          continue;
        }
        const std::string_view text(window.data(), held);
        arena.restart(text);
        sink.use_plan(arena, plan);
        sink.use_input(text, window.data());
        if (screen && p.at_end) screen->input_cut_off(cut_off);
        const std::size_t walked = walk.walk(text, p.at_end || held < length);
        if (auto error = plan.write_to(output_writer, arena)) return error;
        if (quarantine_writer) {
          if (auto error = write_quarantine_lines(*quarantine_writer, quarantined, arena, shape.width)) return error;
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
        if (auto error = changes->flush()) return error;
      }
    }
    if (auto error = release(p, k)) return error;
  }
  if (pieces != nullptr) pieces->stitch_ns = thread_time() - stitch_start;
  finish_counts(result.salvage);
  result.line_ends = cursor.line_ends;
  result.dialect = walk.dialect();
  if (head.screen) result.added_columns = head.screen->added_columns();
  return std::nullopt;
}

// The part of a repair in pieces around the stitching: the quarantine's header first, the
// head read, the outputs flushed and the counts filled in. `feed_for` makes the feed once
// the head is known.
template <typename FeedFor>
Expected<StreamStats, SalvageError> repair_in_pieces(ByteSource& head_source, const PieceCuts& cuts, ByteSink& output,
                                                     ByteSink* quarantine, const SalvageOptions& options,
                                                     ChangeObserver* changes, StreamMonitor* monitor, bool cut_off,
                                                     PieceCounts* pieces, FeedFor&& feed_for) {
  StreamStats result;
  result.dialect = options.dialect;
  BufferedWriter output_writer(output);
  std::optional<BufferedWriter> quarantine_writer;
  if (quarantine != nullptr) {
    quarantine_writer.emplace(*quarantine);
    if (auto error = quarantine_writer->write(kQuarantineHeader)) return *std::move(error);
  }
  auto head = read_head(head_source, options, monitor);
  if (!head) return std::move(head).error();
  if (head.value().shape) {
    const PieceSetup setup{options, *head.value().shape, head.value().screen, cut_off, changes != nullptr};
    auto feed = feed_for(head.value(), setup);
    if (!feed) return std::move(feed).error();
    if (auto error = stitch(*feed.value(), cuts, head.value(), options, cut_off, output_writer, quarantine_writer,
                            changes, monitor, pieces, result)) {
      return *std::move(error);
    }
  }
  if (auto error = output_writer.flush()) return *std::move(error);
  if (quarantine_writer) {
    if (auto error = quarantine_writer->flush()) return *std::move(error);
  }
  if (monitor != nullptr) {
    if (auto error = monitor->on_progress(cuts.size)) return *std::move(error);
  }
  result.bytes_read = cuts.size;
  result.quote_char = options.quote_char;
  result.bytes_written = output_writer.bytes_written();
  return result;
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
  if (settings.threads < 2 || base < 0 || !size || *size < 2 * piece_bytes || breaks_are_text(options)) {
    return repair_stream(source, output, quarantine, options, changes, monitor);
  }
  FileRange file(fd, static_cast<std::uint64_t>(base));
  PieceCuts cuts(file, *size, piece_bytes);
  if (auto error = cuts.find_content_end()) return *std::move(error);
  const bool cut_off = source.cut_off();
  auto result = repair_in_pieces(
      source, cuts, output, quarantine, options, changes, monitor, cut_off, pieces,
      [&](const Head&, const PieceSetup& setup) -> Expected<std::unique_ptr<PieceFeed>, SalvageError> {
        return std::unique_ptr<PieceFeed>(std::make_unique<ThreadFeed>(cuts, setup, settings.threads, pieces));
      });
  // The descriptor is left where reading it to its end would leave it.
  ::lseek(fd, base + static_cast<off_t>(cuts.size), SEEK_SET);
  return result;
}

Expected<StreamStats, SalvageError> repair_elsewhere(RangeReader& input, std::uint64_t size, ByteSink& output,
                                                     ByteSink* quarantine, const SalvageOptions& options,
                                                     ChangeObserver* changes, StreamMonitor* monitor, PieceWalks& walks,
                                                     std::size_t piece, PieceCounts* pieces) {
  const std::uint64_t piece_bytes = std::max<std::size_t>(piece, 1);
  RangeSource source(input, size);
  if (size < 2 * piece_bytes || breaks_are_text(options)) {
    return repair_stream(source, output, quarantine, options, changes, monitor);
  }
  PieceCuts cuts(input, size, piece_bytes);
  if (auto error = cuts.find_content_end()) return *std::move(error);
  return repair_in_pieces(
      source, cuts, output, quarantine, options, changes, monitor, false, pieces,
      [&](const Head& head, const PieceSetup& setup) -> Expected<std::unique_ptr<PieceFeed>, SalvageError> {
        std::vector<std::uint64_t> offsets;
        for (std::uint64_t k = 0; k <= cuts.count; ++k) {
          auto at = cuts.cut(k);
          if (!at) return std::move(at).error();
          offsets.push_back(at.value());
        }
        WalkPlan plan{setup.shape, std::nullopt, setup.cut_off, setup.record_changes, std::nullopt};
        if (head.screen) plan.profile = head.screen->profile();
        if (options.added_columns != nullptr) plan.added_columns = *options.added_columns;
        auto feed = std::make_unique<WalksFeed>(walks, std::move(offsets), head.screen);
        if (auto error = feed->start(encode_walk_plan(plan))) return *std::move(error);
        return std::unique_ptr<PieceFeed>(std::move(feed));
      });
}

Expected<PieceMessage, SalvageError> walk_piece_by_plan(std::string_view plan_bytes, Piece& piece, std::size_t length,
                                                        SalvageOptions options) {
  auto plan = decode_walk_plan(plan_bytes);
  if (!plan) return std::move(plan).error();
  const std::uint64_t full = piece.end - piece.begin + (piece.at_end ? 0 : 1);
  if (piece.end <= piece.begin || length > full || length > piece.bytes.size()) {
    return SalvageError::with_text("a piece's bytes do not fit its place");
  }
  if (plan.value().added_columns) options.added_columns = &*plan.value().added_columns;
  std::optional<RowScreen> first_screen;
  if (plan.value().profile) first_screen.emplace(options, *plan.value().profile, plan.value().shape.width);
  const PieceSetup setup{options, plan.value().shape, first_screen, plan.value().cut_off, plan.value().record_changes};
  walk_piece(piece, setup, length, length < full);
  // Made while the screen the piece's own copies from is still there.
  return PieceMessage(piece);
}

}  // namespace rowmender
