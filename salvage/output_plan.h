#pragma once
// The repaired file's bytes, planned before they are written: spans of a ByteArena, in
// order. A whole-file pass writes its plan once the pass has finished; a stream writes the
// plan of each window before the window moves on.

#include <sys/uio.h>

#include <cstddef>
#include <optional>
#include <vector>

#include "error/salvage_error.h"
#include "io/buffered_writer.h"
#include "memory/growable_array.h"
#include "salvage/byte_arena.h"

namespace rowmender {

class OutputPlan {
 public:
  // Appends a span; one that continues the last piece in the same store extends it.
  void add(const Span& span) {
    // An empty span would only part the spans around it (a blank line's input and the
    // delimiters it is padded with): runs of padded blank lines stay one piece.
    if (span.begin == span.end) return;
    if (!pieces_.empty() && pieces_.back().made == span.made && pieces_.back().end == span.begin) {
      pieces_.back().end = span.end;
    } else {
      pieces_.push_back(span);
    }
  }
  // Room for about `pieces` pieces, as far as the address space allows: reserved pages
  // cost nothing until written, and growing would copy.
  void reserve(std::size_t pieces) noexcept;

  bool empty() const noexcept { return pieces_.empty(); }
  void clear() noexcept { pieces_.clear(); }

  // Every piece in order, as pieces of memory to write, into `pieces` (cleared first).
  void gather(const ByteArena& arena, std::vector<iovec>& pieces) const;
  // Writes every piece in order through `output` (not flushed).
  [[nodiscard]] std::optional<SalvageError> write_to(BufferedWriter& output, const ByteArena& arena) const;

 private:
  GrowableArray<Span> pieces_;
};

}  // namespace rowmender
