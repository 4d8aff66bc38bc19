#pragma once
// What the parser changed while reading one row, and the line ends it met. Counting costs a
// few increments on the rare paths that absorb damage; clean rows touch none of it.

#include <cstdint>

namespace rowmender {

struct RowEvents {
  std::uint64_t stray_quotes = 0;               // quotes inside a quoted field kept as content by the lookahead
  std::uint64_t text_after_quote = 0;           // closing quotes followed by text that continued the field
  std::uint64_t quotes_in_unquoted_fields = 0;  // quotes kept as content of unquoted fields
  std::uint64_t invalid_utf8 = 0;               // ill-formed sequences replaced by U+FFFD
  // Not UTF-8: read in the legacy encoding instead; or, where that is the file's own, UTF-8
  // kept as it is.
  bool transcoded = false;
  // A quoted field was still open at the end of the input; the line it opened on.
  bool unterminated_quote = false;
  std::uint64_t unterminated_quote_line = 0;

  bool any() const noexcept {
    return (stray_quotes | text_after_quote | quotes_in_unquoted_fields | invalid_utf8) != 0 || unterminated_quote ||
           transcoded;
  }
};

// The record terminators consumed so far, by kind.
struct LineEndCounts {
  std::uint64_t lf = 0;
  std::uint64_t crlf = 0;
  std::uint64_t cr = 0;
};

}  // namespace rowmender
