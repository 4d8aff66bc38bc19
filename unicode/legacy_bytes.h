#pragma once
// A single-byte legacy encoding (cp1252, latin-1, cp1251...) as a table from its 128 upper
// bytes to UTF-8, for files that are UTF-8 but for rows appended in such an encoding: those
// rows are read in it rather than having their bytes replaced. Or the other way round, for
// a file in such an encoding with rows appended by a program that writes UTF-8: each row is
// read in the encoding unless it is UTF-8 that spells only characters the encoding has.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace rowmender {

class LegacyBytes {
 public:
  // `upper` holds the characters bytes 0x80 to 0xFF stand for, each as UTF-8 (at most four
  // bytes; an empty one is a byte the encoding leaves undefined, read as U+FFFD).
  void set(std::uint8_t byte, std::string_view upper) noexcept;

  // Appends `bytes` read in this encoding (ASCII as it is) to `out` as UTF-8; a byte the
  // encoding leaves undefined becomes U+FFFD. Returns how many did.
  std::size_t append_utf8(std::string& out, std::string_view bytes) const;

  // Whether the encoding is the file's own rather than that of rows appended to UTF-8.
  bool is_file_encoding() const noexcept { return file_encoding_; }
  void set_file_encoding(bool own) noexcept { file_encoding_ = own; }

  // Whether every character of `utf8`, valid UTF-8, is ASCII or one the encoding has: the
  // same language's text, written as UTF-8. Text in the encoding that happens to be valid
  // UTF-8 reads as characters of other scripts ("CAFÉ" and a no-break space, "CAFɠ").
  bool spells(std::string_view utf8) const noexcept;

 private:
  std::array<std::array<char, 4>, 128> utf8_{};
  std::array<std::uint8_t, 128> size_{};
  bool file_encoding_ = false;
};

}  // namespace rowmender
