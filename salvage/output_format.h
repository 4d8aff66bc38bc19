#pragma once
// The two file formats: repaired rows with RFC 4180 quoting (LF line ends), and the
// quarantine CSV.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "parser/row.h"
#include "salvage/records.h"

namespace rowmender {

inline constexpr std::string_view kQuarantineHeader = "line,reason,raw_content\n";

// How output lines are spelled: the delimiter and quote bytes shown as characters.
class OutputSyntax {
 public:
  OutputSyntax(std::uint8_t delimiter, std::uint8_t quote_char);

  const std::string& separator() const noexcept { return separator_; }

  // Appends one field, quoted when it holds the quote character, the delimiter character,
  // LF or CR; inside quotes every quote character is doubled.
  void append_field(std::string& line, std::string_view field) const;

  // Replaces `line` with the complete line of a row, LF included.
  template <typename RowLike>
  void build_line(std::string& line, const RowLike& row) const {
    line.clear();
    for (std::size_t i = 0; i < row.size(); ++i) {
      if (i != 0) line.append(separator_);
      append_field(line, row.field(i));
    }
    line.push_back('\n');
  }

 private:
  bool needs_quoting(std::string_view field) const noexcept;

  std::string separator_;
  std::string quote_;
  bool single_bytes_;  // both delimiter and quote below 0x80: one byte each
};

// Replaces `line` with the quarantine line of a record:
// {line},"{reason}","{fields joined by the separator}" and LF, double quotes doubled.
void build_quarantine_line(std::string& line, const QuarantineRecord& record, std::string_view separator);

}  // namespace rowmender
