#pragma once
// Eight bytes in a 64-bit word, for processors without a vector unit this project has
// kernels for: each operation is a few whole-word steps instead of eight byte steps.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace rowmender::simd::scalar {

struct Bytes {
  static constexpr std::size_t kLanes = 8;
  // Lane i in bits 8i to 8i + 7, whatever the machine's byte order.
  std::uint64_t word;

  static Bytes load(const char* p) noexcept {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
    return {word};
  }
  static Bytes splat(char c) noexcept { return {kEveryLane * static_cast<std::uint8_t>(c)}; }

  friend Bytes operator|(Bytes a, Bytes b) noexcept { return {a.word | b.word}; }
  // A lane of a ^ b is zero where the bytes are equal. Adding 0x7F to its low seven bits
  // sets its top bit unless they are all zero, and never carries into the next lane.
  friend Bytes operator==(Bytes a, Bytes b) noexcept {
    const std::uint64_t differ = a.word ^ b.word;
    return {~(((differ & kLowBits) + kLowBits) | differ) & kTopBits};
  }

  // Each lane's top bit moved to the lane's bottom; the multiplication then adds lane i's bit
  // into bit 56 + i, and no two of the products it sums overlap.
  std::uint64_t top_bits() const noexcept { return ((word & kTopBits) >> 7) * 0x0102040810204080ULL >> 56; }

 private:
  static constexpr std::uint64_t kEveryLane = 0x0101010101010101ULL;
  static constexpr std::uint64_t kLowBits = 0x7F7F7F7F7F7F7F7FULL;
  static constexpr std::uint64_t kTopBits = 0x8080808080808080ULL;
};

}  // namespace rowmender::simd::scalar
