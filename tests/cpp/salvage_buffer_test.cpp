// salvage_buffer writes the rows' text over the input it is still reading. It must give
// exactly what salvage_slice gives, also where rows grow past the input they came from.

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "salvage/salvage_slice.h"
#include "test_support.h"

namespace rowmender::test {
namespace {

SalvageOutcome salvage_copy_of(const std::string& input, const SalvageOptions& options) {
  ByteBuffer buffer(input.size() + 1);
  if (!input.empty()) std::memcpy(buffer.data(), input.data(), input.size());
  return salvage_buffer(std::move(buffer), input.size(), options);
}

void expect_same(const SalvageOutcome& got, const SalvageOutcome& expected, const std::string& where) {
  ASSERT_EQ(rows_of(got.rows), rows_of(expected.rows)) << where;
  ASSERT_EQ(stats_of(got.stats), stats_of(expected.stats)) << where;
  // The reader's pass counts quarantined rows but keeps none of them.
  ASSERT_TRUE(got.quarantine.empty()) << where;
}

// Rows that come out longer than the input they were read from, where nothing before them
// left room: bad bytes become three-byte U+FFFD, a one-byte delimiter above 0x7F becomes a
// two-byte separator when fields are merged.
TEST(SalvageBuffer, RowsLongerThanTheirInputMoveTheText) {
  struct Case {
    const char* name;
    std::string input;
    SalvageOptions options;
  };
  SalvageOptions merge_high;
  merge_high.delimiter = 0xA7;
  merge_high.expected_columns = 1;
  SalvageOptions width_two;
  width_two.expected_columns = 2;
  const Case cases[] = {
      {"bad bytes first", "\xFF\xFF\xFF\xFF,\xFE\n" + std::string(200, 'a') + ",b\nc,d\n", width_two},
      {"bad bytes later", "a,b\nc,\xFF\xFF\xFF\xFF\xFF\xFF\nd,e\n", width_two},
      {"merged high delimiter",
       "a\xA7"
       "b\xA7"
       "c\xA7"
       "d\ne\xA7"
       "f\n",
       merge_high},
      {"plain rows then a long one", "a,b\nc,d\n\"x\xFF\xFF\xFF,y\",z\nq,r\n", width_two},
  };
  for (const Case& c : cases)
    expect_same(salvage_copy_of(c.input, c.options), salvage_slice(c.input, c.options), c.name);
}

TEST(SalvageBuffer, SameOutcomeAsTheCopyingPassOnRandomInputs) {
  const std::vector<std::string> tokens = {"a",        "bc",
                                           "\"x,y\"",  "\"q\"\"q\"",
                                           "\"",       " ",
                                           "\n",       "\r\n",
                                           "\r",       ";",
                                           "\xC3\xA9", "\xFF",
                                           "\xFE\xFD", "\xEF\xBB\xBF",
                                           "\"a\nb\"", "12345678901234567",
                                           "\xA7"};
  const std::uint8_t delimiters[] = {',', ';', '\t', 0xA7};
  const std::uint8_t quotes[] = {'"'};
  std::mt19937_64 rng(5);
  for (int iteration = 0; iteration < 20000; ++iteration) {
    const SalvageCase c = random_salvage_case(rng, tokens, delimiters, quotes, 5);
    expect_same(salvage_copy_of(c.input, c.options), salvage_slice(c.input, c.options),
                ::testing::PrintToString(c.input));
  }
}

}  // namespace
}  // namespace rowmender::test
