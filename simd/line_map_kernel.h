#pragma once
// The line-map kernel, for every target's vector of bytes. Included only by the kernels of
// the targets (simd/*/kernels.cpp).

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "simd/byte_vector.h"
#include "simd/line_map.h"

namespace rowmender::simd::kernels {

// What one 64-byte block holds, a bit per byte.
struct BlockBits {
  std::uint64_t quotes, delimiters, breaks, high;
};

template <ByteVector Bytes>
BlockBits classify_block(const char* block, Bytes delimiter, Bytes quote) noexcept {
  const Bytes lf = Bytes::splat('\n'), cr = Bytes::splat('\r');
  BlockBits bits{0, 0, 0, 0};
  for (std::size_t lane = 0; lane < 64; lane += Bytes::kLanes) {
    const Bytes chunk = Bytes::load(block + lane);
    bits.quotes |= (chunk == quote).top_bits() << lane;
    bits.delimiters |= (chunk == delimiter).top_bits() << lane;
    bits.breaks |= ((chunk == lf) | (chunk == cr)).top_bits() << lane;
    bits.high |= chunk.top_bits() << lane;
  }
  return bits;
}

// Maps the line of `input` that starts at `begin` and ends before the first CR or LF, or at
// the end of the input. False when the line has LineMap::kMaxBytes bytes or more.
template <ByteVector Bytes>
bool map_line(const char* input, std::size_t begin, std::size_t input_size, char delimiter, char quote,
              LineMap& map) noexcept {
  const Bytes delimiters = Bytes::splat(delimiter), quotes = Bytes::splat(quote);
  map.non_ascii = false;
  for (std::size_t w = 0; w < LineMap::kMaxWords; ++w) {
    const std::size_t at = begin + w * 64;
    BlockBits block;
    if (input_size - at >= 64) {
      block = classify_block(input + at, delimiters, quotes);
    } else {
      // The input's last bytes, padded; the padding is masked off, whatever its value.
      alignas(64) char padded[64] = {};
      const std::size_t left = input_size - at;
      std::memcpy(padded, input + at, left);
      block = classify_block(padded, delimiters, quotes);
      const std::uint64_t real = left == 0 ? 0 : ~std::uint64_t{0} >> (64 - left);
      block.quotes &= real;
      block.delimiters &= real;
      block.high &= real;
      block.breaks |= ~real;  // the end of the input ends the line
    }
    if (block.breaks != 0) {
      const std::uint64_t before = (block.breaks & (0 - block.breaks)) - 1;
      map.quotes[w] = block.quotes & before;
      map.delimiters[w] = block.delimiters & before;
      map.non_ascii |= (block.high & before) != 0;
      map.size = w * 64 + static_cast<std::size_t>(__builtin_ctzll(block.breaks));
      map.words = w + 1;
      return true;
    }
    map.quotes[w] = block.quotes;
    map.delimiters[w] = block.delimiters;
    map.non_ascii |= block.high != 0;
  }
  return false;
}

}  // namespace rowmender::simd::kernels
