#include "salvage/verbatim_row.h"

#include "parser/byte_scan.h"
#include "parser/line_bits.h"
#include "parser/line_scan.h"
#include "parser/utf8_check.h"

namespace rowmender {
namespace {

// The questions the field walk asks of a line, answered by scanning its bytes: for lines too
// long to map as LineBits.
class LineBytes {
 public:
  LineBytes(const char* line, std::size_t size, char delimiter, char quote) noexcept
      : line_(line), size_(size), delimiter_(delimiter), quote_(quote) {}
  std::size_t size() const noexcept { return size_; }
  bool quote_at(std::size_t i) const noexcept { return i < size_ && line_[i] == quote_; }
  bool delimiter_at(std::size_t i) const noexcept { return i < size_ && line_[i] == delimiter_; }
  std::size_t next_quote(std::size_t from) const noexcept { return from >= size_ ? size_ : find_byte(line_, from, size_, quote_); }
  std::size_t next_delimiter(std::size_t from) const noexcept {
    return from >= size_ ? size_ : find_byte(line_, from, size_, delimiter_);
  }
  std::size_t next_quote_or_delimiter(std::size_t from) const noexcept {
    return from >= size_ ? size_ : find_first_of2(line_, from, size_, delimiter_, quote_);
  }

 private:
  const char* line_;
  std::size_t size_;
  char delimiter_;
  char quote_;
};

// Walks the fields of a line that holds quotes; the field count when every field is one the
// writer gives back unchanged.
template <typename Line>
std::optional<std::uint64_t> walk_fields(const Line& line) noexcept {
  const std::size_t end = line.size();
  std::uint64_t fields = 0;
  std::size_t at = 0;
  while (true) {
    ++fields;
    if (line.quote_at(at)) {
      // A quoted field: doubled quotes are literal, the first lone quote must close it.
      bool holds_quote = false;
      std::size_t close = line.next_quote(at + 1);
      while (line.quote_at(close + 1)) {
        holds_quote = true;
        close = line.next_quote(close + 2);
      }
      if (close >= end) return std::nullopt;  // closed on a later line, or never
      if (close + 1 < end && !line.delimiter_at(close + 1)) return std::nullopt;
      // The writer quotes a field only for a quote or a delimiter in it (line breaks cannot
      // be in it here); without either, it would write the field bare.
      if (!holds_quote && line.next_delimiter(at + 1) > close) return std::nullopt;
      at = close + 1;
    } else {
      // An unquoted field runs to the next delimiter; a quote in it is written quoted.
      at = line.next_quote_or_delimiter(at);
      if (line.quote_at(at)) return std::nullopt;
    }
    if (at >= end) return fields;
    ++at;  // past the delimiter
  }
}

}  // namespace

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
    if (!is_valid_utf8(std::string_view(data + begin, scan.end - begin))) return std::nullopt;
  }
  if (!scan.has_quote) return VerbatimRow{scan.end, scan.delimiters + 1};
  const std::optional<std::uint64_t> fields = walk_quoted_line(data, begin, scan.end);
  if (!fields) return std::nullopt;
  return VerbatimRow{scan.end, *fields};
}

std::optional<std::uint64_t> VerbatimRowMatcher::walk_quoted_line(const char* data, std::size_t begin,
                                                                 std::size_t end) const noexcept {
  const std::size_t size = end - begin;
  if (size <= LineBits::kMaxBytes) return walk_fields(LineBits(data + begin, size, delimiter_, quote_));
  return walk_fields(LineBytes(data + begin, size, delimiter_, quote_));
}

}  // namespace rowmender
