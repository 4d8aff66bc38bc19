#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "salvage/damage_sample.h"
#include "stream_support.h"

namespace rowmender::test {
namespace {

// Values of Python's random.Random(seed): the page's samples are those Python always drew.
TEST(SeededRandom, DrawsAsPythonsRandomModule) {
  SeededRandom first(20240611);
  for (const double expected : {0.6078350083451932, 0.7709087084053835, 0.2588489860950348}) {
    EXPECT_EQ(first.random(), expected);
  }
  SeededRandom second(7);
  for (const std::uint64_t expected : {5, 2, 6, 0, 1}) EXPECT_EQ(second.below(10), expected);
  EXPECT_EQ(second.below(1000), 840U);
  const std::uint64_t wide = (std::uint64_t{1} << 40) + 3;  // more than one 32-bit word
  EXPECT_EQ(second.below(wide), 208460025899U);
  EXPECT_EQ(second.below(wide), 470330855157U);
  EXPECT_EQ(second.below(1), 0U);
  EXPECT_EQ(second.below(3), 0U);
}

// One write of `bytes` cut into pieces of up to `longest` bytes, as the engine gathers them.
std::size_t write_in_pieces(ByteSink& sink, std::string_view bytes, std::size_t longest) {
  std::vector<iovec> pieces;
  for (std::size_t at = 0; at < bytes.size(); at += longest) {
    const std::size_t n = std::min(longest, bytes.size() - at);
    pieces.push_back({const_cast<char*>(bytes.data() + at), n});
  }
  return sink.write(pieces).value();
}

TEST(TableSampler, PassesEverythingOnAndKeepsWholeLinesFromAcross) {
  // Lines of many lengths, written in more writes than there are runs to keep, cut anywhere.
  std::string table;
  std::mt19937_64 rng(3);
  for (int line = 0; table.size() < 4'000'000; ++line) {
    table += std::to_string(line) + ',' + std::string(rng() % 300, 'x') + '\n';
  }
  StringSink out;
  TableSampler sampler(out);
  for (std::size_t at = 0; at < table.size();) {
    const std::size_t n = std::min<std::size_t>(1 + rng() % 20'000, table.size() - at);
    ASSERT_EQ(write_in_pieces(sampler, std::string_view(table).substr(at, n), 1 + rng() % 700), n);
    at += n;
  }
  EXPECT_EQ(out.bytes, table);
  EXPECT_EQ(sampler.bytes_written(), table.size());
  std::size_t head_end = 0;
  for (std::size_t line = 0; line < kProfileHeadRows; ++line) head_end = table.find('\n', head_end) + 1;
  EXPECT_EQ(sampler.head(), table.substr(0, head_end));
  ASSERT_EQ(sampler.runs().size(), kProfileRuns);
  std::size_t past_half = 0;
  for (const std::string& run : sampler.runs()) {
    // Whole lines, as they stand in the table.
    const std::size_t at = table.find(run);
    ASSERT_NE(at, std::string::npos);
    EXPECT_TRUE(at == 0 || table[at - 1] == '\n');
    EXPECT_EQ(run.back(), '\n');
    EXPECT_LE(std::count(run.begin(), run.end(), '\n'), static_cast<long>(kProfileRunRows));
    if (at > table.size() / 2) ++past_half;
  }
  EXPECT_GT(past_half, kProfileRuns / 4);  // drawn from the whole table
}

TEST(HeadSink, KeepsTheFirstBytesAndSaysWhetherMoreCame) {
  StringSink out;
  HeadSink head(out, 10);
  EXPECT_EQ(write_in_pieces(head, "abcdef", 4), 6U);
  EXPECT_FALSE(head.cut());
  EXPECT_EQ(write_in_pieces(head, "ghij", 3), 4U);
  EXPECT_FALSE(head.cut());
  EXPECT_EQ(write_in_pieces(head, "k", 1), 1U);
  EXPECT_TRUE(head.cut());
  EXPECT_EQ(head.head(), "abcdefghij");
  EXPECT_EQ(out.bytes, "abcdefghijk");
}

}  // namespace
}  // namespace rowmender::test
