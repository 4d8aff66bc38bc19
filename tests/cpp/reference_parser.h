#pragma once
// A deliberately naive parser that applies every rule byte by byte, rescans the rest of the
// line for every lone quote it judges, and decodes UTF-8 on its own. The production parser
// must agree with it on every input; the tests and the fuzzer both check that.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "test_support.h"

namespace rowmender::test {

// Replaces each ill-formed sequence by U+FFFD, one per maximal subpart.
inline std::string decode_leniently(std::string_view s) {
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
    if (lead >= 0xC2 && lead <= 0xDF)
      trail = 1;
    else if (lead == 0xE0)
      trail = 2, lo = 0xA0;
    else if (lead == 0xED)
      trail = 2, hi = 0x9F;
    else if (lead >= 0xE1 && lead <= 0xEF)
      trail = 2;
    else if (lead == 0xF0)
      trail = 3, lo = 0x90;
    else if (lead >= 0xF1 && lead <= 0xF3)
      trail = 3;
    else if (lead == 0xF4)
      trail = 3, hi = 0x8F;
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

}  // namespace rowmender::test
