#pragma once
// The number of set bits of a word, inline on every processor.

#include <bit>
#include <cstdint>

namespace rowmender {

inline unsigned count_bits(std::uint64_t x) noexcept {
#if defined(__POPCNT__) || defined(__aarch64__)
  return static_cast<unsigned>(std::popcount(x));
#else
  // Where the build may not assume the instruction (x86 without POPCNT, for one),
  // std::popcount is a library call; this is a few operations.
  x -= (x >> 1) & 0x5555555555555555ULL;
  x = (x & 0x3333333333333333ULL) + ((x >> 2) & 0x3333333333333333ULL);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0FULL;
  return static_cast<unsigned>((x * 0x0101010101010101ULL) >> 56);
#endif
}

}  // namespace rowmender
