#pragma once
// Where the quotes and the delimiters of one physical line are, as bitmaps: bit i % 64 of
// word i / 64 stands for byte i of the line. One SIMD pass finds the line's end and fills
// the maps; questions about the line's structure are then answered with bit operations on
// whole words instead of byte by byte.

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace rowmender {

class LineBits {
 public:
  // Lines of this many bytes or more are not mapped; the maps live on the stack.
  static constexpr std::size_t kMaxBytes = 4096;
  static constexpr std::size_t kMaxWords = kMaxBytes / 64;

  // Maps the line of `input` that starts at `begin` and ends before the first CR or LF, or
  // at the end of the input. False when the line has kMaxBytes bytes or more.
  bool map(const char* input, std::size_t begin, std::size_t input_size, char delimiter, char quote) noexcept {
    non_ascii_ = false;
    for (std::size_t w = 0; w < kMaxWords; ++w) {
      const std::size_t at = begin + w * 64;
      Block block;
      if (input_size - at >= 64) {
        block = classify(input + at, delimiter, quote);
      } else {
        // The input's last bytes, padded; the padding is masked off, whatever its value.
        alignas(16) char padded[64] = {};
        const std::size_t left = input_size - at;
        std::memcpy(padded, input + at, left);
        block = classify(padded, delimiter, quote);
        const std::uint64_t real = left == 0 ? 0 : ~std::uint64_t{0} >> (64 - left);
        block.quotes &= real;
        block.delimiters &= real;
        block.high &= real;
        block.breaks |= ~real;  // the end of the input ends the line
      }
      if (block.breaks != 0) {
        const std::uint64_t before = (block.breaks & (0 - block.breaks)) - 1;
        quotes_[w] = block.quotes & before;
        delimiters_[w] = block.delimiters & before;
        non_ascii_ |= (block.high & before) != 0;
        size_ = w * 64 + static_cast<std::size_t>(__builtin_ctzll(block.breaks));
        words_ = w + 1;
        return true;
      }
      quotes_[w] = block.quotes;
      delimiters_[w] = block.delimiters;
      non_ascii_ |= block.high != 0;
    }
    return false;
  }

  std::size_t size() const noexcept { return size_; }
  // Words in the maps: size() / 64 + 1 (the last one may map no byte).
  std::size_t words() const noexcept { return words_; }
  bool has_non_ascii() const noexcept { return non_ascii_; }
  std::uint64_t quotes(std::size_t word) const noexcept { return quotes_[word]; }
  std::uint64_t delimiters(std::size_t word) const noexcept { return delimiters_[word]; }

 private:
  struct Block {
    std::uint64_t quotes, delimiters, breaks, high;
  };

  static Block classify(const char* p, char delimiter, char quote) noexcept {
    Block block{0, 0, 0, 0};
#if defined(__SSE2__)
    const __m128i delimiters = _mm_set1_epi8(delimiter), quotes = _mm_set1_epi8(quote);
    const __m128i lf = _mm_set1_epi8('\n'), cr = _mm_set1_epi8('\r');
    for (unsigned k = 0; k < 4; ++k) {
      const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
      const auto bits = [](__m128i v) {
        return std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(v))};
      };
      block.quotes |= bits(_mm_cmpeq_epi8(chunk, quotes)) << (16 * k);
      block.delimiters |= bits(_mm_cmpeq_epi8(chunk, delimiters)) << (16 * k);
      block.breaks |= bits(_mm_or_si128(_mm_cmpeq_epi8(chunk, lf), _mm_cmpeq_epi8(chunk, cr))) << (16 * k);
      block.high |= bits(chunk) << (16 * k);
    }
#else
    for (unsigned i = 0; i < 64; ++i) {
      const char c = p[i];
      block.quotes |= std::uint64_t{c == quote} << i;
      block.delimiters |= std::uint64_t{c == delimiter} << i;
      block.breaks |= std::uint64_t{c == '\n' || c == '\r'} << i;
      block.high |= std::uint64_t{static_cast<unsigned char>(c) >= 0x80} << i;
    }
#endif
    return block;
  }

  std::size_t size_ = 0;
  std::size_t words_ = 0;
  bool non_ascii_ = false;
  std::uint64_t quotes_[kMaxWords];
  std::uint64_t delimiters_[kMaxWords];
};

}  // namespace rowmender
