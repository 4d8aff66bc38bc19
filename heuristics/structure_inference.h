#pragma once
// Structure inference: which delimiter a text uses, and how many columns it has.
//
// Both parse with the quote character and quote-repair setting of the pass that will follow,
// so the structure they find is the structure that pass reads. Where several field counts
// share the highest frequency, the larger count wins. Both look at the first rows only, so
// a stream can settle them from its head: the `_from_head` forms say when the head is too
// short to tell what the whole text would give.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace rowmender {

class FieldCountSample;

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

// The delimiter sniff_delimiter picks, from complete samples of the first 50 counted rows
// under each candidate, in the order of CANDIDATE_DELIMITERS.
std::uint8_t best_delimiter(std::span<const FieldCountSample, CANDIDATE_DELIMITERS.size()> samples) noexcept;

// `winner`, unless another candidate reaches a row of its own commonest width (its header)
// while the winner has split no row yet, with nearly as large a share of the rows: then the
// best-scoring such candidate. The score weighs a width by its logarithm, so that a text
// field holding the same commas on every row of a semicolon file ("red, green, blue")
// outscores the semicolons by width alone, though the header, written by the same
// program, has none of those commas: under the comma the header is one field, like a title
// line above it. Used by the `delimiter` cleanup rule only: `sniff` and the whole-file
// pass keep the score alone.
std::uint8_t delimiter_the_header_agrees_with(std::span<const FieldCountSample, CANDIDATE_DELIMITERS.size()> samples,
                                              std::uint8_t winner) noexcept;

// The same from the first part of a text; nullopt until `head` holds enough of it (always
// an answer when `at_end`, the head being the whole text).
std::optional<std::uint8_t> sniff_delimiter_from_head(std::string_view head, std::uint8_t quote_char,
                                                      bool repair_quotes, bool at_end);
std::optional<std::uint64_t> infer_column_count_from_head(std::string_view head, std::uint8_t delimiter,
                                                          std::uint8_t quote_char, bool repair_quotes, bool at_end);

}  // namespace rowmender
