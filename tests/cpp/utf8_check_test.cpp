// Every table-driven UTF-8 check must give the same answer as the character-by-character
// decoder on every input, wherever a sequence falls relative to its 16- or 32-byte chunks.

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>

#include "simd/utf8_check.h"
#include "unicode/utf8.h"

namespace rowmender::test {
namespace {

using utf8_check_detail::Kernel;

bool decoder_says_valid(std::string_view bytes) { return utf8_valid_prefix(bytes) == bytes.size(); }

// Each kernel the processor has, and the choice is_valid_utf8 makes among them.
class Utf8Check : public ::testing::TestWithParam<std::optional<Kernel>> {
 protected:
  void SetUp() override {
    if (GetParam() && !utf8_check_detail::supported(*GetParam())) GTEST_SKIP() << "not on this processor";
  }
  bool check(std::string_view bytes) const {
    return GetParam() ? utf8_check_detail::is_valid_utf8_with(*GetParam(), bytes) : is_valid_utf8(bytes);
  }
};

// Every 4-byte combination of the values at the edges of the UTF-8 ranges, at offsets that
// put the sequence across chunk boundaries and at the very end of the text.
TEST_P(Utf8Check, AgreesWithTheDecoderOnEveryEdgeCombination) {
  const unsigned char edges[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2, 0xDF,
                                 0xE0, 0xE1, 0xEC, 0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF3, 0xF4, 0xF5, 0xFF};
  const std::string prefixes[] = {"", std::string(13, 'a'), std::string(14, 'a'), std::string(29, 'a'),
                                  "\xC3\xA9" + std::string(28, 'b')};
  std::uint64_t invalid = 0;
  for (const std::string& prefix : prefixes) {
    for (const unsigned char a : edges) {
      for (const unsigned char b : edges) {
        for (const unsigned char c : edges) {
          for (const unsigned char d : edges) {
            std::string text = prefix;
            for (const unsigned char x : {a, b, c, d}) text.push_back(static_cast<char>(x));
            const bool expected = decoder_says_valid(text);
            ASSERT_EQ(check(text), expected) << ::testing::PrintToString(text);
            text += "xyz";
            ASSERT_EQ(check(text), decoder_says_valid(text)) << ::testing::PrintToString(text);
            invalid += !expected;
          }
        }
      }
    }
  }
  EXPECT_GT(invalid, 0u);
}

TEST_P(Utf8Check, AgreesWithTheDecoderOnRandomText) {
  const std::string pieces[] = {"a",
                                "0",
                                " ",
                                "\xC3\xA9",
                                "\xE6\x9D\xB1",
                                "\xF0\x9F\x98\x80",
                                "\xEF\xBB\xBF",
                                "\xED\x9F\xBF",
                                "\xF4\x8F\xBF\xBF",
                                "\x80",
                                "\xC3",
                                "\xE6\x9D",
                                "\xF0\x9F\x98",
                                "\xFF",
                                "\xED\xA0\x80"};
  std::mt19937_64 rng(99);
  int valid = 0;
  for (int iteration = 0; iteration < 100000; ++iteration) {
    std::string text;
    const bool clean = rng() % 2;  // half the texts use only complete characters
    for (std::size_t n = rng() % 90; n > 0; --n) text += pieces[rng() % (clean ? 9 : std::size(pieces))];
    const bool expected = decoder_says_valid(text);
    ASSERT_EQ(check(text), expected) << ::testing::PrintToString(text);
    valid += expected;
  }
  EXPECT_GT(valid, 50000);
}

INSTANTIATE_TEST_SUITE_P(Kernels, Utf8Check,
                         ::testing::Values(std::nullopt, Kernel::Scalar, Kernel::Ssse3, Kernel::Avx2),
                         [](const ::testing::TestParamInfo<std::optional<Kernel>>& info) {
                           if (!info.param) return std::string("Chosen");
                           switch (*info.param) {
                             case Kernel::Scalar: return std::string("Scalar");
                             case Kernel::Ssse3: return std::string("Ssse3");
                             default: return std::string("Avx2");
                           }
                         });

}  // namespace
}  // namespace rowmender::test
