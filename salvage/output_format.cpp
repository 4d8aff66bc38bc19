#include "salvage/output_format.h"

#include "simd/byte_scan.h"
#include "unicode/utf8.h"

namespace rowmender {
namespace {

// Appends `text`, doubling every occurrence of `quote`.
void append_doubling(std::string& out, std::string_view text, std::string_view quote) {
  while (true) {
    const std::size_t at = text.find(quote);
    if (at == std::string_view::npos) break;
    out.append(text.substr(0, at + quote.size()));
    out.append(quote);
    text.remove_prefix(at + quote.size());
  }
  out.append(text);
}

void append_double_quoted(std::string& out, std::string_view text) {
  out.push_back('"');
  append_doubling(out, text, "\"");
  out.push_back('"');
}

}  // namespace

OutputSyntax::OutputSyntax(std::uint8_t delimiter, std::uint8_t quote_char)
    : separator_(latin1_char(delimiter)),
      quote_(latin1_char(quote_char)),
      single_bytes_(delimiter < 0x80 && quote_char < 0x80) {}

bool OutputSyntax::needs_quoting(std::string_view field) const noexcept {
  if (single_bytes_) {
    return find_first_of4(field.data(), 0, field.size(), quote_[0], separator_[0], '\n', '\r') != field.size();
  }
  return field.find(quote_) != std::string_view::npos || field.find(separator_) != std::string_view::npos ||
         field.find_first_of("\n\r") != std::string_view::npos;
}

void OutputSyntax::append_field(std::string& line, std::string_view field, bool force_quotes) const {
  if (!force_quotes && !needs_quoting(field)) {
    line.append(field);
    return;
  }
  line.append(quote_);
  append_doubling(line, field, quote_);
  line.append(quote_);
}

void build_quarantine_line(std::string& line, const QuarantineRecord& record, std::string_view separator) {
  line.clear();
  line.append(std::to_string(record.line));
  line.push_back(',');
  append_double_quoted(line, record.reason);
  line.append(",\"");
  const Row& raw = record.raw_content;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (i != 0) append_doubling(line, separator, "\"");
    append_doubling(line, raw.field(i), "\"");
  }
  line.append("\"\n");
}

}  // namespace rowmender
