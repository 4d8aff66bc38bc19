#include "parser/plain_line.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

#include "simd/bit_count.h"
#include "simd/utf8_check.h"

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

// How much text one UTF-8 check covers beyond the line that asks.
constexpr std::size_t kUtf8Block = std::size_t{4} << 10;

}  // namespace

bool PlainLine::is_valid_utf8_line(std::string_view input, std::size_t begin, std::size_t end) noexcept {
  if (end <= valid_to_) return true;
  const std::string_view line = input.substr(begin, end - begin);
  if (end <= line_by_line_to_) return is_valid_utf8(line);
  // The block ends before a byte that starts a character (or at the text's end), so that
  // it is valid exactly when every line in it is.
  std::size_t block_end = std::min(input.size(), std::max(end, begin + kUtf8Block));
  while (block_end > end && block_end < input.size() && (static_cast<std::uint8_t>(input[block_end]) & 0xC0) == 0x80) {
    --block_end;
  }
  if (is_valid_utf8(input.substr(begin, block_end - begin))) {
    valid_to_ = block_end;
    return true;
  }
  line_by_line_to_ = block_end;
  return is_valid_utf8(line);
}

bool PlainLine::usable(std::uint8_t delimiter, std::uint8_t quote_char) noexcept {
  const auto is_break = [](std::uint8_t b) { return b == '\n' || b == '\r'; };
  return delimiter < 0x80 && quote_char < 0x80 && delimiter != quote_char && !is_break(delimiter) &&
         !is_break(quote_char);
}

// Quotes toggle between outside and inside: a quote that goes in is an opening quote, one
// that goes out a closing quote, and a doubled quote inside a field is a closing quote
// directly followed by an opening one. With that reading, the line is plain when
//   - no quote is left open at the line's end,
//   - every opening quote follows a delimiter outside quotes, the line's start, or a
//     closing quote (the second half of a doubled quote); a quote anywhere else would be
//     text inside an unquoted field,
//   - every closing quote precedes a delimiter outside quotes, the line's end, or an
//     opening quote; anything else would be text after a closing quote, or a stray quote.
// Then the parser, with or without quote repair, splits the line at exactly the delimiters
// outside quotes.
bool PlainLine::read(std::string_view input, std::size_t begin, char delimiter, char quote) noexcept {
  if (begin >= input.size() || spaces_skipped_) return false;
  // What is known of a text holds while it is read forward.
  if (input.data() != input_.data() || input.size() != input_.size() || begin <= begin_) forget_text();
  input_ = input;
  begin_ = begin;
  quote_ = quote;
  if (!bits_.map(input.data(), begin, input.size(), delimiter, quote)) return false;
  if (bits_.has_non_ascii() && (ascii_only_ || !is_valid_utf8_line(input, begin, begin + bits_.size()))) return false;

  const std::size_t words = bits_.words();
  std::uint64_t any_quote = 0;
  for (std::size_t w = 0; w < words; ++w) any_quote |= bits_.quotes(w);
  has_quotes_ = any_quote != 0;
  if (has_quotes_ && quotes_are_text_) return false;
  if (escape_ && std::memchr(input.data() + begin, *escape_, bits_.size()) != nullptr) return false;
  fields_ = 1;
  if (!has_quotes_) {
    for (std::size_t w = 0; w < words; ++w) fields_ += count_bits(bits_.delimiters(w));
    return true;
  }

  std::uint64_t opening[LineBits::kMaxWords], closing[LineBits::kMaxWords];
  std::uint64_t quoted_delimiters[LineBits::kMaxWords];
  std::uint64_t inside_before = 0;  // all ones when the previous word ended inside quotes
  for (std::size_t w = 0; w < words; ++w) {
    const std::uint64_t quotes = bits_.quotes(w), delimiters = bits_.delimiters(w);
    const std::uint64_t inside = prefix_xor(quotes) ^ inside_before;
    inside_before = static_cast<std::uint64_t>(static_cast<std::int64_t>(inside) >> 63);
    opening[w] = quotes & inside;
    closing[w] = quotes & ~inside;
    separators_[w] = delimiters & ~inside;
    quoted_delimiters[w] = delimiters & inside;
    fields_ += count_bits(separators_[w]);
  }
  if (inside_before != 0) return false;  // the last quoted field goes on past the line

  const std::size_t last = bits_.size() - 1;  // the line holds a quote, so it is not empty
  std::uint64_t separator_before = 1;         // the line's start counts as a field's start
  std::uint64_t closing_before = 0;
  for (std::size_t w = 0; w < words; ++w) {
    const bool has_next = w + 1 < words;
    const std::uint64_t end_bit = last / 64 == w ? std::uint64_t{1} << (last % 64) : 0;
    const std::uint64_t after_separator = (separators_[w] << 1) | separator_before;
    const std::uint64_t after_closing = (closing[w] << 1) | closing_before;
    const std::uint64_t before_separator = (separators_[w] >> 1) | (has_next ? separators_[w + 1] << 63 : 0) | end_bit;
    const std::uint64_t before_opening = (opening[w] >> 1) | (has_next ? opening[w + 1] << 63 : 0);
    if ((opening[w] & ~(after_separator | after_closing)) != 0) return false;
    if ((closing[w] & ~(before_separator | before_opening)) != 0) return false;
    field_opening_[w] = opening[w] & after_separator;
    field_closing_[w] = closing[w] & before_separator;
    reasons_[w] = quoted_delimiters[w] | (closing[w] & before_opening);
    separator_before = separators_[w] >> 63;
    closing_before = closing[w] >> 63;
  }
  return true;
}

bool PlainLine::quotes_only_where_needed() const noexcept {
  if (!has_quotes_) return true;
  // Quoted fields open and close in turn; each needs a reason between its quotes.
  const std::size_t words = bits_.words();
  for (std::size_t open = next_bit(field_opening_, words, 0); open != kNone;
       open = next_bit(field_opening_, words, open + 1)) {
    const std::size_t close = next_bit(field_closing_, words, open);
    if (next_bit(reasons_, words, open) >= close) return false;
  }
  return true;
}

void PlainLine::append_fields(RowTable& rows) const {
  // The fields are copied into room made for the whole line. Where the input goes on for 16
  // bytes past the line, copies go in 16-byte steps: bytes written past a piece's end are
  // overwritten by the next piece or cut off at the end. When the text is written over the
  // input itself, the bytes past a piece are input still to be read: steps are safe there
  // only while the text stays at least 16 bytes behind the input; closer, each piece is
  // moved exactly.
  TextBuffer& text = rows.text();
  const char* line = input_.data() + begin_;
  const std::size_t size = bits_.size();
  const std::size_t base = text.size();
  const auto address = [](const char* p) { return reinterpret_cast<std::uintptr_t>(p); };
  const bool over_input =
      address(line) >= address(text.data()) && address(line) < address(text.data()) + text.capacity();
  const bool input_goes_on = begin_ + size + 16 <= input_.size();
  text.resize(base + size + (over_input ? 0 : 16));
  char* const out = text.data() + base;
  // How far the text written over the input lags behind it.
  const std::size_t lag = over_input ? static_cast<std::size_t>(line - out) : 0;
  std::size_t written = 0;
  const auto copy = [&](std::size_t from, std::size_t to) {
    const std::size_t length = to - from;
    if (input_goes_on && (!over_input || lag + from - written >= 16)) {
      for (std::size_t i = 0; i < length; i += 16) std::memcpy(out + written + i, line + from + i, 16);
    } else {
      std::memmove(out + written, line + from, length);
    }
    written += length;
  };
  const std::size_t words = bits_.words();
  const auto end_field = [&](std::size_t at, std::size_t end) {
    if (has_quotes_ && at < end && ((field_opening_[at / 64] >> (at % 64)) & 1) != 0) {
      // A quoted field: its content lies inside the outer quotes, and each quote in it is
      // the first of a doubled pair, of which one is kept.
      std::size_t from = at + 1;
      const std::size_t close = end - 1;
      for (std::size_t q = next_bit(reasons_, words, from); q < close; q = next_bit(reasons_, words, q + 1)) {
        if (line[q] != quote_) continue;  // a delimiter inside quotes
        copy(from, q + 1);
        from = q + 2;
      }
      copy(from, close);
    } else {
      copy(at, end);
    }
    rows.end_field_at(base + written);
  };
  std::size_t at = 0;
  for (std::size_t w = 0; w < words; ++w) {
    for (std::uint64_t m = has_quotes_ ? separators_[w] : bits_.delimiters(w); m != 0; m &= m - 1) {
      const std::size_t separator = w * 64 + static_cast<std::size_t>(std::countr_zero(m));
      end_field(at, separator);
      at = separator + 1;
    }
  }
  end_field(at, size);
  text.resize(base + written);
}

}  // namespace rowmender
