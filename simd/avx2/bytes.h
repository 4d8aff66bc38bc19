#pragma once
// Thirty-two bytes in an AVX2 register. Only simd/avx2/kernels.cpp, compiled for AVX2,
// includes this.

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

namespace rowmender::simd::avx2 {

struct Bytes {
  static constexpr std::size_t kLanes = 32;
  __m256i value;

  static Bytes load(const char* p) noexcept { return {_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p))}; }
  static Bytes splat(char c) noexcept { return {_mm256_set1_epi8(c)}; }
  static Bytes zero() noexcept { return {_mm256_setzero_si256()}; }
  static Bytes repeat_16(const std::uint8_t (&table)[16]) noexcept {
    return {_mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(table)))};
  }

  friend Bytes operator==(Bytes a, Bytes b) noexcept { return {_mm256_cmpeq_epi8(a.value, b.value)}; }
  friend Bytes operator|(Bytes a, Bytes b) noexcept { return {_mm256_or_si256(a.value, b.value)}; }
  friend Bytes operator&(Bytes a, Bytes b) noexcept { return {_mm256_and_si256(a.value, b.value)}; }
  friend Bytes operator^(Bytes a, Bytes b) noexcept { return {_mm256_xor_si256(a.value, b.value)}; }

  std::uint64_t top_bits() const noexcept { return static_cast<std::uint32_t>(_mm256_movemask_epi8(value)); }
  bool is_zero() const noexcept { return _mm256_testz_si256(value, value) != 0; }

  // The lookup works within each 16-byte half, which is why the table is in both halves.
  Bytes lookup_16(Bytes table) const noexcept { return {_mm256_shuffle_epi8(table.value, value)}; }
  Bytes high_nibbles() const noexcept {
    return {_mm256_and_si256(_mm256_srli_epi16(value, 4), _mm256_set1_epi8(0x0F))};
  }
  Bytes low_nibbles() const noexcept { return {_mm256_and_si256(value, _mm256_set1_epi8(0x0F))}; }
  Bytes saturating_sub(Bytes b) const noexcept { return {_mm256_subs_epu8(value, b.value)}; }

  // alignr also works within each half: what comes before this vector's upper half is its
  // own lower half, and before its lower half the upper half of `previous`.
  template <int N>
  Bytes previous_lanes(Bytes previous) const noexcept {
    const __m256i before = _mm256_permute2x128_si256(previous.value, value, 0x21);
    return {_mm256_alignr_epi8(value, before, 16 - N)};
  }
};

}  // namespace rowmender::simd::avx2
