#pragma once
// A yes-or-no UTF-8 check for text that is almost always valid. utf8_valid_prefix walks
// the text character by character, and on text with many non-ASCII letters its branches
// are mispredicted about once per character; this check classifies 16 bytes (SSSE3) or 32
// bytes (AVX2) at a time with table lookups and no branch per character, on processors that
// have those instructions (found at run time), and falls back to utf8_valid_prefix elsewhere.

#include <string_view>

namespace rowmender {

// True when `bytes` is well-formed UTF-8 throughout (no truncated sequence at its end).
bool is_valid_utf8(std::string_view bytes) noexcept;

// Each kernel on its own, so that all of them can be tested on one machine.
namespace utf8_check_detail {
enum class Kernel { Scalar, Ssse3, Avx2 };
bool supported(Kernel kernel) noexcept;
bool is_valid_utf8_with(Kernel kernel, std::string_view bytes) noexcept;
}  // namespace utf8_check_detail

}  // namespace rowmender
