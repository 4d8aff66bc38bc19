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
#include "parser/large_pages.h"
#include "parser/text_buffer.h"
#include "salvage/buffered_writer.h"

namespace rowmender {

class OutputPlan {
 public:
  // `input` is borrowed and must outlive the plan.
  explicit OutputPlan(std::string_view input) noexcept : input_(input) {}

  // Makes room for the plan of a whole input of the plan's size, as far as the address
  // space allows.
  void reserve_for_input() noexcept;

  // Appends the input bytes [begin, end).
  void copy_input(std::size_t begin, std::size_t end);
  // Appends made text; `text` may be reused by the caller afterwards.
  void append_text(std::string_view text);

  // Writes every piece in order through `output` (not flushed).
  std::optional<SalvageError> write_to(BufferedWriter& output) const;

 private:
  struct Piece {
    std::uint64_t made : 1;  // from made_, else from the input
    std::uint64_t begin : 63;
    std::uint64_t end;
  };

  std::string_view input_;
  // Both can grow to the order of the file's size: huge pages where large, reserved up
  // front (address space only, until written) so that growing never copies.
  TextBuffer made_;
  std::vector<Piece, LargePageAllocator<Piece>> pieces_;  // neighbours from the same source merged when contiguous
};

}  // namespace rowmender
