#pragma once
// How a text marks the bytes of a field that would otherwise end it: the quoting style the
// parser reads with. The default is RFC 4180 (fields in quotes, a quote inside doubled);
// files from tools that never quote, or that escape with a backslash, read right only
// with their own style.

#include <cstdint>
#include <optional>

namespace rowmender {

struct Dialect {
  // False: the quote byte is text like any other (a tool that never quotes writes 12" or
  // a lone " as data).
  bool quoting = true;
  // The byte after this one is text, a delimiter, a quote or a line break included; the
  // escape itself is dropped (a dump's \" and \\).
  std::optional<std::uint8_t> escape;
  // A quote that opens a field and does not close on its line is text: the field and the
  // row end at the line's end instead of swallowing the lines after it (unless the field
  // closes cleanly within a few lines: see ResilientParser::is_stray_opening_quote).
  bool one_line_rows = false;
  // Spaces at a field's start are skipped, as the csv module's skipinitialspace does: a
  // writer that puts a space after each delimiter (`1, "Doe, John", 3`) quotes the field
  // after it, and without the skip the quote would be text and the comma inside it a split.
  bool skip_initial_space = false;

  bool is_standard() const noexcept { return quoting && !escape && !one_line_rows && !skip_initial_space; }
  friend bool operator==(const Dialect&, const Dialect&) = default;
};

}  // namespace rowmender
