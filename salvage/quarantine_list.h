#pragma once
// The rows a pass set aside, kept lean: a few bytes of bookkeeping per row in one growing
// buffer (line and span as variable-length deltas), the raw content itself in a ByteArena.
// A pass that quarantines millions of rows must not cost an allocation, a reason text and a
// list of field texts for each of them.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "error/salvage_error.h"
#include "io/buffered_writer.h"
#include "memory/text_buffer.h"
#include "salvage/byte_arena.h"
#include "salvage/row_rule.h"

namespace rowmender {

struct QuarantineRecord {
  std::uint64_t line = 0;  // the parser's line counter right after the row was read
  QuarantineReason reason = QuarantineReason::TooFewColumns;
  std::uint64_t fields = 0;  // how many fields the row had as parsed
  Span content;              // the fields as parsed, joined by the separator text
};

class QuarantineList {
 public:
  void add(const QuarantineRecord& record);
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  void clear() noexcept;

  // Calls `visit` with each record, in the order they were added.
  template <typename Visit>
  void for_each(Visit&& visit) const {
    Decoder decoder(bytes_.view());
    for (std::size_t i = 0; i < size_; ++i) visit(decoder.next());
  }

 private:
  class Decoder {
   public:
    explicit Decoder(std::string_view bytes) noexcept : bytes_(bytes) {}
    QuarantineRecord next() noexcept;

   private:
    std::uint64_t number() noexcept;
    std::string_view bytes_;
    std::size_t at_ = 0;
    std::uint64_t line_ = 0;
    std::uint64_t ends_[2] = {0, 0};
  };

  TextBuffer bytes_;
  std::size_t size_ = 0;
  std::uint64_t last_line_ = 0;
  std::uint64_t last_ends_[2] = {0, 0};  // where the last span in each store ended
};

// One quarantine file line: {line},"{reason}","{raw content}" and LF, every double quote
// of the reason and the content doubled.
void build_quarantine_line(std::string& out, std::uint64_t line, std::string_view reason, std::string_view raw_content);

// Writes the lines of every record of `list`, whose content lies in `arena`, each record's
// line number raised by `line_offset` (the lines before the piece of the input it was read from).
[[nodiscard]] std::optional<SalvageError> write_quarantine_lines(BufferedWriter& writer, const QuarantineList& list,
                                                                 const ByteArena& arena, std::uint64_t width,
                                                                 std::uint64_t line_offset = 0);

}  // namespace rowmender
