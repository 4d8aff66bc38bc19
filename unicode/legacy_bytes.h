#pragma once
// A single-byte legacy encoding (cp1252, latin-1, cp1251...) as a table from its 128 upper
// bytes to UTF-8, for files that are UTF-8 but for rows appended in such an encoding: those
// rows are read in it rather than having their bytes replaced.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace rowmender {

class LegacyBytes {
 public:
  // `upper` holds the characters bytes 0x80 to 0xFF stand for, each as UTF-8 (at most four
  // bytes; an empty one is a byte the encoding leaves undefined, read as U+FFFD).
  void set(std::uint8_t byte, std::string_view upper) noexcept;

  // Appends `bytes` read in this encoding (ASCII as it is) to `out` as UTF-8.
  void append_utf8(std::string& out, std::string_view bytes) const;

 private:
  std::array<std::array<char, 4>, 128> utf8_{};
  std::array<std::uint8_t, 128> size_{};
};

}  // namespace rowmender
