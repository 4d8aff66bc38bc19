#pragma once
// Sixteen bytes in an SSE register. Only simd/sse/kernels.cpp, compiled for SSSE3, includes
// this.

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

namespace rowmender::simd::sse {

struct Bytes {
  static constexpr std::size_t kLanes = 16;
  __m128i value;

  static Bytes load(const char* p) noexcept { return {_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))}; }
  static Bytes splat(char c) noexcept { return {_mm_set1_epi8(c)}; }
  static Bytes zero() noexcept { return {_mm_setzero_si128()}; }
  static Bytes repeat_16(const std::uint8_t (&table)[16]) noexcept {
    return {_mm_loadu_si128(reinterpret_cast<const __m128i*>(table))};
  }

  friend Bytes operator==(Bytes a, Bytes b) noexcept { return {_mm_cmpeq_epi8(a.value, b.value)}; }
  friend Bytes operator|(Bytes a, Bytes b) noexcept { return {_mm_or_si128(a.value, b.value)}; }
  friend Bytes operator&(Bytes a, Bytes b) noexcept { return {_mm_and_si128(a.value, b.value)}; }
  friend Bytes operator^(Bytes a, Bytes b) noexcept { return {_mm_xor_si128(a.value, b.value)}; }

  std::uint64_t top_bits() const noexcept { return static_cast<std::uint16_t>(_mm_movemask_epi8(value)); }
  bool is_zero() const noexcept { return _mm_movemask_epi8(_mm_cmpeq_epi8(value, _mm_setzero_si128())) == 0xFFFF; }

  Bytes lookup_16(Bytes table) const noexcept { return {_mm_shuffle_epi8(table.value, value)}; }
  // There is no shift of bytes: the 16-bit lanes are shifted, and the bits that came from
  // the neighbouring byte masked off.
  Bytes high_nibbles() const noexcept { return {_mm_and_si128(_mm_srli_epi16(value, 4), _mm_set1_epi8(0x0F))}; }
  Bytes low_nibbles() const noexcept { return {_mm_and_si128(value, _mm_set1_epi8(0x0F))}; }
  Bytes saturating_sub(Bytes b) const noexcept { return {_mm_subs_epu8(value, b.value)}; }

  template <int N>
  Bytes previous_lanes(Bytes previous) const noexcept {
    return {_mm_alignr_epi8(value, previous.value, 16 - N)};
  }
};

}  // namespace rowmender::simd::sse
