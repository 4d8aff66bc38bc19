// Both widths of the line mapping must give the maps a byte-by-byte reading gives, wherever
// the line starts and ends relative to their blocks, up to the end of the input.

#include "parser/line_bits.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace rowmender::test {
namespace {

using MapFunction = bool (LineBits::*)(const char*, std::size_t, std::size_t, char, char) noexcept;

void expect_maps_as_read_byte_by_byte(MapFunction map) {
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
    LineBits bits;
    const bool mapped = (bits.*map)(input.data(), begin, size, delimiter, quote);
    const std::string where = ::testing::PrintToString(input) + " from " + std::to_string(begin);
    ASSERT_EQ(mapped, end - begin < LineBits::kMaxBytes) << where;
    if (!mapped) continue;
    ASSERT_EQ(bits.size(), end - begin) << where;
    ASSERT_EQ(bits.words(), (end - begin) / 64 + 1) << where;
    bool non_ascii = false;
    for (std::size_t w = 0; w < bits.words(); ++w) {
      std::uint64_t quotes = 0, delimiters = 0;
      for (std::size_t i = w * 64; i < std::min(end - begin, w * 64 + 64); ++i) {
        const char c = input[begin + i];
        quotes |= std::uint64_t{c == quote} << (i % 64);
        delimiters |= std::uint64_t{c == delimiter} << (i % 64);
        non_ascii |= static_cast<unsigned char>(c) >= 0x80;
      }
      ASSERT_EQ(bits.quotes(w), quotes) << where << " word " << w;
      ASSERT_EQ(bits.delimiters(w), delimiters) << where << " word " << w;
    }
    ASSERT_EQ(bits.has_non_ascii(), non_ascii) << where;
  }
}

TEST(LineBits, SixteenBytesAtATimeMapsAsReadByteByByte) { expect_maps_as_read_byte_by_byte(&LineBits::map_16); }

TEST(LineBits, ThirtyTwoBytesAtATimeMapsAsReadByteByByte) {
  if (!LineBits::can_map_32()) GTEST_SKIP() << "no AVX2 on this processor";
  expect_maps_as_read_byte_by_byte(&LineBits::map_32);
}

}  // namespace
}  // namespace rowmender::test
