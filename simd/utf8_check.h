#pragma once
// A yes-or-no UTF-8 check for text that is almost always valid: the kernel of the active
// implementation (simd/implementation.h). Where the processor has SSSE3 or AVX2 it
// classifies 16 or 32 bytes at a time with table lookups and no branch per character;
// elsewhere it is utf8_valid_prefix.

#include <string_view>

#include "simd/implementation.h"

namespace rowmender {

// True when `bytes` is well-formed UTF-8 throughout (no truncated sequence at its end).
inline bool is_valid_utf8(std::string_view bytes) noexcept {
  return simd::active().is_valid_utf8(bytes.data(), bytes.size());
}

}  // namespace rowmender
