#include "parser/utf8_check.h"

#include <cstdint>
#include <cstring>

#include "parser/utf8.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define ROWMENDER_HAVE_SSSE3_CHECK 1
#endif

namespace rowmender {
namespace {

#if defined(ROWMENDER_HAVE_SSSE3_CHECK)

// Every ill-formed pair of a byte and the byte before it sets at least one error bit when
// the three lookups (high nibble of the previous byte, its low nibble, high nibble of this
// byte) are ANDed. Bits, one per kind of fault:
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

__attribute__((target("ssse3"))) inline __m128i lookup(__m128i nibbles, __m128i table) {
  return _mm_shuffle_epi8(table, nibbles);
}

__attribute__((target("ssse3"))) inline __m128i high_nibbles(__m128i v) {
  return _mm_and_si128(_mm_srli_epi16(v, 4), _mm_set1_epi8(0x0F));
}

// The error bits of the 16 bytes of `input`, given the 16 bytes before them.
__attribute__((target("ssse3"))) inline __m128i chunk_errors(__m128i input, __m128i previous) {
  const __m128i prev1 = _mm_alignr_epi8(input, previous, 15);
  const __m128i byte_1_high = lookup(
      high_nibbles(prev1),
      _mm_setr_epi8(kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong,
                    static_cast<char>(kTwoContinuations), static_cast<char>(kTwoContinuations),
                    static_cast<char>(kTwoContinuations), static_cast<char>(kTwoContinuations),
                    kTooShort | kOverlong2, kTooShort, kTooShort | kOverlong3 | kSurrogate,
                    kTooShort | kTooLarge | kTooLarge1000 | kOverlong4));
  const __m128i byte_1_low = lookup(
      _mm_and_si128(prev1, _mm_set1_epi8(0x0F)),
      _mm_setr_epi8(static_cast<char>(kCarry | kOverlong3 | kOverlong2 | kOverlong4),
                    static_cast<char>(kCarry | kOverlong2), static_cast<char>(kCarry), static_cast<char>(kCarry),
                    static_cast<char>(kCarry | kTooLarge), static_cast<char>(kCarry | kTooLarge | kTooLarge1000),
                    static_cast<char>(kCarry | kTooLarge | kTooLarge1000),
                    static_cast<char>(kCarry | kTooLarge | kTooLarge1000),
                    static_cast<char>(kCarry | kTooLarge | kTooLarge1000),
                    static_cast<char>(kCarry | kTooLarge | kTooLarge1000),
                    static_cast<char>(kCarry | kTooLarge | kTooLarge1000),
                    static_cast<char>(kCarry | kTooLarge | kTooLarge1000),
                    static_cast<char>(kCarry | kTooLarge | kTooLarge1000),
                    static_cast<char>(kCarry | kTooLarge | kTooLarge1000 | kSurrogate),
                    static_cast<char>(kCarry | kTooLarge | kTooLarge1000),
                    static_cast<char>(kCarry | kTooLarge | kTooLarge1000)));
  const __m128i byte_2_high = lookup(
      high_nibbles(input),
      _mm_setr_epi8(kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,
                    static_cast<char>(kTooLong | kOverlong2 | kTwoContinuations | kOverlong3 | kTooLarge1000 |
                                      kOverlong4),
                    static_cast<char>(kTooLong | kOverlong2 | kTwoContinuations | kOverlong3 | kTooLarge),
                    static_cast<char>(kTooLong | kOverlong2 | kTwoContinuations | kSurrogate | kTooLarge),
                    static_cast<char>(kTooLong | kOverlong2 | kTwoContinuations | kSurrogate | kTooLarge),
                    kTooShort, kTooShort, kTooShort, kTooShort));
  const __m128i special = _mm_and_si128(_mm_and_si128(byte_1_high, byte_1_low), byte_2_high);

  // Two continuation bytes in a row are right only as the 2nd and 3rd byte after a lead of
  // three or four bytes: exactly where the byte two back is E0..FF or three back F0..FF.
  const __m128i prev2 = _mm_alignr_epi8(input, previous, 14);
  const __m128i prev3 = _mm_alignr_epi8(input, previous, 13);
  const __m128i third_byte = _mm_subs_epu8(prev2, _mm_set1_epi8(static_cast<char>(0xE0 - 0x80)));
  const __m128i fourth_byte = _mm_subs_epu8(prev3, _mm_set1_epi8(static_cast<char>(0xF0 - 0x80)));
  const __m128i must_continue =
      _mm_and_si128(_mm_or_si128(third_byte, fourth_byte), _mm_set1_epi8(static_cast<char>(0x80)));
  return _mm_xor_si128(must_continue, special);
}

__attribute__((target("ssse3"))) bool is_valid_utf8_ssse3(const char* data, std::size_t size) noexcept {
  __m128i previous = _mm_setzero_si128();
  __m128i errors = _mm_setzero_si128();
  std::size_t i = 0;
  for (; i + 16 <= size; i += 16) {
    const __m128i input = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
    // An all-ASCII chunk after a chunk that ended on a complete character adds no errors.
    errors = _mm_or_si128(errors, chunk_errors(input, previous));
    previous = input;
  }
  // The rest, padded with zeros, and one chunk of zeros after it: a zero after a lead byte
  // is the fault of a sequence cut short, so text that ends inside a character is caught.
  alignas(16) char tail[16] = {};
  if (size > i) std::memcpy(tail, data + i, size - i);
  const __m128i last = _mm_load_si128(reinterpret_cast<const __m128i*>(tail));
  errors = _mm_or_si128(errors, chunk_errors(last, previous));
  errors = _mm_or_si128(errors, chunk_errors(_mm_setzero_si128(), last));
  return _mm_movemask_epi8(_mm_cmpeq_epi8(errors, _mm_setzero_si128())) == 0xFFFF;
}

bool have_ssse3() noexcept {
  static const bool supported = __builtin_cpu_supports("ssse3");
  return supported;
}

#endif

}  // namespace

bool is_valid_utf8(std::string_view bytes) noexcept {
#if defined(ROWMENDER_HAVE_SSSE3_CHECK)
  if (have_ssse3()) return is_valid_utf8_ssse3(bytes.data(), bytes.size());
#endif
  return utf8_valid_prefix(bytes) == bytes.size();
}

}  // namespace rowmender
