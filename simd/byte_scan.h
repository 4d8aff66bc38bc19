#pragma once
// Kernels that find the next byte that matters. The parser's rules look at only a handful
// of byte values; everything between them is copied in bulk. SSE2 is part of x86-64, so it
// is used there; other targets use the plain loop.

#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace rowmender {

// Index of the first byte in [from, end) equal to a, b, c or d; `end` when there is none.
inline std::size_t find_first_of4(const char* data, std::size_t from, std::size_t end, char a, char b, char c,
                                  char d) noexcept {
  std::size_t i = from;
#if defined(__SSE2__)
  const __m128i va = _mm_set1_epi8(a), vb = _mm_set1_epi8(b), vc = _mm_set1_epi8(c), vd = _mm_set1_epi8(d);
  while (i + 16 <= end) {
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
    const __m128i hits = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(chunk, va), _mm_cmpeq_epi8(chunk, vb)),
                                      _mm_or_si128(_mm_cmpeq_epi8(chunk, vc), _mm_cmpeq_epi8(chunk, vd)));
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hits));
    if (mask != 0) return i + static_cast<std::size_t>(__builtin_ctz(mask));
    i += 16;
  }
#endif
  for (; i < end; ++i) {
    const char x = data[i];
    if (x == a || x == b || x == c || x == d) return i;
  }
  return end;
}

inline std::size_t find_first_of3(const char* data, std::size_t from, std::size_t end, char a, char b,
                                  char c) noexcept {
  return find_first_of4(data, from, end, a, b, c, c);
}

inline std::size_t find_first_of2(const char* data, std::size_t from, std::size_t end, char a, char b) noexcept {
  return find_first_of3(data, from, end, a, b, b);
}

inline std::size_t find_byte(const char* data, std::size_t from, std::size_t end, char a) noexcept {
  return find_first_of3(data, from, end, a, a, a);
}

}  // namespace rowmender
