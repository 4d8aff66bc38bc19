// Every kernel of every implementation the processor runs must answer as a byte-by-byte
// reading does, on every input, wherever a character, a line or a match falls relative to
// the kernels' 8-, 16-, 32- and 64-byte steps. Inputs are copied into heap blocks of exactly
// their size, so that AddressSanitizer catches a kernel that reads past the end.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <string_view>

#include "simd/implementation.h"
#include "unicode/utf8.h"

namespace rowmender::test {
namespace {

std::unique_ptr<char[]> exact_copy(std::string_view text) {
  auto copy = std::make_unique_for_overwrite<char[]>(text.size());
  std::memcpy(copy.get(), text.data(), text.size());
  return copy;
}

bool decoder_says_valid(std::string_view bytes) { return utf8_valid_prefix(bytes) == bytes.size(); }

class Kernels : public ::testing::TestWithParam<const simd::Implementation*> {
 protected:
  const simd::Implementation& kernels() const { return *GetParam(); }
  bool valid_utf8(std::string_view text) const { return kernels().is_valid_utf8(exact_copy(text).get(), text.size()); }
};

// Every 4-byte combination of the values at the edges of the UTF-8 ranges, at offsets that
// put the sequence across 16- and 32-byte boundaries and at the very end of the text.
TEST_P(Kernels, Utf8CheckAgreesWithTheDecoderOnEveryEdgeCombination) {
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
            ASSERT_EQ(valid_utf8(text), expected) << ::testing::PrintToString(text);
            text += "xyz";
            ASSERT_EQ(valid_utf8(text), decoder_says_valid(text)) << ::testing::PrintToString(text);
            invalid += !expected;
          }
        }
      }
    }
  }
  EXPECT_GT(invalid, 0u);
}

TEST_P(Kernels, Utf8CheckAgreesWithTheDecoderOnRandomText) {
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
    ASSERT_EQ(valid_utf8(text), expected) << ::testing::PrintToString(text);
    valid += expected;
  }
  EXPECT_GT(valid, 50000);
}

TEST_P(Kernels, LineMapMatchesAByteByByteReading) {
  const char alphabet[] = {'a', 'b', ',', ';', '"', '\'', ' ', '\x80', '\xC3', '\xFF', '\0'};
  std::mt19937_64 rng(11);
  for (int iteration = 0; iteration < 20000; ++iteration) {
    // Mostly short lines; now and then one too long to map.
    const std::size_t size = rng() % 8 == 0 ? rng() % 5000 : rng() % 300;
    const unsigned breaks = 1 + static_cast<unsigned>(rng() % 200);  // rarer breaks, longer lines
    std::string input(size, 'a');
    for (char& c : input) c = rng() % breaks == 0 ? (rng() % 2 ? '\n' : '\r') : alphabet[rng() % std::size(alphabet)];
    const std::size_t begin = size == 0 ? 0 : rng() % size;
    const char delimiter = rng() % 2 ? ',' : ';', quote = rng() % 2 ? '"' : '\'';

    std::size_t end = begin;
    while (end < size && input[end] != '\n' && input[end] != '\r') ++end;
    simd::LineMap map;
    const bool mapped = kernels().map_line(exact_copy(input).get(), begin, size, delimiter, quote, map);
    const std::string where = ::testing::PrintToString(input) + " from " + std::to_string(begin);
    ASSERT_EQ(mapped, end - begin < simd::LineMap::kMaxBytes) << where;
    if (!mapped) continue;
    ASSERT_EQ(map.size, end - begin) << where;
    ASSERT_EQ(map.words, (end - begin) / 64 + 1) << where;
    bool non_ascii = false;
    for (std::size_t w = 0; w < map.words; ++w) {
      std::uint64_t quotes = 0, delimiters = 0;
      for (std::size_t i = w * 64; i < std::min(end - begin, w * 64 + 64); ++i) {
        const char c = input[begin + i];
        quotes |= std::uint64_t{c == quote} << (i % 64);
        delimiters |= std::uint64_t{c == delimiter} << (i % 64);
        non_ascii |= static_cast<unsigned char>(c) >= 0x80;
      }
      ASSERT_EQ(map.quotes[w], quotes) << where << " word " << w;
      ASSERT_EQ(map.delimiters[w], delimiters) << where << " word " << w;
    }
    ASSERT_EQ(map.non_ascii, non_ascii) << where;
  }
}

TEST_P(Kernels, ByteScanFindsWhatALoopFinds) {
  const char alphabet[] = {'a', ',', '"', '\n', '\r', '\0', '\x80', '\xFF'};
  std::mt19937_64 rng(5);
  for (int iteration = 0; iteration < 50000; ++iteration) {
    const unsigned rarity = 1 + static_cast<unsigned>(rng() % 100);  // how seldom a byte is not 'a'
    std::string input(rng() % 200, 'a');
    for (char& c : input) c = rng() % rarity == 0 ? alphabet[rng() % std::size(alphabet)] : 'a';
    const std::size_t from = rng() % (input.size() + 1);
    const std::size_t end = from + rng() % (input.size() - from + 1);
    char targets[4];
    for (char& target : targets) target = alphabet[1 + rng() % (std::size(alphabet) - 1)];

    const auto is_target = [&](char c) { return std::find(std::begin(targets), std::end(targets), c) != targets + 4; };
    const std::size_t expected =
        static_cast<std::size_t>(std::find_if(input.begin() + from, input.begin() + end, is_target) - input.begin());
    const std::string_view scanned(input.data(), end);
    ASSERT_EQ(
        kernels().find_first_of4(exact_copy(scanned).get(), from, end, targets[0], targets[1], targets[2], targets[3]),
        expected)
        << ::testing::PrintToString(input) << " from " << from << " to " << end;
  }
}

INSTANTIATE_TEST_SUITE_P(EveryImplementationHere, Kernels,
                         ::testing::ValuesIn(simd::implementations().begin(), simd::implementations().end()),
                         [](const ::testing::TestParamInfo<const simd::Implementation*>& info) {
                           return std::string(info.param->name);
                         });

TEST(KernelChoice, ANameThisProcessorRunsIsChosenAnythingElseGivesTheBest) {
  const auto supported = simd::implementations();
  ASSERT_FALSE(supported.empty());
  EXPECT_STREQ(supported.back()->name, "scalar");
  for (const std::string_view name : {"scalar", "sse", "avx2", "", "AVX2", "sse2", " scalar", "fastest"}) {
    const auto named = std::find_if(supported.begin(), supported.end(), [&](auto* k) { return k->name == name; });
    EXPECT_EQ(&simd::choose_implementation(name), named == supported.end() ? supported.front() : *named) << name;
  }
}

// ctest runs this once more with ROWMENDER_KERNELS=scalar (kernels_forced_by_environment),
// and CI runs every test with each implementation the processor has.
TEST(KernelChoice, TheEnvironmentPicksTheActiveImplementation) {
  const char* requested = std::getenv("ROWMENDER_KERNELS");
  EXPECT_EQ(&simd::active(), &simd::choose_implementation(requested == nullptr ? "" : requested));
}

}  // namespace
}  // namespace rowmender::test
