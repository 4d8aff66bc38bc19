#pragma once
// UTF-8 checks and the lenient decoder that turns raw field bytes into valid text.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace rowmender {

// Length of the longest prefix of `bytes` that is well-formed UTF-8.
std::size_t utf8_valid_prefix(std::string_view bytes) noexcept;

// True when every byte is below 0x80. Inline: it runs once for every field.
inline bool is_ascii(std::string_view bytes) noexcept {
  const char* p = bytes.data();
  std::size_t n = bytes.size();
  std::uint64_t high = 0;
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    high |= word;
  }
  for (; n > 0; ++p, --n) high |= static_cast<std::uint8_t>(*p);
  return (high & 0x8080808080808080ULL) == 0;
}

// Appends `bytes` to `out`, replacing each ill-formed sequence by U+FFFD: one replacement
// character for each maximal subpart, as the Unicode Standard recommends (and as Python's
// bytes.decode("utf-8", "replace") does). Returns how many were replaced.
std::size_t append_utf8_replacing_invalid(std::string& out, std::string_view bytes);

// Appends the UTF-8 encoding of the code point `byte` (U+0000 to U+00FF): the byte itself
// below 0x80, two bytes otherwise. This is how a delimiter or quote byte is shown as text.
void append_latin1_char(std::string& out, std::uint8_t byte);
std::string latin1_char(std::uint8_t byte);

}  // namespace rowmender
