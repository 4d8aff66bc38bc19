#pragma once
// Recognises rows that the repaired file spells exactly as the input does, so they can be
// copied instead of parsed and written again.
//
// Most rows of most files are such rows: one physical line, unquoted fields free of quotes,
// and quoted fields that are well formed (every inner quote doubled, the closing quote
// followed by the delimiter or the line's end) and that hold a quote or the delimiter, so
// the writer would quote them again. The tolerant parser reads such a line as the plain RFC
// 4180 reading, with or without quote repair, and the writer gives back the same bytes.
// Anything else (a quote out of place, a line break inside quotes, blanks after a closing
// quote, quotes the writer would drop, invalid UTF-8, a line of 4096 bytes or more) is
// left to the parser.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace rowmender {

struct VerbatimRow {
  std::size_t line_end;  // index of the CR or LF that ends the row's line, or the input's size
  std::uint64_t fields;
};

class VerbatimRowMatcher {
 public:
  // Whether rows can be matched at all: the writer shows the delimiter and the quote as the
  // very same single bytes only when both are ASCII, and the line rules need both distinct
  // and neither a line break.
  static bool usable(std::uint8_t delimiter, std::uint8_t quote_char) noexcept;

  VerbatimRowMatcher(std::uint8_t delimiter, std::uint8_t quote_char) noexcept
      : delimiter_(static_cast<char>(delimiter)), quote_(static_cast<char>(quote_char)) {}

  // The row that starts at `begin`, when it is one the writer reproduces byte for byte.
  // Never matches at the end of the input.
  std::optional<VerbatimRow> match(std::string_view input, std::size_t begin) const noexcept;

 private:
  char delimiter_;
  char quote_;
};

}  // namespace rowmender
