#pragma once
// Where the quotes and the delimiters of one line are, as bitmaps: bit i % 64 of word i / 64
// stands for byte i of the line. Built in one SIMD pass; questions about the line's
// structure (the next quote, the next delimiter, is there a quote here) are then answered
// with a few bit operations instead of scanning bytes again.

#include <bit>
#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace rowmender {

class LineBits {
 public:
  // Lines longer than this are not mapped; the bitmaps live on the stack.
  static constexpr std::size_t kMaxBytes = 4096;

  // Maps the `size` bytes at `line` (at most kMaxBytes).
  LineBits(const char* line, std::size_t size, char delimiter, char quote) noexcept : size_(size) {
    for (std::size_t block = 0; block < size; block += 64) {
      // Each 64-byte block is gathered in registers and stored once.
      std::uint64_t q = 0, d = 0;
      std::size_t i = block;
      const std::size_t block_end = size - block < 64 ? size : block + 64;
#if defined(__SSE2__)
      const __m128i delimiters = _mm_set1_epi8(delimiter), quotes = _mm_set1_epi8(quote);
      for (; i + 16 <= block_end; i += 16) {
        const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(line + i));
        const unsigned shift = static_cast<unsigned>(i - block);
        q |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, quotes)))} << shift;
        d |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, delimiters)))}
             << shift;
      }
#endif
      for (; i < block_end; ++i) {
        q |= std::uint64_t{line[i] == quote} << (i - block);
        d |= std::uint64_t{line[i] == delimiter} << (i - block);
      }
      quotes_[block / 64] = q;
      delimiters_[block / 64] = d;
    }
  }

  std::size_t size() const noexcept { return size_; }
  bool quote_at(std::size_t i) const noexcept { return i < size_ && bit(quotes_, i); }
  bool delimiter_at(std::size_t i) const noexcept { return i < size_ && bit(delimiters_, i); }
  // The first quote or delimiter at or after `from`; size() when there is none.
  std::size_t next_quote(std::size_t from) const noexcept { return next(quotes_, from); }
  std::size_t next_delimiter(std::size_t from) const noexcept { return next(delimiters_, from); }
  std::size_t next_quote_or_delimiter(std::size_t from) const noexcept {
    return next(from, [this](std::size_t w) { return quotes_[w] | delimiters_[w]; });
  }

 private:
  static bool bit(const std::uint64_t* words, std::size_t i) noexcept { return (words[i / 64] >> (i % 64)) & 1; }

  std::size_t next(const std::uint64_t* words, std::size_t from) const noexcept {
    return next(from, [words](std::size_t w) { return words[w]; });
  }

  // The first set bit at or after `from` of the bitmap whose words `word_at` gives.
  template <typename WordAt>
  std::size_t next(std::size_t from, WordAt word_at) const noexcept {
    if (from >= size_) return size_;
    const std::size_t last_word = (size_ - 1) / 64;
    std::size_t w = from / 64;
    std::uint64_t m = word_at(w) & (~std::uint64_t{0} << (from % 64));
    while (m == 0) {
      if (++w > last_word) return size_;
      m = word_at(w);
    }
    return w * 64 + static_cast<std::size_t>(std::countr_zero(m));
  }

  std::size_t size_;
  std::uint64_t quotes_[kMaxBytes / 64];
  std::uint64_t delimiters_[kMaxBytes / 64];
};

}  // namespace rowmender
