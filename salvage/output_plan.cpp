#include "salvage/output_plan.h"

namespace rowmender {

void OutputPlan::copy_input(std::size_t begin, std::size_t end) {
  if (!pieces_.empty() && pieces_.back().from_input && pieces_.back().end == begin) {
    pieces_.back().end = end;
  } else {
    pieces_.push_back({true, begin, end});
  }
}

void OutputPlan::append_text(std::string_view text) {
  const std::size_t begin = made_.size();
  made_.append(text);
  if (!pieces_.empty() && !pieces_.back().from_input) {
    pieces_.back().end = made_.size();
  } else {
    pieces_.push_back({false, begin, made_.size()});
  }
}

std::optional<SalvageError> OutputPlan::write_to(BufferedWriter& output) const {
  for (const Piece& piece : pieces_) {
    const std::string_view source = piece.from_input ? input_ : std::string_view(made_);
    if (auto error = output.write(source.substr(piece.begin, piece.end - piece.begin))) return error;
  }
  return std::nullopt;
}

}  // namespace rowmender
