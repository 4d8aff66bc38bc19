#include "salvage/verbatim_row.h"

#include "parser/byte_scan.h"
#include "parser/line_scan.h"
#include "parser/utf8.h"

namespace rowmender {

bool VerbatimRowMatcher::usable(std::uint8_t delimiter, std::uint8_t quote_char) noexcept {
  const auto is_break = [](std::uint8_t b) { return b == '\n' || b == '\r'; };
  return delimiter < 0x80 && quote_char < 0x80 && delimiter != quote_char && !is_break(delimiter) &&
         !is_break(quote_char);
}

std::optional<VerbatimRow> VerbatimRowMatcher::match(std::string_view input, std::size_t begin) const noexcept {
  if (begin >= input.size()) return std::nullopt;
  const char* data = input.data();
  const LineScan scan = scan_line(data, begin, input.size(), delimiter_, quote_);
  // Valid UTF-8 stays valid when cut at ASCII delimiters, so checking the line checks every
  // field of it.
  if (scan.has_non_ascii) {
    const std::string_view text(data + begin, scan.end - begin);
    if (utf8_valid_prefix(text) != text.size()) return std::nullopt;
  }
  if (!scan.has_quote) return VerbatimRow{scan.end, scan.delimiters + 1};
  const std::optional<std::uint64_t> fields = walk_quoted_line(data, begin, scan.end);
  if (!fields) return std::nullopt;
  return VerbatimRow{scan.end, *fields};
}

std::optional<std::uint64_t> VerbatimRowMatcher::walk_quoted_line(const char* data, std::size_t begin,
                                                                 std::size_t end) const noexcept {
  std::uint64_t fields = 0;
  std::size_t at = begin;
  while (true) {
    ++fields;
    if (at < end && data[at] == quote_) {
      // A quoted field: doubled quotes are literal, the first lone quote must close it.
      bool holds_quote = false;
      std::size_t close = find_byte(data, at + 1, end, quote_);
      while (close + 1 < end && data[close + 1] == quote_) {
        holds_quote = true;
        close = find_byte(data, close + 2, end, quote_);
      }
      if (close >= end) return std::nullopt;  // closed on a later line, or never
      if (close + 1 < end && data[close + 1] != delimiter_) return std::nullopt;
      // The writer quotes a field only for a quote or a delimiter in it (line breaks cannot
      // be in it here); without either, it would write the field bare.
      if (!holds_quote && find_byte(data, at + 1, close, delimiter_) == close) return std::nullopt;
      at = close + 1;
    } else {
      // An unquoted field runs to the next delimiter; a quote in it is written quoted.
      at = find_first_of2(data, at, end, delimiter_, quote_);
      if (at < end && data[at] == quote_) return std::nullopt;
    }
    if (at >= end) return fields;
    ++at;  // past the delimiter
  }
}

}  // namespace rowmender
