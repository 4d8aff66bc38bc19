#pragma once
// What a kernel may ask of a target's vector of bytes. Each kernel is written once, as a
// template over this vector, and compiled once per target (simd/scalar, simd/neon, simd/sse,
// simd/avx2), each with the instructions of its own processor: the kernels say what they do
// once, and only the few lines that spell an operation for a processor differ.

#include <concepts>
#include <cstddef>
#include <cstdint>

namespace rowmender::simd {

// kLanes bytes, lane 0 first in memory. A comparison gives a vector whose lanes have their
// top bit set where it holds (the other bits are the target's business), so that comparisons
// combine with | and are read with top_bits(): the top bit of lane i as bit i.
template <typename Bytes>
concept ByteVector = requires(Bytes v, const char* p, char c) {
  requires Bytes::kLanes == 8 || Bytes::kLanes == 16 || Bytes::kLanes == 32;
  { Bytes::load(p) } -> std::same_as<Bytes>;   // kLanes bytes, unaligned
  { Bytes::splat(c) } -> std::same_as<Bytes>;  // c in every lane
  { v == v } -> std::same_as<Bytes>;
  { v | v } -> std::same_as<Bytes>;
  { v.top_bits() } -> std::same_as<std::uint64_t>;
};

// What the table-driven UTF-8 check needs besides: lanes as numbers, each 16 lanes looked up
// in a 16-entry table, and the lanes just before each lane.
template <typename Bytes>
concept TableByteVector = ByteVector<Bytes> && requires(Bytes v, const std::uint8_t (&table)[16]) {
  { Bytes::zero() } -> std::same_as<Bytes>;
  { (v & v) } -> std::same_as<Bytes>;
  { v ^ v } -> std::same_as<Bytes>;
  { Bytes::repeat_16(table) } -> std::same_as<Bytes>;  // the table in each 16 lanes
  { v.lookup_16(v) } -> std::same_as<Bytes>;           // lane i: the table's entry number lane i (0 to 15)
  { v.high_nibbles() } -> std::same_as<Bytes>;
  { v.low_nibbles() } -> std::same_as<Bytes>;
  { v.saturating_sub(v) } -> std::same_as<Bytes>;  // lane by lane, floored at 0
  // Lane i: lane i - N of this vector, or for i < N lane kLanes + i - N of `previous`.
  { v.template previous_lanes<1>(v) } -> std::same_as<Bytes>;
  { v.is_zero() } -> std::same_as<bool>;
};

}  // namespace rowmender::simd
