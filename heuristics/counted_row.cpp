#include "heuristics/counted_row.h"

#include <cstdint>

namespace rowmender {

bool is_unicode_white_space(char32_t c) noexcept {
  switch (c) {
    case 0x09:
    case 0x0A:
    case 0x0B:
    case 0x0C:
    case 0x0D:
    case 0x20:
    case 0x85:
    case 0xA0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000: return true;
    default: return c >= 0x2000 && c <= 0x200A;
  }
}

bool is_blank_text(std::string_view utf8) noexcept {
  // Field texts are valid UTF-8, so a plain decode suffices.
  const auto* p = reinterpret_cast<const std::uint8_t*>(utf8.data());
  const std::size_t n = utf8.size();
  std::size_t i = 0;
  while (i < n) {
    char32_t c;
    const std::uint8_t lead = p[i];
    if (lead < 0x80) {
      c = lead;
      i += 1;
    } else if (lead < 0xE0 && i + 1 < n) {
      c = (char32_t(lead & 0x1F) << 6) | (p[i + 1] & 0x3F);
      i += 2;
    } else if (lead < 0xF0 && i + 2 < n) {
      c = (char32_t(lead & 0x0F) << 12) | (char32_t(p[i + 1] & 0x3F) << 6) | (p[i + 2] & 0x3F);
      i += 3;
    } else {
      return false;  // four-byte characters are never White_Space
    }
    if (!is_unicode_white_space(c)) return false;
  }
  return true;
}

bool is_counted_row(const RowView& row) noexcept { return row.size() != 1 || !is_blank_text(row.field(0)); }

}  // namespace rowmender
