#include "unicode/white_space.h"

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

void WhiteSpaceRun::feed(std::string_view bytes) noexcept {
  for (const char c : bytes) {
    if (!possible_) return;
    const auto b = static_cast<std::uint8_t>(c);
    if (needed_ != 0) {
      if ((b & 0xC0) != 0x80) {
        possible_ = false;  // a character cut short
        return;
      }
      partial_ = (partial_ << 6) | (b & 0x3F);
      if (--needed_ != 0) continue;
      // Overlong forms decode to small values but are ill-formed, so never White_Space.
      const char32_t smallest = length_ == 2 ? 0x80 : 0x800;
      possible_ = partial_ >= smallest && is_unicode_white_space(partial_);
      continue;
    }
    if (b < 0x80) {
      possible_ = is_unicode_white_space(b);
    } else if (b >= 0xC2 && b <= 0xDF) {
      needed_ = 1, length_ = 2, partial_ = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
      needed_ = 2, length_ = 3, partial_ = b & 0x0F;
    } else {
      possible_ = false;  // four-byte characters are never White_Space; the rest is ill-formed
    }
  }
}

}  // namespace rowmender
