#include "unicode/legacy_bytes.h"

#include <algorithm>

namespace rowmender {

void LegacyBytes::set(std::uint8_t byte, std::string_view upper) noexcept {
  if (byte < 0x80) return;
  const std::size_t size = std::min<std::size_t>(upper.size(), 4);
  std::copy_n(upper.data(), size, utf8_[byte - 0x80].data());
  size_[byte - 0x80] = static_cast<std::uint8_t>(size);
}

std::size_t LegacyBytes::append_utf8(std::string& out, std::string_view bytes) const {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::size_t replaced = 0;
  for (const char c : bytes) {
    const auto byte = static_cast<std::uint8_t>(c);
    if (byte < 0x80) {
      out.push_back(c);
    } else if (size_[byte - 0x80] == 0) {
      out.append(kReplacement);
      ++replaced;
    } else {
      out.append(utf8_[byte - 0x80].data(), size_[byte - 0x80]);
    }
  }
  return replaced;
}

bool LegacyBytes::spells(std::string_view utf8) const noexcept {
  std::size_t at = 0;
  while (at < utf8.size()) {
    const auto lead = static_cast<std::uint8_t>(utf8[at]);
    if (lead < 0x80) {
      ++at;
      continue;
    }
    const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    const std::string_view character = utf8.substr(at, length);
    bool found = false;
    for (std::size_t i = 0; i < 128 && !found; ++i) {
      found = size_[i] == character.size() && std::string_view(utf8_[i].data(), size_[i]) == character;
    }
    if (!found) return false;
    at += length;
  }
  return true;
}

}  // namespace rowmender
