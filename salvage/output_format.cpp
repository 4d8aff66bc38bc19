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

}  // namespace rowmender
