#pragma once
// Pieces walked in another process (a worker of a cluster): what the walk needs, and what
// it found, as bytes. Both ends run the same engine; a message from another version or
// byte order is refused, never misread.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/uio.h>

#include "error/expected.h"
#include "error/salvage_error.h"
#include "salvage/piece_walk.h"
#include "salvage/row_screen.h"
#include "salvage/table_shape.h"

namespace rowmender {

// What every piece of one input is walked with, beyond the caller's settings.
struct WalkPlan {
  TableShape shape;
  std::optional<HeadProfile> profile;  // when a cleanup rule screens rows
  bool cut_off = false;
  bool record_changes = false;
  std::optional<std::vector<std::string>> added_columns;
};

std::string encode_walk_plan(const WalkPlan& plan);
[[nodiscard]] Expected<WalkPlan, SalvageError> decode_walk_plan(std::string_view bytes);

// A walked piece as a message: its place, counts, cursor and screen, its output and
// quarantined rows as bytes, its changes. The output is copied once, where the caller wants
// the message (a piece's output is most of it): the piece must outlive this.
class PieceMessage {
 public:
  explicit PieceMessage(const Piece& piece);
  std::size_t size() const noexcept { return size_; }
  void copy_to(char* out) const noexcept;

 private:
  std::string head_;
  std::vector<iovec> output_;
  std::string tail_;
  std::size_t size_ = 0;
};

// Into `piece`, as if walked here: its screen is `first_screen` carrying what the piece's
// walk carried. The piece's output and quarantined rows are read from `bytes`, which must
// outlive the piece's use.
[[nodiscard]] std::optional<SalvageError> decode_piece(std::string_view bytes, Piece& piece,
                                                       const std::optional<RowScreen>& first_screen);

}  // namespace rowmender
