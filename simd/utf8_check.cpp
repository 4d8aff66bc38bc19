#include "simd/utf8_check.h"

#include <cstdint>
#include <cstring>

#include "simd/cpu_features.h"
#include "unicode/utf8.h"

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

__attribute__((target("ssse3"))) inline __m128i table(const std::uint8_t (&entries)[16]) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(entries));
}

__attribute__((target("ssse3"))) inline __m128i high_nibbles(__m128i v) {
  return _mm_and_si128(_mm_srli_epi16(v, 4), _mm_set1_epi8(0x0F));
}

// The error bits of the 16 bytes of `input`, given the 16 bytes before them.
__attribute__((target("ssse3"))) inline __m128i chunk_errors(__m128i input, __m128i previous) {
  const __m128i low_nibbles = _mm_set1_epi8(0x0F);
  const __m128i prev1 = _mm_alignr_epi8(input, previous, 15);
  const __m128i special =
      _mm_and_si128(_mm_and_si128(_mm_shuffle_epi8(table(kByte1High), high_nibbles(prev1)),
                                  _mm_shuffle_epi8(table(kByte1Low), _mm_and_si128(prev1, low_nibbles))),
                    _mm_shuffle_epi8(table(kByte2High), high_nibbles(input)));
  const __m128i prev2 = _mm_alignr_epi8(input, previous, 14);
  const __m128i prev3 = _mm_alignr_epi8(input, previous, 13);
  const __m128i third_byte = _mm_subs_epu8(prev2, _mm_set1_epi8(kThirdByteFloor));
  const __m128i fourth_byte = _mm_subs_epu8(prev3, _mm_set1_epi8(kFourthByteFloor));
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

// The same check 32 bytes at a time. The lookups work within each 16-byte half, with the
// tables in both halves; the bytes before each position come from across the halves.
__attribute__((target("avx2"))) inline __m256i table_avx2(const std::uint8_t (&entries)[16]) {
  return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(entries)));
}

__attribute__((target("avx2"))) inline __m256i high_nibbles_avx2(__m256i v) {
  return _mm256_and_si256(_mm256_srli_epi16(v, 4), _mm256_set1_epi8(0x0F));
}

__attribute__((target("avx2"))) inline __m256i chunk_errors_avx2(__m256i input, __m256i previous) {
  const __m256i low_nibbles = _mm256_set1_epi8(0x0F);
  // The upper half of `previous` and the lower half of `input`: what comes before each half.
  const __m256i before = _mm256_permute2x128_si256(previous, input, 0x21);
  const __m256i prev1 = _mm256_alignr_epi8(input, before, 15);
  const __m256i special = _mm256_and_si256(
      _mm256_and_si256(_mm256_shuffle_epi8(table_avx2(kByte1High), high_nibbles_avx2(prev1)),
                       _mm256_shuffle_epi8(table_avx2(kByte1Low), _mm256_and_si256(prev1, low_nibbles))),
      _mm256_shuffle_epi8(table_avx2(kByte2High), high_nibbles_avx2(input)));
  const __m256i prev2 = _mm256_alignr_epi8(input, before, 14);
  const __m256i prev3 = _mm256_alignr_epi8(input, before, 13);
  const __m256i third_byte = _mm256_subs_epu8(prev2, _mm256_set1_epi8(kThirdByteFloor));
  const __m256i fourth_byte = _mm256_subs_epu8(prev3, _mm256_set1_epi8(kFourthByteFloor));
  const __m256i must_continue =
      _mm256_and_si256(_mm256_or_si256(third_byte, fourth_byte), _mm256_set1_epi8(static_cast<char>(0x80)));
  return _mm256_xor_si256(must_continue, special);
}

__attribute__((target("avx2"))) bool is_valid_utf8_avx2(const char* data, std::size_t size) noexcept {
  __m256i previous = _mm256_setzero_si256();
  __m256i errors = _mm256_setzero_si256();
  std::size_t i = 0;
  for (; i + 32 <= size; i += 32) {
    const __m256i input = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i));
    errors = _mm256_or_si256(errors, chunk_errors_avx2(input, previous));
    previous = input;
  }
  alignas(32) char tail[32] = {};
  if (size > i) std::memcpy(tail, data + i, size - i);
  const __m256i last = _mm256_load_si256(reinterpret_cast<const __m256i*>(tail));
  errors = _mm256_or_si256(errors, chunk_errors_avx2(last, previous));
  errors = _mm256_or_si256(errors, chunk_errors_avx2(_mm256_setzero_si256(), last));
  return _mm256_testz_si256(errors, errors) != 0;
}

#endif

}  // namespace

namespace utf8_check_detail {

bool supported(Kernel kernel) noexcept {
  switch (kernel) {
    case Kernel::Scalar: return true;
#if defined(ROWMENDER_HAVE_SSSE3_CHECK)
    case Kernel::Ssse3: return cpu_has_ssse3();
    case Kernel::Avx2: return cpu_has_avx2();
#endif
    default: return false;
  }
}

bool is_valid_utf8_with(Kernel kernel, std::string_view bytes) noexcept {
#if defined(ROWMENDER_HAVE_SSSE3_CHECK)
  if (kernel == Kernel::Avx2) return is_valid_utf8_avx2(bytes.data(), bytes.size());
  if (kernel == Kernel::Ssse3) return is_valid_utf8_ssse3(bytes.data(), bytes.size());
#endif
  return utf8_valid_prefix(bytes) == bytes.size();
}

}  // namespace utf8_check_detail

bool is_valid_utf8(std::string_view bytes) noexcept {
#if defined(ROWMENDER_HAVE_SSSE3_CHECK)
  if (cpu_has_avx2()) return is_valid_utf8_avx2(bytes.data(), bytes.size());
  if (cpu_has_ssse3()) return is_valid_utf8_ssse3(bytes.data(), bytes.size());
#endif
  return utf8_valid_prefix(bytes) == bytes.size();
}

}  // namespace rowmender
