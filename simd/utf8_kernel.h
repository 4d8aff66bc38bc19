#pragma once
// The UTF-8 check by table lookups, for every target whose vector of bytes can look up
// tables. Included only by the kernels of those targets (simd/*/kernels.cpp).
//
// Every ill-formed pair of a byte and the byte before it sets at least one error bit when
// three lookups (high nibble of the previous byte, its low nibble, high nibble of this byte)
// are ANDed; the check then has no branch per character, where a decoder walking the text
// mispredicts about once per character of non-ASCII text.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "simd/byte_vector.h"

namespace rowmender::simd::kernels {

// The error bits, one per kind of fault:
constexpr std::uint8_t kTooShort = 1 << 0;      // a lead byte, then no continuation byte
constexpr std::uint8_t kTooLong = 1 << 1;       // ASCII, then a continuation byte
constexpr std::uint8_t kOverlong3 = 1 << 2;     // E0 followed by 80..9F
constexpr std::uint8_t kTooLarge = 1 << 3;      // F4 followed by 90..BF, or F5..FF
constexpr std::uint8_t kSurrogate = 1 << 4;     // ED followed by A0..BF
constexpr std::uint8_t kOverlong2 = 1 << 5;     // C0 or C1
constexpr std::uint8_t kTooLarge1000 = 1 << 6;  // F5..FF followed by 80..8F
constexpr std::uint8_t kOverlong4 = 1 << 6;     // F0 followed by 80..8F
constexpr std::uint8_t kTwoContinuations = 1 << 7;
constexpr std::uint8_t kCarry = kTooShort | kTooLong | kTwoContinuations;

// The three lookup tables, indexed by a nibble.
constexpr std::uint8_t kByte1High[16] = {kTooLong,
                                         kTooLong,
                                         kTooLong,
                                         kTooLong,
                                         kTooLong,
                                         kTooLong,
                                         kTooLong,
                                         kTooLong,
                                         kTwoContinuations,
                                         kTwoContinuations,
                                         kTwoContinuations,
                                         kTwoContinuations,
                                         kTooShort | kOverlong2,
                                         kTooShort,
                                         kTooShort | kOverlong3 | kSurrogate,
                                         kTooShort | kTooLarge | kTooLarge1000 | kOverlong4};
constexpr std::uint8_t kByte1Low[16] = {kCarry | kOverlong3 | kOverlong2 | kOverlong4,
                                        kCarry | kOverlong2,
                                        kCarry,
                                        kCarry,
                                        kCarry | kTooLarge,
                                        kCarry | kTooLarge | kTooLarge1000,
                                        kCarry | kTooLarge | kTooLarge1000,
                                        kCarry | kTooLarge | kTooLarge1000,
                                        kCarry | kTooLarge | kTooLarge1000,
                                        kCarry | kTooLarge | kTooLarge1000,
                                        kCarry | kTooLarge | kTooLarge1000,
                                        kCarry | kTooLarge | kTooLarge1000,
                                        kCarry | kTooLarge | kTooLarge1000,
                                        kCarry | kTooLarge | kTooLarge1000 | kSurrogate,
                                        kCarry | kTooLarge | kTooLarge1000,
                                        kCarry | kTooLarge | kTooLarge1000};
constexpr std::uint8_t kByte2High[16] = {
    kTooShort,
    kTooShort,
    kTooShort,
    kTooShort,
    kTooShort,
    kTooShort,
    kTooShort,
    kTooShort,
    kTooLong | kOverlong2 | kTwoContinuations | kOverlong3 | kTooLarge1000 | kOverlong4,
    kTooLong | kOverlong2 | kTwoContinuations | kOverlong3 | kTooLarge,
    kTooLong | kOverlong2 | kTwoContinuations | kSurrogate | kTooLarge,
    kTooLong | kOverlong2 | kTwoContinuations | kSurrogate | kTooLarge,
    kTooShort,
    kTooShort,
    kTooShort,
    kTooShort};

// Two continuation bytes in a row are right only as the 2nd and 3rd byte after a lead of
// three or four bytes: exactly where the byte two back is E0..FF or three back F0..FF.
constexpr char kThirdByteFloor = static_cast<char>(0xE0 - 0x80);
constexpr char kFourthByteFloor = static_cast<char>(0xF0 - 0x80);

// The error bits of the lanes of `input`, given the lanes before them.
template <TableByteVector Bytes>
Bytes chunk_errors(Bytes input, Bytes previous) noexcept {
  const Bytes prev1 = input.template previous_lanes<1>(previous);
  const Bytes special = prev1.high_nibbles().lookup_16(Bytes::repeat_16(kByte1High)) &
                        prev1.low_nibbles().lookup_16(Bytes::repeat_16(kByte1Low)) &
                        input.high_nibbles().lookup_16(Bytes::repeat_16(kByte2High));
  const Bytes third_byte = input.template previous_lanes<2>(previous).saturating_sub(Bytes::splat(kThirdByteFloor));
  const Bytes fourth_byte = input.template previous_lanes<3>(previous).saturating_sub(Bytes::splat(kFourthByteFloor));
  const Bytes must_continue = (third_byte | fourth_byte) & Bytes::splat(static_cast<char>(0x80));
  return must_continue ^ special;
}

// True when the `size` bytes at `data` are well-formed UTF-8 throughout (no truncated
// sequence at their end).
template <TableByteVector Bytes>
bool is_valid_utf8(const char* data, std::size_t size) noexcept {
  Bytes previous = Bytes::zero();
  Bytes errors = Bytes::zero();
  std::size_t i = 0;
  for (; i + Bytes::kLanes <= size; i += Bytes::kLanes) {
    const Bytes input = Bytes::load(data + i);
    errors = errors | chunk_errors(input, previous);
    previous = input;
  }
  // The rest, padded with zeros, and one vector of zeros after it: a zero after a lead byte
  // is the fault of a sequence cut short, so text that ends inside a character is caught.
  char tail[Bytes::kLanes] = {};
  if (size > i) std::memcpy(tail, data + i, size - i);
  const Bytes last = Bytes::load(tail);
  errors = errors | chunk_errors(last, previous) | chunk_errors(Bytes::zero(), last);
  return errors.is_zero();
}

}  // namespace rowmender::simd::kernels
