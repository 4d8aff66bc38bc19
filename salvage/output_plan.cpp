#include "salvage/output_plan.h"

#include <sys/uio.h>

#include <array>

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
  // Pieces go out gathered, a batch per system call, once a batch is large enough to be
  // worth it; a short plan goes through the buffer like any line.
  constexpr std::size_t kBatchPieces = 1024;
  constexpr std::size_t kBatchBytes = 1 << 16;
  std::array<iovec, kBatchPieces> batch;
  std::size_t pieces = 0, bytes = 0;
  for (const Piece& piece : pieces_) {
    const char* base = (piece.from_input ? input_.data() : made_.data()) + piece.begin;
    batch[pieces++] = iovec{const_cast<char*>(base), piece.end - piece.begin};
    bytes += piece.end - piece.begin;
    if (pieces == kBatchPieces || bytes >= kBatchBytes) {
      if (auto error = output.write_gathered(std::span(batch.data(), pieces))) return error;
      pieces = bytes = 0;
    }
  }
  for (std::size_t i = 0; i < pieces; ++i) {
    if (auto error = output.write(std::string_view(static_cast<const char*>(batch[i].iov_base), batch[i].iov_len))) {
      return error;
    }
  }
  return std::nullopt;
}

}  // namespace rowmender
