#include "unicode/utf8.h"

#include <bit>
#include <cstring>

namespace rowmender {
namespace {

constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

// Number of bytes of the sequence that starts at p[0] (at least 1) and whether that many
// bytes form a well-formed character. When they do not, the count is the maximal subpart:
// the lead byte plus the continuation bytes that were still acceptable.
struct Sequence {
  std::size_t length;
  bool valid;
};

inline bool in_range(std::uint8_t b, std::uint8_t lo, std::uint8_t hi) { return b >= lo && b <= hi; }

Sequence next_sequence(const std::uint8_t* p, std::size_t avail) noexcept {
  const std::uint8_t lead = p[0];
  if (lead < 0x80) return {1, true};
  std::size_t need;
  std::uint8_t second_lo = 0x80, second_hi = 0xBF;
  if (in_range(lead, 0xC2, 0xDF)) {
    need = 2;
  } else if (lead == 0xE0) {
    need = 3, second_lo = 0xA0;
  } else if (in_range(lead, 0xE1, 0xEC) || in_range(lead, 0xEE, 0xEF)) {
    need = 3;
  } else if (lead == 0xED) {
    need = 3, second_hi = 0x9F;
  } else if (lead == 0xF0) {
    need = 4, second_lo = 0x90;
  } else if (in_range(lead, 0xF1, 0xF3)) {
    need = 4;
  } else if (lead == 0xF4) {
    need = 4, second_hi = 0x8F;
  } else {
    return {1, false};  // 0x80..0xC1 and 0xF5..0xFF never start a character
  }
  if (avail < 2 || !in_range(p[1], second_lo, second_hi)) return {1, false};
  for (std::size_t i = 2; i < need; ++i) {
    if (i >= avail || !in_range(p[i], 0x80, 0xBF)) return {i, false};
  }
  return {need, true};
}

// The index of the first byte of `word` (8 bytes as loaded from memory) at or above 0x80,
// given that there is one.
inline std::size_t first_high_byte(std::uint64_t word) noexcept {
  const std::uint64_t high = word & kHighBits;
  if constexpr (std::endian::native == std::endian::little) {
    return static_cast<std::size_t>(std::countr_zero(high)) / 8;
  } else {
    return static_cast<std::size_t>(std::countl_zero(high)) / 8;
  }
}

// Two words at a time: as fast as a 16-byte vector here, and the same on every processor.
std::size_t ascii_prefix(const std::uint8_t* p, std::size_t n) noexcept {
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    std::uint64_t first, second;
    std::memcpy(&first, p + i, 8);
    std::memcpy(&second, p + i + 8, 8);
    if ((first | second) & kHighBits) {
      return first & kHighBits ? i + first_high_byte(first) : i + 8 + first_high_byte(second);
    }
  }
  for (; i + 8 <= n; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, p + i, 8);
    if (word & kHighBits) return i + first_high_byte(word);
  }
  while (i < n && p[i] < 0x80) ++i;
  return i;
}

inline bool is_continuation(std::uint8_t b) noexcept { return (b & 0xC0) == 0x80; }

}  // namespace

std::size_t utf8_valid_prefix(std::string_view bytes) noexcept {
  const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (true) {
    i += ascii_prefix(p + i, n - i);
    if (i == n) return n;
    // Two-byte characters and the three-byte ones without special second-byte ranges are
    // most of the non-ASCII text there is; they are checked inline, the rest in full.
    const std::uint8_t lead = p[i];
    if (in_range(lead, 0xC2, 0xDF) && i + 1 < n && is_continuation(p[i + 1])) {
      i += 2;
      continue;
    }
    if (in_range(lead, 0xE1, 0xEC) && i + 2 < n && is_continuation(p[i + 1]) && is_continuation(p[i + 2])) {
      i += 3;
      continue;
    }
    const Sequence s = next_sequence(p + i, n - i);
    if (!s.valid) return i;
    i += s.length;
  }
}

std::size_t append_utf8_replacing_invalid(std::string& out, std::string_view bytes) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0, replaced = 0;
  while (i < n) {
    const std::size_t run = utf8_valid_prefix(bytes.substr(i));
    out.append(bytes.data() + i, run);
    i += run;
    if (i == n) break;
    const Sequence s = next_sequence(p + i, n - i);
    out.append(kReplacement);
    ++replaced;
    i += s.length;
  }
  return replaced;
}

void append_latin1_char(std::string& out, std::uint8_t byte) {
  if (byte < 0x80) {
    out.push_back(static_cast<char>(byte));
  } else {
    out.push_back(static_cast<char>(0xC0 | (byte >> 6)));
    out.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
  }
}

std::string latin1_char(std::uint8_t byte) {
  std::string s;
  append_latin1_char(s, byte);
  return s;
}

}  // namespace rowmender
