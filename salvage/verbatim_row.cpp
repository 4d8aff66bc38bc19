#include "salvage/verbatim_row.h"

#include <bit>
#include <limits>

#include "parser/line_bits.h"
#include "parser/utf8_check.h"

namespace rowmender {
namespace {

// Bit i set when an odd number of bits at or below i are set.
std::uint64_t prefix_xor(std::uint64_t x) noexcept {
  x ^= x << 1;
  x ^= x << 2;
  x ^= x << 4;
  x ^= x << 8;
  x ^= x << 16;
  x ^= x << 32;
  return x;
}

constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

// The first set bit at or after `from` in the first `words` words of `map`; kNone if none.
std::size_t next_bit(const std::uint64_t* map, std::size_t words, std::size_t from) noexcept {
  std::size_t w = from / 64;
  if (w >= words) return kNone;
  std::uint64_t m = map[w] & (~std::uint64_t{0} << (from % 64));
  while (m == 0) {
    if (++w >= words) return kNone;
    m = map[w];
  }
  return w * 64 + static_cast<std::size_t>(std::countr_zero(m));
}

// The field count of a mapped line when the parser reads it as plain RFC 4180 and the
// writer gives it back unchanged; nothing otherwise.
//
// Quotes toggle between outside and inside: a quote that goes in is an opening quote, one
// that goes out a closing quote, and a doubled quote inside a field is a closing quote
// directly followed by an opening one. With that reading, the line is plain when
//   - no quote is left open at the line's end,
//   - every opening quote follows a delimiter outside quotes, the line's start, or a
//     closing quote (the second half of a doubled quote); a quote anywhere else would be
//     text inside an unquoted field,
//   - every closing quote precedes a delimiter outside quotes, the line's end, or an
//     opening quote; anything else would be text after a closing quote, or a stray quote,
// and then the parser, with or without quote repair, splits the line at exactly the
// delimiters outside quotes. The writer quotes a field only when it holds a quote or the
// delimiter (line breaks cannot be in it here), so each quoted field must hold a doubled
// quote or a delimiter to be written back as it stands.
std::optional<std::uint64_t> plain_field_count(const LineBits& line) noexcept {
  const std::size_t words = line.words();
  std::uint64_t fields = 1;
  std::uint64_t any_quote = 0;
  for (std::size_t w = 0; w < words; ++w) {
    any_quote |= line.quotes(w);
    fields += static_cast<std::uint64_t>(std::popcount(line.delimiters(w)));
  }
  if (any_quote == 0) return fields;

  std::uint64_t opening[LineBits::kMaxWords], closing[LineBits::kMaxWords];
  std::uint64_t separators[LineBits::kMaxWords], quoted_delimiters[LineBits::kMaxWords];
  std::uint64_t inside_before = 0;  // all ones when the previous word ended inside quotes
  fields = 1;
  for (std::size_t w = 0; w < words; ++w) {
    const std::uint64_t quotes = line.quotes(w), delimiters = line.delimiters(w);
    const std::uint64_t inside = prefix_xor(quotes) ^ inside_before;
    inside_before = static_cast<std::uint64_t>(static_cast<std::int64_t>(inside) >> 63);
    opening[w] = quotes & inside;
    closing[w] = quotes & ~inside;
    separators[w] = delimiters & ~inside;
    quoted_delimiters[w] = delimiters & inside;
    fields += static_cast<std::uint64_t>(std::popcount(separators[w]));
  }
  if (inside_before != 0) return std::nullopt;  // the last quoted field goes on past the line

  std::uint64_t field_opening[LineBits::kMaxWords], field_closing[LineBits::kMaxWords];
  std::uint64_t reasons[LineBits::kMaxWords];
  const std::size_t last = line.size() - 1;  // the line holds a quote, so it is not empty
  std::uint64_t separator_before = 1;        // the line's start counts as a field's start
  std::uint64_t closing_before = 0;
  for (std::size_t w = 0; w < words; ++w) {
    const bool has_next = w + 1 < words;
    const std::uint64_t end_bit = last / 64 == w ? std::uint64_t{1} << (last % 64) : 0;
    const std::uint64_t after_separator = (separators[w] << 1) | separator_before;
    const std::uint64_t after_closing = (closing[w] << 1) | closing_before;
    const std::uint64_t before_separator =
        (separators[w] >> 1) | (has_next ? separators[w + 1] << 63 : 0) | end_bit;
    const std::uint64_t before_opening = (opening[w] >> 1) | (has_next ? opening[w + 1] << 63 : 0);
    if ((opening[w] & ~(after_separator | after_closing)) != 0) return std::nullopt;
    if ((closing[w] & ~(before_separator | before_opening)) != 0) return std::nullopt;
    field_opening[w] = opening[w] & after_separator;
    field_closing[w] = closing[w] & before_separator;
    reasons[w] = quoted_delimiters[w] | (closing[w] & before_opening);
    separator_before = separators[w] >> 63;
    closing_before = closing[w] >> 63;
  }

  // Quoted fields open and close in turn; each needs a reason between its quotes.
  for (std::size_t open = next_bit(field_opening, words, 0); open != kNone;
       open = next_bit(field_opening, words, open + 1)) {
    const std::size_t close = next_bit(field_closing, words, open);
    if (next_bit(reasons, words, open) >= close) return std::nullopt;
  }
  return fields;
}

}  // namespace

bool VerbatimRowMatcher::usable(std::uint8_t delimiter, std::uint8_t quote_char) noexcept {
  const auto is_break = [](std::uint8_t b) { return b == '\n' || b == '\r'; };
  return delimiter < 0x80 && quote_char < 0x80 && delimiter != quote_char && !is_break(delimiter) &&
         !is_break(quote_char);
}

std::optional<VerbatimRow> VerbatimRowMatcher::match(std::string_view input, std::size_t begin) const noexcept {
  if (begin >= input.size()) return std::nullopt;
  LineBits line;
  if (!line.map(input.data(), begin, input.size(), delimiter_, quote_)) return std::nullopt;
  // Valid UTF-8 stays valid when cut at ASCII delimiters, so checking the line checks every
  // field of it.
  if (line.has_non_ascii() && !is_valid_utf8(input.substr(begin, line.size()))) return std::nullopt;
  const std::optional<std::uint64_t> fields = plain_field_count(line);
  if (!fields) return std::nullopt;
  return VerbatimRow{begin + line.size(), *fields};
}

}  // namespace rowmender
