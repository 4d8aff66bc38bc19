#pragma once
// A yes-or-no UTF-8 check for text that is almost always valid. utf8_valid_prefix walks
// the text character by character, and on text with many non-ASCII letters its branches
// are mispredicted about once per character; this check classifies 16 bytes at a time with
// table lookups and no branch per character, on processors with SSSE3 (found at run time),
// and falls back to utf8_valid_prefix elsewhere.

#include <string_view>

namespace rowmender {

// True when `bytes` is well-formed UTF-8 throughout (no truncated sequence at its end).
bool is_valid_utf8(std::string_view bytes) noexcept;

}  // namespace rowmender
