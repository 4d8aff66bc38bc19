#include "parser/line_bits.h"

#include <cstring>

#include "simd/cpu_features.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define ROWMENDER_HAVE_AVX2_BITS 1
#endif

namespace rowmender {
namespace {

inline LineBits::Block classify_16(const char* p, char delimiter, char quote) noexcept {
  LineBits::Block block{0, 0, 0, 0};
#if defined(__SSE2__)
  const __m128i delimiters = _mm_set1_epi8(delimiter), quotes = _mm_set1_epi8(quote);
  const __m128i lf = _mm_set1_epi8('\n'), cr = _mm_set1_epi8('\r');
  for (unsigned k = 0; k < 4; ++k) {
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
    const auto bits = [](__m128i v) { return std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(v))}; };
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

#if defined(ROWMENDER_HAVE_AVX2_BITS)
__attribute__((target("avx2"))) inline std::uint64_t bits_32(__m256i low, __m256i high) {
  return std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(low))} |
         std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(high))} << 32;
}

__attribute__((target("avx2"))) inline __m256i breaks(__m256i v) {
  return _mm256_or_si256(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('\n')), _mm256_cmpeq_epi8(v, _mm256_set1_epi8('\r')));
}

__attribute__((target("avx2"))) inline LineBits::Block classify_32(const char* p, char delimiter, char quote) {
  const __m256i delimiters = _mm256_set1_epi8(delimiter), quotes = _mm256_set1_epi8(quote);
  const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
  return LineBits::Block{
      bits_32(_mm256_cmpeq_epi8(low, quotes), _mm256_cmpeq_epi8(high, quotes)),
      bits_32(_mm256_cmpeq_epi8(low, delimiters), _mm256_cmpeq_epi8(high, delimiters)),
      bits_32(breaks(low), breaks(high)),
      bits_32(low, high),
  };
}

// A lambda would not carry the target attribute its body needs.
struct Classify32 {
  __attribute__((target("avx2"))) LineBits::Block operator()(const char* p, char delimiter, char quote) const {
    return classify_32(p, delimiter, quote);
  }
};
#endif

}  // namespace

template <typename Classify>
[[gnu::always_inline]] inline bool LineBits::map_blocks(const char* input, std::size_t begin, std::size_t input_size,
                                                        char delimiter, char quote, Classify classify) noexcept {
  non_ascii_ = false;
  for (std::size_t w = 0; w < kMaxWords; ++w) {
    const std::size_t at = begin + w * 64;
    Block block;
    if (input_size - at >= 64) {
      block = classify(input + at, delimiter, quote);
    } else {
      // The input's last bytes, padded; the padding is masked off, whatever its value.
      alignas(32) char padded[64] = {};
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

bool LineBits::map_16(const char* input, std::size_t begin, std::size_t input_size, char delimiter,
                      char quote) noexcept {
  return map_blocks(input, begin, input_size, delimiter, quote,
                    [](const char* p, char d, char q) { return classify_16(p, d, q); });
}

#if defined(ROWMENDER_HAVE_AVX2_BITS)
__attribute__((target("avx2"))) bool LineBits::map_32(const char* input, std::size_t begin, std::size_t input_size,
                                                      char delimiter, char quote) noexcept {
  return map_blocks(input, begin, input_size, delimiter, quote, Classify32{});
}
#else
bool LineBits::map_32(const char* input, std::size_t begin, std::size_t input_size, char delimiter,
                      char quote) noexcept {
  return map_16(input, begin, input_size, delimiter, quote);
}
#endif

bool LineBits::can_map_32() noexcept {
#if defined(ROWMENDER_HAVE_AVX2_BITS)
  return cpu_has_avx2();
#else
  return false;
#endif
}

bool LineBits::map(const char* input, std::size_t begin, std::size_t input_size, char delimiter, char quote) noexcept {
  if (can_map_32()) return map_32(input, begin, input_size, delimiter, quote);
  return map_16(input, begin, input_size, delimiter, quote);
}

}  // namespace rowmender
