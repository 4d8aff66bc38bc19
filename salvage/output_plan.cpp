#include "salvage/output_plan.h"

#include <sys/uio.h>

#include <array>
#include <exception>

namespace rowmender {

void OutputPlan::reserve(std::size_t pieces) noexcept {
  try {
    pieces_.reserve(pieces);
  } catch (const std::exception&) {
    // Only room ahead of need: the plan then grows as it goes.
  }
}

void OutputPlan::gather(const ByteArena& arena, std::vector<iovec>& pieces) const {
  pieces.clear();
  pieces.reserve(pieces_.size());
  for (const Span& piece : pieces_) {
    const std::string_view text = arena.view(piece);
    pieces.push_back(iovec{const_cast<char*>(text.data()), text.size()});
  }
}

std::optional<SalvageError> OutputPlan::write_to(BufferedWriter& output, const ByteArena& arena) const {
  // Pieces go out gathered, a batch per system call, once a batch is large enough to be
  // worth it; a short plan goes through the buffer like any line. A last batch of many
  // bytes goes out gathered too: a streaming window's plan (a megabyte of runs between
  // repaired rows) would otherwise be copied through the buffer and written 8 KiB a call.
  constexpr std::size_t kBatchPieces = 1024;
  constexpr std::size_t kBatchBytes = 1 << 22;
  constexpr std::size_t kLastBatchBytes = std::size_t{64} << 10;
  std::array<iovec, kBatchPieces> batch;
  std::size_t pieces = 0, bytes = 0;
  for (const Span& piece : pieces_) {
    const std::string_view text = arena.view(piece);
    batch[pieces++] = iovec{const_cast<char*>(text.data()), text.size()};
    bytes += text.size();
    if (pieces == kBatchPieces || bytes >= kBatchBytes) {
      if (auto error = output.write_gathered(std::span(batch.data(), pieces))) return error;
      pieces = bytes = 0;
    }
  }
  if (bytes >= kLastBatchBytes) return output.write_gathered(std::span(batch.data(), pieces));
  for (std::size_t i = 0; i < pieces; ++i) {
    if (auto error = output.write(std::string_view(static_cast<const char*>(batch[i].iov_base), batch[i].iov_len))) {
      return error;
    }
  }
  return std::nullopt;
}

}  // namespace rowmender
