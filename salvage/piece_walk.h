#pragma once
// One piece of an input walked as if a row began at its start, with the state a walk has
// between rows of a plain table (no second table open, a line already written): what the
// threads of one process and the workers of a cluster do alike. Whoever stitches the pieces
// keeps a piece only where the rows before it really end at its start, in that state.

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "error/salvage_error.h"
#include "parser/resilient_parser.h"
#include "salvage/byte_arena.h"
#include "salvage/output_plan.h"
#include "salvage/quarantine_list.h"
#include "salvage/records.h"
#include "salvage/row_change.h"
#include "salvage/row_screen.h"
#include "salvage/table_shape.h"

namespace rowmender {

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

// One piece as it was walked, until the stitcher has taken it.
struct Piece {
  std::uint64_t begin = 0;
  std::uint64_t end = 0;
  bool at_end = false;
  std::vector<char> bytes;  // the piece and the byte after it; the arena writes over them
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

// What every piece of one input is walked with.
struct PieceSetup {
  const SalvageOptions& options;
  TableShape shape;
  const std::optional<RowScreen>& first_screen;  // the screen the head made, if any rule screens rows
  bool cut_off = false;                          // the input's data ended before it should have
  bool record_changes = false;
};

// Walks the first `length` bytes of `piece.bytes` (the piece [begin, end) and, unless it
// ends the input, the byte after it, which settles how its last row ends); `short_read`: the
// input ended before the piece did.
void walk_piece(Piece& piece, const PieceSetup& setup, std::size_t length, bool short_read);

// Raises the lines of a piece's cursor by those before the piece.
ResilientParser::Cursor shifted(const ResilientParser::Cursor& piece, const ResilientParser::Cursor& before);

}  // namespace rowmender
