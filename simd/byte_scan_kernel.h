#pragma once
// The byte-scan kernel, for every target's vector of bytes. Included only by the kernels of
// the targets (simd/*/kernels.cpp).

#include <cstddef>
#include <cstdint>

#include "simd/byte_vector.h"

namespace rowmender::simd::kernels {

// Index of the first byte in [from, end) equal to a, b, c or d; `end` when there is none.
template <ByteVector Bytes>
std::size_t find_first_of4(const char* data, std::size_t from, std::size_t end, char a, char b, char c,
                           char d) noexcept {
  std::size_t i = from;
  if (end - i >= Bytes::kLanes) {
    const Bytes va = Bytes::splat(a), vb = Bytes::splat(b), vc = Bytes::splat(c), vd = Bytes::splat(d);
    for (; i + Bytes::kLanes <= end; i += Bytes::kLanes) {
      const Bytes chunk = Bytes::load(data + i);
      const std::uint64_t hits = (((chunk == va) | (chunk == vb)) | ((chunk == vc) | (chunk == vd))).top_bits();
      if (hits != 0) return i + static_cast<std::size_t>(__builtin_ctzll(hits));
    }
  }
  for (; i < end; ++i) {
    const char x = data[i];
    if (x == a || x == b || x == c || x == d) return i;
  }
  return end;
}

}  // namespace rowmender::simd::kernels
