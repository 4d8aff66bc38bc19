#pragma once
// Sixteen bytes in a NEON register. Every 64-bit ARM processor has NEON, so no processor
// check is needed and simd/neon/kernels.cpp is compiled with the build's own flags.

#include <arm_neon.h>

#include <cstddef>
#include <cstdint>

namespace rowmender::simd::neon {

struct Bytes {
  static constexpr std::size_t kLanes = 16;
  uint8x16_t value;

  static Bytes load(const char* p) noexcept { return {vld1q_u8(reinterpret_cast<const std::uint8_t*>(p))}; }
  static Bytes splat(char c) noexcept { return {vdupq_n_u8(static_cast<std::uint8_t>(c))}; }
  static Bytes zero() noexcept { return {vdupq_n_u8(0)}; }
  static Bytes repeat_16(const std::uint8_t (&table)[16]) noexcept { return {vld1q_u8(table)}; }

  friend Bytes operator==(Bytes a, Bytes b) noexcept { return {vceqq_u8(a.value, b.value)}; }
  friend Bytes operator|(Bytes a, Bytes b) noexcept { return {vorrq_u8(a.value, b.value)}; }
  friend Bytes operator&(Bytes a, Bytes b) noexcept { return {vandq_u8(a.value, b.value)}; }
  friend Bytes operator^(Bytes a, Bytes b) noexcept { return {veorq_u8(a.value, b.value)}; }

  // NEON cannot gather a bit from each lane in one step: each lane with its top bit set keeps
  // its own bit of a byte (1, 2, 4 ... 128 in each half), and each half is summed into a byte.
  std::uint64_t top_bits() const noexcept {
    const uint8x8_t weights = vcreate_u8(0x8040201008040201ULL);
    const uint8x16_t set = vreinterpretq_u8_s8(vshrq_n_s8(vreinterpretq_s8_u8(value), 7));
    const uint8x16_t bits = vandq_u8(set, vcombine_u8(weights, weights));
    return std::uint64_t{vaddv_u8(vget_low_u8(bits))} | std::uint64_t{vaddv_u8(vget_high_u8(bits))} << 8;
  }
  bool is_zero() const noexcept { return vmaxvq_u8(value) == 0; }

  Bytes lookup_16(Bytes table) const noexcept { return {vqtbl1q_u8(table.value, value)}; }
  Bytes high_nibbles() const noexcept { return {vshrq_n_u8(value, 4)}; }
  Bytes low_nibbles() const noexcept { return {vandq_u8(value, vdupq_n_u8(0x0F))}; }
  Bytes saturating_sub(Bytes b) const noexcept { return {vqsubq_u8(value, b.value)}; }

  template <int N>
  Bytes previous_lanes(Bytes previous) const noexcept {
    return {vextq_u8(previous.value, value, 16 - N)};
  }
};

}  // namespace rowmender::simd::neon
