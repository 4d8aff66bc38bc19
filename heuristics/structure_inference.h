#pragma once
// Structure inference: which delimiter a text uses, and how many columns it has.
//
// Both parse with the quote character and quote-repair setting of the pass that will follow,
// so the structure they find is the structure that pass reads. Where several field counts
// share the highest frequency, the larger count wins.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace rowmender {

inline constexpr std::array<std::uint8_t, 4> CANDIDATE_DELIMITERS = {',', ';', '\t', '|'};
inline constexpr std::size_t SNIFF_SAMPLE_LIMIT = 50;
inline constexpr std::size_t INFER_SAMPLE_LIMIT = 100;
inline constexpr std::uint8_t DEFAULT_QUOTE_CHAR = '"';

// The candidate delimiter whose most frequent field count (2 or more) covers the largest
// share of the first 50 counted rows, weighted by max(ln count, 1). Ties keep the earlier
// candidate; the comma wins when nothing can be told.
std::uint8_t sniff_delimiter(std::string_view input, std::uint8_t quote_char = DEFAULT_QUOTE_CHAR,
                             bool repair_quotes = true);

// The most frequent field count among the first 100 counted rows, or 0 without any.
std::uint64_t infer_column_count(std::string_view input, std::uint8_t delimiter,
                                 std::uint8_t quote_char = DEFAULT_QUOTE_CHAR, bool repair_quotes = true);

}  // namespace rowmender
