// The production parser scans in bulk and answers the stray-quote question from a per-line
// survey instead of rescanning the line for every lone quote. This file keeps a deliberately
// naive parser that applies every rule byte by byte, rescans the rest of the line for every
// lone quote it judges, and decodes UTF-8 on its own, and checks that both agree on many
// random inputs.

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "parser/resilient_parser.h"
#include "test_support.h"

namespace rowmender::test {
namespace {

// Replaces each ill-formed sequence by U+FFFD, one per maximal subpart.
std::string decode_leniently(std::string_view s) {
  std::string out;
  std::size_t i = 0;
  while (i < s.size()) {
    const auto lead = static_cast<std::uint8_t>(s[i]);
    if (lead < 0x80) {
      out.push_back(s[i++]);
      continue;
    }
    int trail = 0;
    std::uint8_t lo = 0x80, hi = 0xBF;  // bounds of the first continuation byte
    if (lead >= 0xC2 && lead <= 0xDF) trail = 1;
    else if (lead == 0xE0) trail = 2, lo = 0xA0;
    else if (lead == 0xED) trail = 2, hi = 0x9F;
    else if (lead >= 0xE1 && lead <= 0xEF) trail = 2;
    else if (lead == 0xF0) trail = 3, lo = 0x90;
    else if (lead >= 0xF1 && lead <= 0xF3) trail = 3;
    else if (lead == 0xF4) trail = 3, hi = 0x8F;
    std::size_t j = i + 1;
    int got = 0;
    while (got < trail && j < s.size()) {
      const auto c = static_cast<std::uint8_t>(s[j]);
      if (c < (got == 0 ? lo : 0x80) || c > (got == 0 ? hi : 0xBF)) break;
      ++j, ++got;
    }
    if (trail > 0 && got == trail) {
      out.append(s.substr(i, j - i));
    } else {
      out.append(kReplacement);
    }
    i = j;
  }
  return out;
}

class ReferenceParser {
 public:
  ReferenceParser(std::string_view input, std::uint8_t delimiter, std::uint8_t quote, bool repair)
      : in_(input), delimiter_(delimiter), quote_(quote), repair_(repair) {
    if (in_.substr(0, 3) == "\xEF\xBB\xBF") pos_ = 3;
  }

  std::uint64_t line = 1;
  std::size_t position() const { return pos_; }

  std::optional<Fields> next_row() {
    if (pos_ >= in_.size()) return std::nullopt;
    Fields fields;
    std::string buffer;
    enum { Start, Unquoted, Quoted, AfterQuote } state = Start;
    auto finish_field = [&] {
      fields.push_back(decode_leniently(buffer));
      buffer.clear();
    };
    while (true) {
      if (pos_ >= in_.size()) {
        finish_field();
        return fields;
      }
      const std::uint8_t b = at(pos_);
      switch (state) {
        case Start:
          if (b == quote_) {
            ++pos_, state = Quoted;
          } else if (b == delimiter_) {
            finish_field(), ++pos_;
          } else if (is_break(b)) {
            return end_row(fields, finish_field);
          } else {
            buffer.push_back(static_cast<char>(b)), ++pos_, state = Unquoted;
          }
          break;
        case Unquoted:
          if (b == delimiter_) {
            finish_field(), ++pos_, state = Start;
          } else if (is_break(b)) {
            return end_row(fields, finish_field);
          } else {
            buffer.push_back(static_cast<char>(b)), ++pos_;
          }
          break;
        case Quoted:
          if (b == quote_) {
            if (pos_ + 1 == in_.size()) {
              ++pos_, state = AfterQuote;
            } else if (at(pos_ + 1) == quote_) {
              buffer.push_back(static_cast<char>(quote_)), pos_ += 2;
            } else if (repair_ && is_stray(pos_)) {
              buffer.push_back(static_cast<char>(quote_)), ++pos_;
            } else {
              ++pos_, state = AfterQuote;
            }
          } else {
            if (b == '\n') ++line;
            buffer.push_back(static_cast<char>(b)), ++pos_;
          }
          break;
        case AfterQuote:
          if (b == delimiter_) {
            finish_field(), ++pos_, state = Start;
          } else if (b == ' ' || b == '\t') {
            ++pos_;
          } else if (is_break(b)) {
            return end_row(fields, finish_field);
          } else {
            buffer.push_back(static_cast<char>(b)), ++pos_, state = Unquoted;
          }
          break;
      }
    }
  }

 private:
  std::uint8_t at(std::size_t i) const { return static_cast<std::uint8_t>(in_[i]); }
  static bool is_break(std::uint8_t b) { return b == '\n' || b == '\r'; }
  bool ends_field(std::size_t i) const { return i >= in_.size() || at(i) == delimiter_ || is_break(at(i)); }

  // Blanks are skipped, except a blank that is the delimiter: that one ends the field.
  std::size_t skip_blanks(std::size_t i) const {
    while (i < in_.size() && (at(i) == ' ' || at(i) == '\t') && at(i) != delimiter_) ++i;
    return i;
  }

  // The lookahead as stated: rescan the rest of the line for every quote it judges.
  bool is_stray(std::size_t quote_index) const {
    const std::size_t first = skip_blanks(quote_index + 1);
    if (ends_field(first)) return false;
    for (std::size_t i = first; i < in_.size(); ++i) {
      if (is_break(at(i))) return false;
      if (at(i) == quote_ && ends_field(skip_blanks(i + 1))) return true;
    }
    return false;
  }

  template <typename Finish>
  Fields end_row(Fields& fields, Finish& finish_field) {
    if (at(pos_) == '\r') {
      ++pos_;
      if (pos_ < in_.size() && at(pos_) == '\n') ++pos_;
    } else {
      ++pos_;
    }
    ++line;
    finish_field();
    return std::move(fields);
  }

  std::string_view in_;
  std::size_t pos_ = 0;
  std::uint8_t delimiter_, quote_;
  bool repair_;
};

TEST(ReferenceParser, ProductionParserMatchesOnRandomInputs) {
  const std::vector<std::string> tokens = {
      "\"", "'", ",", ";", "|", "\t", " ", "\r", "\n", "\r\n", "a", "b", "\xFF", "\xC3", "\xA6", "\xA9",
      "\xEF\xBB\xBF"};
  const std::uint8_t delimiters[] = {',', ';', '\t', ' ', '|', '\r', '\n', 0xA6, '"', 'a'};
  const std::uint8_t quotes[] = {'"', '"', '\'', '\t', ' ', '\r', '\n', 0xA6, ','};
  std::mt19937_64 rng(20240611);
  auto pick = [&rng](std::size_t n) { return static_cast<std::size_t>(rng() % n); };

  int compared_rows = 0;
  for (int iteration = 0; iteration < 40000; ++iteration) {
    const std::uint8_t delimiter = delimiters[pick(std::size(delimiters))];
    const std::uint8_t quote = pick(10) == 0 ? delimiter : quotes[pick(std::size(quotes))];
    const bool repair = pick(4) != 0;
    std::string input = pick(8) == 0 ? "\xEF\xBB\xBF" : "";
    const std::size_t length = pick(8) == 0 ? 120 : 30;
    for (std::size_t n = pick(length); n > 0; --n) {
      switch (pick(6)) {
        case 0: input.push_back(static_cast<char>(quote)); break;
        case 1: input.push_back(static_cast<char>(delimiter)); break;
        default: input.append(tokens[pick(tokens.size())]);
      }
    }

    ReferenceParser reference(input, delimiter, quote, repair);
    ResilientParser parser(input, delimiter, quote, repair);
    RowTable table;
    for (int row = 0;; ++row) {
      const std::string where = "row " + std::to_string(row) + " of " + ::testing::PrintToString(input) +
                                " delimiter " + std::to_string(delimiter) + " quote " + std::to_string(quote) +
                                (repair ? " repair on" : " repair off");
      const std::optional<Fields> expected = reference.next_row();
      const bool got = parser.next_row(table);
      ASSERT_EQ(got, expected.has_value()) << where;
      if (!got) break;
      ++compared_rows;
      ASSERT_EQ(fields_of(table[table.size() - 1]), *expected) << where;
      ASSERT_EQ(parser.line(), reference.line) << where;
      ASSERT_EQ(parser.position(), reference.position()) << where;
    }
  }
  EXPECT_GT(compared_rows, 40000);
}

// A long line of lone quotes inside one quoted field: a naive lookahead would rescan the
// rest of the line for each of them. This must finish quickly.
TEST(ReferenceParser, LoneQuotesOnOneLongLineParseInLinearTime) {
  for (const std::string unit : {"\"a", "\" a", "\"\t"}) {
    std::string field = "a";
    while (field.size() < (2u << 20)) field.append(unit);
    const std::string input = "\"" + field + "\"\nx,y";
    const Parsed parsed = parse_all(input);
    ASSERT_EQ(parsed.rows.size(), 2u);
    EXPECT_EQ(parsed.rows[0], Fields{field});
    EXPECT_EQ(parsed.rows[1], (Fields{"x", "y"}));
    EXPECT_EQ(parsed.lines, (std::vector<std::uint64_t>{2, 2}));
  }
}

}  // namespace
}  // namespace rowmender::test
