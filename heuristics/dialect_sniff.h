#pragma once
// Which quoting style a text is written in, told from its head: RFC 4180 quotes, no quoting
// at all (a tool that writes 12" and a lone " as data), or backslash escapes (a database
// dump's \" and \\); and whether its rows ever span lines.
//
// Each candidate style is tried on the head: the delimiter it would sniff, then how
// consistently the rows it reads share one field count, weighed by the lines they cover (a
// quote that swallows lines leaves them out). A style other than the caller's must fit
// at least as well, and be suggested by the bytes themselves: quotes never doubled, and for
// the escape some \" to undo.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "parser/dialect.h"

namespace rowmender {

// How much of the head the style is told from.
inline constexpr std::size_t kDialectSampleBytes = std::size_t{256} << 10;

struct DialectQuestion {
  std::optional<std::uint8_t> delimiter;  // absent: each style sniffs its own
  std::uint8_t quote_char = '"';
  bool repair_quotes = true;
  Dialect given;               // what the caller set
  bool tell_quoting = false;   // whether to choose among RFC 4180, none and backslash escapes
  bool tell_one_line = false;  // whether to confine rows to lines when the head never needs more
};

// The style to read the text with. `head` is its first bytes (the whole text when
// `at_end`); only its first kDialectSampleBytes, up to the last line break, are looked at.
Dialect sniff_dialect(std::string_view head, bool at_end, const DialectQuestion& question);

}  // namespace rowmender
