#pragma once
// Unicode White_Space, for telling blank texts from the rest.

#include <cstdint>
#include <string_view>

namespace rowmender {

// True for any character with the Unicode White_Space property.
bool is_unicode_white_space(char32_t c) noexcept;

// Whether a text handed over in pieces is made of White_Space characters only. The text is
// raw bytes: an ill-formed sequence would be read as U+FFFD, which is not White_Space, so
// it makes the text not blank. A character may be split between two pieces.
class WhiteSpaceRun {
 public:
  void feed(std::string_view bytes) noexcept;
  // After the last piece: every character so far is White_Space, none left unfinished.
  bool all_white_space() const noexcept { return possible_ && needed_ == 0; }
  // Whether more pieces could still leave the text blank; feeding can stop once false.
  bool possible() const noexcept { return possible_; }

 private:
  bool possible_ = true;
  unsigned needed_ = 0;   // continuation bytes the character being read still needs
  unsigned length_ = 0;   // its length in bytes
  char32_t partial_ = 0;  // its bits so far
};

}  // namespace rowmender
