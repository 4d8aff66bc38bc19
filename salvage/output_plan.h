#pragma once
// The repaired file's bytes, planned before the file is created: stretches of the input that
// are already what the file must hold, and lines the writer made. The salvage pass builds
// the plan; the file is created and written only once the pass has finished.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error/salvage_error.h"
#include "salvage/buffered_writer.h"

namespace rowmender {

class OutputPlan {
 public:
  // `input` is borrowed and must outlive the plan.
  explicit OutputPlan(std::string_view input) noexcept : input_(input) {}

  // Appends the input bytes [begin, end).
  void copy_input(std::size_t begin, std::size_t end);
  // Appends made text; `text` may be reused by the caller afterwards.
  void append_text(std::string_view text);

  // Writes every piece in order through `output` (not flushed).
  std::optional<SalvageError> write_to(BufferedWriter& output) const;

 private:
  struct Piece {
    bool from_input;   // else from made_
    std::size_t begin;
    std::size_t end;
  };

  std::string_view input_;
  std::string made_;
  std::vector<Piece> pieces_;  // neighbours from the same source are merged when contiguous
};

}  // namespace rowmender
