#include "salvage/output_plan.h"

#include <sys/uio.h>

#include <array>
#include <cstring>
#include <exception>

namespace rowmender {

void OutputPlan::reserve_for_input() noexcept {
  // A file whose rows the writer must all make again needs about its own size in text; a
  // file of short CR LF rows needs a piece per row. Untouched room costs address space
  // only, and that is worth having: growing would copy everything written so far into
  // pages that must be faulted in afresh. Where even the address space is refused, the
  // plan grows as it goes.
  try {
    made_.reserve(input_.size() + 64);
    pieces_.reserve(input_.size() / 32 + 64);
  } catch (const std::exception&) {
  }
}

void OutputPlan::add_piece(bool made, std::size_t begin, std::size_t end) {
  if (!pieces_.empty() && pieces_.back().made == made && pieces_.back().end == begin) {
    pieces_.back().end = end;
  } else {
    pieces_.push_back({made, begin, end});
  }
}

void OutputPlan::copy_input(std::size_t begin, std::size_t end) {
  if (writable_ == nullptr) return add_piece(false, begin, end);
  // The bytes were just read, so moving them costs little; where nothing was dropped yet
  // they are already in place.
  if (kept_ != begin) std::memmove(writable_ + kept_, writable_ + begin, end - begin);
  add_piece(false, kept_, kept_ + (end - begin));
  kept_ += end - begin;
}

void OutputPlan::append_text(std::string_view text, std::size_t unread) {
  if (writable_ != nullptr && kept_ <= unread && text.size() <= unread - kept_) {
    std::memcpy(writable_ + kept_, text.data(), text.size());
    add_piece(false, kept_, kept_ + text.size());
    kept_ += text.size();
    return;
  }
  const std::size_t begin = made_.size();
  made_.append(text);
  add_piece(true, begin, made_.size());
}

std::optional<SalvageError> OutputPlan::write_to(BufferedWriter& output) const {
  // Pieces go out gathered, a batch per system call, once a batch is large enough to be
  // worth it; a short plan goes through the buffer like any line.
  constexpr std::size_t kBatchPieces = 1024;
  constexpr std::size_t kBatchBytes = 1 << 22;
  std::array<iovec, kBatchPieces> batch;
  std::size_t pieces = 0, bytes = 0;
  for (const Piece& piece : pieces_) {
    const char* base = (piece.made ? made_.data() : input_.data()) + piece.begin;
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
