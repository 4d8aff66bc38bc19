#pragma once
// One pass over a physical line that gathers what decides how the line may be handled: where
// it ends, how many delimiters it holds, and whether it has any quote or non-ASCII byte.
// SSE2 where there is SSE2, the plain loop elsewhere and for the last few bytes.

#include <bit>
#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace rowmender {

struct LineScan {
  std::size_t end = 0;             // the first CR or LF at or after the start, or the size
  std::uint64_t delimiters = 0;    // delimiter bytes before `end`
  bool has_quote = false;          // a quote byte before `end`
  bool has_non_ascii = false;      // a byte of 0x80 or more before `end`
};

inline LineScan scan_line(const char* data, std::size_t begin, std::size_t size, char delimiter,
                          char quote) noexcept {
  LineScan scan;
  std::size_t i = begin;
#if defined(__SSE2__)
  const __m128i lf = _mm_set1_epi8('\n'), cr = _mm_set1_epi8('\r');
  const __m128i delimiters = _mm_set1_epi8(delimiter), quotes = _mm_set1_epi8(quote);
  // Whole chunks before the line's end count their delimiters in byte lanes (each match is
  // -1, subtracted), summed before a lane could overflow.
  __m128i lane_counts = _mm_setzero_si128(), seen_quote = _mm_setzero_si128(), seen_high = _mm_setzero_si128();
  unsigned chunks_counted = 0;
  const auto sum_lanes = [&] {
    const __m128i sums = _mm_sad_epu8(lane_counts, _mm_setzero_si128());
    scan.delimiters += static_cast<std::uint64_t>(_mm_cvtsi128_si32(sums)) +
                       static_cast<std::uint64_t>(_mm_cvtsi128_si32(_mm_unpackhi_epi64(sums, sums)));
    lane_counts = _mm_setzero_si128();
    chunks_counted = 0;
  };
  while (i + 16 <= size) {
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
    const __m128i is_delimiter = _mm_cmpeq_epi8(chunk, delimiters);
    const __m128i is_quote = _mm_cmpeq_epi8(chunk, quotes);
    const unsigned breaks =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(chunk, lf), _mm_cmpeq_epi8(chunk, cr))));
    if (breaks != 0) {
      const unsigned before = (breaks & (0u - breaks)) - 1;  // the bits below the first break
      scan.delimiters += static_cast<unsigned>(std::popcount(static_cast<unsigned>(_mm_movemask_epi8(is_delimiter)) & before));
      scan.has_quote = (static_cast<unsigned>(_mm_movemask_epi8(is_quote)) & before) != 0;
      scan.has_non_ascii = (static_cast<unsigned>(_mm_movemask_epi8(chunk)) & before) != 0;
      sum_lanes();
      scan.has_quote |= _mm_movemask_epi8(seen_quote) != 0;
      scan.has_non_ascii |= _mm_movemask_epi8(seen_high) != 0;
      scan.end = i + static_cast<std::size_t>(std::countr_zero(breaks));
      return scan;
    }
    lane_counts = _mm_sub_epi8(lane_counts, is_delimiter);
    seen_quote = _mm_or_si128(seen_quote, is_quote);
    seen_high = _mm_or_si128(seen_high, chunk);
    if (++chunks_counted == 255) sum_lanes();
    i += 16;
  }
  sum_lanes();
  scan.has_quote = _mm_movemask_epi8(seen_quote) != 0;
  scan.has_non_ascii = _mm_movemask_epi8(seen_high) != 0;
#endif
  for (; i < size; ++i) {
    const char c = data[i];
    if (c == '\n' || c == '\r') break;
    scan.delimiters += c == delimiter;
    scan.has_quote |= c == quote;
    scan.has_non_ascii |= static_cast<unsigned char>(c) >= 0x80;
  }
  scan.end = i;
  return scan;
}

}  // namespace rowmender
