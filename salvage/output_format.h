#pragma once
// The two file formats: repaired rows with RFC 4180 quoting (LF line ends), and the
// quarantine CSV.

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "memory/text_buffer.h"
#include "parser/row_table.h"

namespace rowmender {

inline constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
inline constexpr std::string_view kQuarantineHeader = "line,reason,raw_content\n";

// How output lines are spelled: the delimiter and quote bytes shown as characters.
class OutputSyntax {
 public:
  OutputSyntax(std::uint8_t delimiter, std::uint8_t quote_char);

  const std::string& separator() const noexcept { return separator_; }

  // Appends one field, quoted when it holds the quote character, the delimiter character,
  // LF or CR (or when `force_quotes` is set); inside quotes every quote character is doubled.
  void append_field(std::string& line, std::string_view field, bool force_quotes = false) const;

  // Replaces `line` with the complete line of a row, LF included. `starts_file` marks the
  // first line of a file: a leading U+FEFF there would be read back as a byte-order mark and
  // dropped, so a first field that begins with it is quoted.
  template <typename RowLike>
  void build_line(std::string& line, const RowLike& row, bool starts_file = false) const {
    if constexpr (requires { row.text(); }) {
      const std::string_view all = row.text();
      if (single_bytes_ && !(starts_file && all.starts_with(kByteOrderMark)) && !needs_quoting(all)) {
        build_plain_line(line, row, all.size());
        return;
      }
    }
    line.clear();
    for (std::size_t i = 0; i < row.size(); ++i) {
      if (i != 0) line.append(separator_);
      const std::string_view field = row.field(i);
      append_field(line, field, starts_file && i == 0 && field.starts_with(kByteOrderMark));
    }
    line.push_back('\n');
  }

  // The same lines measured and made in place, for a row whose text lies in memory that
  // may be overwritten (parsed over the input it was read from), so that no second copy of
  // a huge row is needed. A line (or a row's raw content: its fields joined by the
  // separator, as the quarantine file shows it) is never shorter than the row's text.
  std::size_t line_size(const RowView& row, bool starts_file) const;
  std::size_t raw_content_size(const RowView& row) const;
  // Rewrites the text of `row` (of `rows`, whose text the row ends) into its line, or its
  // raw content, in place: the first `room` bytes of the result take the place of the text,
  // which starts at the beginning of that room; the rest is appended to `tail`.
  void spell_line_in_place(const RowView& row, char* room_begin, std::size_t room, bool starts_file,
                           TextBuffer& tail) const;
  void spell_raw_content_in_place(const RowView& row, char* room_begin, std::size_t room, TextBuffer& tail) const;

 private:
  bool needs_quoting(std::string_view field) const noexcept;
  bool quoted_in_line(std::string_view field, std::size_t index, bool starts_file) const noexcept {
    return needs_quoting(field) || (starts_file && index == 0 && field.starts_with(kByteOrderMark));
  }
  std::size_t count_quotes(std::string_view field) const noexcept;
  void spell_in_place(const RowView& row, char* room_begin, std::size_t room, bool as_line, bool starts_file,
                      TextBuffer& tail) const;

  // The common case: no field of the row needs quotes (one scan of the whole row said so),
  // so the line is the fields with one-byte separators, copied into place.
  template <typename RowLike>
  void build_plain_line(std::string& line, const RowLike& row, std::size_t text_size) const {
    const std::size_t fields = row.size();
    line.resize(text_size + fields);  // fields - 1 separators and the line feed
    char* out = line.data();
    for (std::size_t i = 0; i < fields; ++i) {
      const std::string_view field = row.field(i);
      std::memcpy(out, field.data(), field.size());
      out += field.size();
      *out++ = i + 1 < fields ? separator_[0] : '\n';
    }
  }

  std::string separator_;
  std::string quote_;
  bool single_bytes_;  // both delimiter and quote below 0x80: one byte each
};

}  // namespace rowmender
