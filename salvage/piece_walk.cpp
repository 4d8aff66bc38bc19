#include "salvage/piece_walk.h"

#include "salvage/plan_sink.h"
#include "salvage/salvage_walk.h"

namespace rowmender {
namespace {

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

}  // namespace

void walk_piece(Piece& p, const PieceSetup& setup, std::size_t length, bool short_read) {
  const std::string_view text(p.bytes.data(), length);
  const bool first = p.begin == 0;
  // Over its own copy of the piece, the arena keeps the rows that stay as they are in one
  // stretch however many CRs it drops: the stitcher writes a few long pieces.
  p.arena.restart_over(p.bytes.data(), text.size());
  p.plan.clear();
  p.quarantined.clear();
  p.changes.clear();
  p.stats = {};
  PlanSink sink(p.arena, p.plan, p.quarantined, setup.shape.delimiter, setup.options.quote_char);
  sink.use_input(text);
  if (!first) sink.set_line_planned(true);
  p.screen.reset();
  if (setup.first_screen) {
    p.screen.emplace(*setup.first_screen);
    p.screen->drop_front(static_cast<std::size_t>(p.begin));
    if (p.at_end) p.screen->input_cut_off(setup.cut_off);
  }
  PieceChanges recorder(p.changes);
  SalvageWalk walk(setup.options, setup.shape, sink, p.stats, setup.record_changes ? &recorder : nullptr,
                   p.screen ? &*p.screen : nullptr);
  walk.set_input_offset(p.begin);
  if (!first) walk.resume_at({});
  walk.walk(text, p.at_end || short_read);
  p.cursor = walk.cursor();
  p.line_planned = sink.line_planned();
  p.skipped_bom = walk.skipped_byte_order_mark();
}

ResilientParser::Cursor shifted(const ResilientParser::Cursor& piece, const ResilientParser::Cursor& before) {
  ResilientParser::Cursor cursor = piece;
  cursor.line = before.line + piece.line - 1;
  cursor.line_ends.lf += before.line_ends.lf;
  cursor.line_ends.crlf += before.line_ends.crlf;
  cursor.line_ends.cr += before.line_ends.cr;
  return cursor;
}

}  // namespace rowmender
