#include "unicode/legacy_bytes.h"

#include <algorithm>

namespace rowmender {

void LegacyBytes::set(std::uint8_t byte, std::string_view upper) noexcept {
  if (byte < 0x80) return;
  const std::size_t size = std::min<std::size_t>(upper.size(), 4);
  std::copy_n(upper.data(), size, utf8_[byte - 0x80].data());
  size_[byte - 0x80] = static_cast<std::uint8_t>(size);
}

void LegacyBytes::append_utf8(std::string& out, std::string_view bytes) const {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  for (const char c : bytes) {
    const auto byte = static_cast<std::uint8_t>(c);
    if (byte < 0x80) {
      out.push_back(c);
    } else if (size_[byte - 0x80] == 0) {
      out.append(kReplacement);
    } else {
      out.append(utf8_[byte - 0x80].data(), size_[byte - 0x80]);
    }
  }
}

}  // namespace rowmender
