#pragma once
// The repaired file's bytes, planned before the file is created: stretches of the input that
// are already what the file must hold, and lines the writer made. The salvage pass builds
// the plan; the file is created and written only once the pass has finished.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "error/salvage_error.h"
#include "io/buffered_writer.h"
#include "memory/large_pages.h"
#include "memory/text_buffer.h"

namespace rowmender {

class OutputPlan {
 public:
  // `input` is borrowed and must outlive the plan.
  explicit OutputPlan(std::string_view input) noexcept : input_(input) {}
  // A plan that moves what it keeps to the front of `input` as the input is read, so that
  // runs of kept rows stay one stretch even where bytes are dropped between them (the CR of
  // a CR LF). Fewer, longer pieces are much cheaper to write than many short ones. The
  // caller gives up the bytes it has read: see copy_input and append_text.
  static OutputPlan over_input(char* input, std::size_t size) noexcept {
    OutputPlan plan(std::string_view(input, size));
    plan.writable_ = input;
    return plan;
  }

  // Makes room for the plan of a whole input of the plan's size, as far as the address
  // space allows.
  void reserve_for_input() noexcept;

  // Appends the input bytes [begin, end). Over the input, they are moved to the end of
  // what is kept, which never lies after `begin`.
  void copy_input(std::size_t begin, std::size_t end);
  // Appends made text; `text` may be reused by the caller afterwards. Over the input, the
  // text is written in place when it fits before `unread`, the first input byte that is
  // still to be read; everything before it may be overwritten.
  void append_text(std::string_view text, std::size_t unread);

  // Writes every piece in order through `output` (not flushed).
  [[nodiscard]] std::optional<SalvageError> write_to(BufferedWriter& output) const;

 private:
  struct Piece {
    std::uint64_t made : 1;  // from made_, else from the input
    std::uint64_t begin : 63;
    std::uint64_t end;
  };

  // Neighbours from the same source are merged when contiguous.
  void add_piece(bool made, std::size_t begin, std::size_t end);

  std::string_view input_;
  char* writable_ = nullptr;  // the input, when the plan is written over it
  std::size_t kept_ = 0;      // over the input: the end of what is kept at its front
  // Both can grow to the order of the file's size: huge pages where large, reserved up
  // front (address space only, until written) so that growing never copies.
  TextBuffer made_;
  std::vector<Piece, LargePageAllocator<Piece>> pieces_;
};

}  // namespace rowmender
