#include "parser/resilient_parser.h"

#include <algorithm>
#include <cstring>

#include "simd/byte_scan.h"
#include "simd/utf8_check.h"
#include "unicode/utf8.h"
#include "unicode/white_space.h"

namespace rowmender {

// Field bytes go into a row table; each row is made valid UTF-8 once complete.
class ResilientParser::TableBuilder {
 public:
  TableBuilder(ResilientParser& parser, RowTable& rows) noexcept
      : parser_(parser), rows_(rows), text_(rows.text()), start_{text_.size(), rows.total_fields()} {}

  void append(const char* bytes, std::size_t n) { text_.append(bytes, n); }
  void push_back(char c) { text_.push_back(c); }
  void end_field() { rows_.end_field(); }
  void end_row() { parser_.close_row(rows_, start_); }

 private:
  ResilientParser& parser_;
  RowTable& rows_;
  TextBuffer& text_;
  RowStart start_;
};

// Counts fields and follows whether the first field is blank; keeps no bytes.
class ResilientParser::ShapeBuilder {
 public:
  explicit ShapeBuilder(RowShape& shape) noexcept : shape_(shape) { shape_ = RowShape{}; }

  void append(const char* bytes, std::size_t n) noexcept {
    if (shape_.fields == 0 && first_field_.possible()) first_field_.feed(std::string_view(bytes, n));
  }
  void push_back(char c) noexcept { append(&c, 1); }
  void end_field() noexcept { ++shape_.fields; }
  void end_row() noexcept { shape_.counted = shape_.fields != 1 || !first_field_.all_white_space(); }

 private:
  RowShape& shape_;
  WhiteSpaceRun first_field_;
};

ResilientParser::ResilientParser(std::string_view input, std::uint8_t delimiter, std::uint8_t quote_char,
                                 bool repair_quotes) noexcept
    : input_(input), position_(0), delimiter_(delimiter), quote_char_(quote_char), repair_quotes_(repair_quotes) {
  if (input_.size() >= 3 && input_.substr(0, 3) == "\xEF\xBB\xBF") {
    position_ = 3;
    skipped_bom_ = true;
  }
}

ResilientParser::ResilientParser(std::string_view input, std::uint8_t delimiter, std::uint8_t quote_char,
                                 bool repair_quotes, const Cursor& cursor) noexcept
    : input_(input),
      position_(cursor.position),
      line_(cursor.line),
      delimiter_(delimiter),
      quote_char_(quote_char),
      repair_quotes_(repair_quotes),
      line_ends_(cursor.line_ends) {}

void ResilientParser::close_row(RowTable& rows, const RowStart& start) {
  // Field bytes are raw input; they are made valid UTF-8 once the row is complete. Checking
  // the whole row at once keeps the common case (valid text) at one scan per row.
  const std::string_view row_text = rows.const_text().view().substr(start.text);
  if (!is_ascii(row_text)) {
    const bool utf8 = is_valid_utf8_row(rows, start);
    if (legacy_ != nullptr && legacy_->is_file_encoding()) {
      // A row of the file's own encoding is read in it without a word; a row of UTF-8
      // among them is kept as it is, and told.
      if (utf8 && legacy_->spells(row_text)) {
        events_.transcoded = true;
      } else {
        repair_row_fields(rows, start);
      }
    } else if (!utf8) {
      events_.transcoded = legacy_ != nullptr;
      repair_row_fields(rows, start);
    }
  }
  rows.end_row();
}

bool ResilientParser::is_valid_utf8_row(const RowTable& rows, const RowStart& start) const {
  // The fields are valid one by one when the whole row is valid and no field boundary falls
  // inside a character (a boundary byte that is a continuation byte).
  const TextBuffer& text = rows.const_text();
  if (!is_valid_utf8(text.view().substr(start.text))) return false;
  for (std::size_t f = start.field; f + 1 < rows.total_fields(); ++f) {
    const std::uint64_t boundary = rows.field_end(f);
    if (boundary < text.size() && (static_cast<std::uint8_t>(text[boundary]) & 0xC0) == 0x80) return false;
  }
  return true;
}

void ResilientParser::repair_row_fields(RowTable& rows, const RowStart& start) {
  TextBuffer& text = rows.text();
  utf8_scratch_.assign(text.view().substr(start.text));
  repaired_.clear();
  std::uint64_t begin = 0;
  for (std::size_t f = start.field; f < rows.total_fields(); ++f) {
    const std::uint64_t end = rows.field_end(f) - start.text;
    const std::string_view field = std::string_view(utf8_scratch_).substr(begin, end - begin);
    if (legacy_ != nullptr) {
      events_.invalid_utf8 += legacy_->append_utf8(repaired_, field);
    } else {
      events_.invalid_utf8 += append_utf8_replacing_invalid(repaired_, field);
    }
    rows.set_field_end(f, start.text + repaired_.size());
    begin = end;
  }
  // Text written over the input must stay behind the next unread byte; a repair that
  // would pass it (U+FFFD is longer than a bad byte) moves the text away first.
  const auto address = [](const void* p) { return reinterpret_cast<std::uintptr_t>(p); };
  const std::uintptr_t unread = address(input_.data() + position_), text_begin = address(text.data());
  if (text_begin <= unread && unread <= text_begin + text.capacity() &&
      text_begin + start.text + repaired_.size() > unread) {
    text.move_to_own_storage();
  }
  text.resize(start.text);
  text.append(repaired_);
}

void ResilientParser::consume_line_break() noexcept {
  if (byte_at(position_) == '\r') {
    ++position_;
    if (position_ < input_.size() && byte_at(position_) == '\n') {
      ++position_;
      ++line_ends_.crlf;
    } else {
      ++line_ends_.cr;
    }
  } else {
    ++position_;
    ++line_ends_.lf;
  }
  ++line_;
}

bool ResilientParser::next_row(RowTable& rows) {
  TableBuilder builder(*this, rows);
  return read_row(builder);
}

bool ResilientParser::next_row_shape(RowShape& shape) {
  ShapeBuilder builder(shape);
  return read_row(builder);
}

template <typename Builder>
bool ResilientParser::read_row(Builder& builder) {
  const std::size_t size = input_.size();
  if (position_ >= size) return false;
  events_ = RowEvents{};
  const char* data = input_.data();
  const char delimiter = static_cast<char>(delimiter_);
  const char quote = static_cast<char>(quote_char_);
  std::uint64_t quote_opened_on = 0;
  // In an unquoted field the delimiter and line breaks come first; a quote byte that is
  // neither is content there.
  const bool quote_is_content_here = quoting_ && quote_char_ != delimiter_ && !is_line_break(quote_char_);
  const char escape = static_cast<char>(escape_);
  State state = State::StartOfField;

  while (true) {
    if (position_ >= size) {
      // End of input: the open field, even an empty one, is the row's last.
      if (state == State::QuotedField) {
        events_.unterminated_quote = true;
        events_.unterminated_quote_line = quote_opened_on;
      }
      builder.end_field();
      builder.end_row();
      return true;
    }
    const std::uint8_t b = byte_at(position_);
    switch (state) {
      case State::StartOfField:
        if (quoting_ && b == quote_char_) {
          ++position_;
          if (one_line_rows_ && is_stray_opening_quote(position_)) {
            // Rows never span lines here: a quote left open at its line's end is text, and
            // the line's delimiters still split it.
            ++events_.stray_quotes;
            builder.push_back(quote);
            state = State::UnquotedField;
            break;
          }
          quote_opened_on = line_;
          state = State::QuotedField;
        } else if (b == delimiter_) {
          builder.end_field();
          ++position_;
        } else if (is_line_break(b)) {
          consume_line_break();
          builder.end_field();
          builder.end_row();
          return true;
        } else if (b == ' ' && skip_initial_space_) {
          ++position_;  // a space after the delimiter belongs to it; the field starts after
        } else {
          // Content, blanks included: the unquoted scan below takes this byte first.
          state = State::UnquotedField;
        }
        break;

      case State::UnquotedField: {
        // Only the delimiter and line breaks end an unquoted field; a quote here is content,
        // found on the way only to be counted. The field's bytes are copied in one run.
        std::size_t stop = position_;
        if (has_escape_) {
          // The same, with an escape as one more byte to stop at; a quote found on the way
          // is counted as above, an escaped one is text.
          std::size_t run = position_;
          while (true) {
            stop = find_first_of4(data, stop, size, delimiter, '\n', '\r', escape);
            if (quote_is_content_here) {
              for (std::size_t q = find_byte(data, run, stop, quote); q < stop;
                   q = find_byte(data, q + 1, stop, quote)) {
                ++events_.quotes_in_unquoted_fields;
              }
            }
            if (stop == size || byte_at(stop) != escape_) break;
            builder.append(data + position_, stop - position_);
            position_ = run = stop = take_escaped(builder, stop);
          }
        }
        while (!has_escape_) {
          stop = quote_is_content_here ? find_first_of4(data, stop, size, delimiter, '\n', '\r', quote)
                                       : find_first_of3(data, stop, size, delimiter, '\n', '\r');
          if (stop == size || byte_at(stop) != quote_char_ || !quote_is_content_here) break;
          ++events_.quotes_in_unquoted_fields;
          ++stop;
        }
        builder.append(data + position_, stop - position_);
        position_ = stop;
        if (stop == size) break;
        if (byte_at(stop) == delimiter_) {
          builder.end_field();
          ++position_;
          state = State::StartOfField;
        } else {
          consume_line_break();
          builder.end_field();
          builder.end_row();
          return true;
        }
        break;
      }

      case State::QuotedField: {
        // Inside quotes only the quote matters, and LF for the line counter. The content is
        // the input's own bytes up to a doubled quote (one of the two is dropped) or the
        // closing quote, line breaks and stray quotes included: it is copied in runs, not
        // byte by byte, however many stray quotes a line holds.
        std::size_t run = position_;
        while (true) {
          const std::size_t stop = has_escape_ ? find_first_of3(data, position_, size, quote, '\n', escape)
                                               : find_first_of2(data, position_, size, quote, '\n');
          if (stop == size) {
            builder.append(data + run, size - run);
            position_ = size;
            break;  // the end of the input ends the field
          }
          if (has_escape_ && byte_at(stop) == escape_) {
            builder.append(data + run, stop - run);
            position_ = run = take_escaped(builder, stop);
            continue;
          }
          if (byte_at(stop) != quote_char_) {  // an LF, kept as content
            ++line_;
            position_ = stop + 1;
            continue;
          }
          // The input's last byte can only close the field.
          const bool more = stop + 1 < size;
          if (more && byte_at(stop + 1) == quote_char_) {
            builder.append(data + run, stop + 1 - run);  // a doubled quote is one literal quote
            position_ = stop + 2;
            run = position_;
          } else if (more && repair_quotes_ && is_stray_quote(stop)) {
            ++events_.stray_quotes;
            position_ = stop + 1;
          } else {
            builder.append(data + run, stop - run);
            position_ = stop + 1;
            state = State::AfterClosingQuote;
            break;
          }
        }
        break;
      }

      case State::AfterClosingQuote:
        if (b == delimiter_) {
          builder.end_field();
          ++position_;
          state = State::StartOfField;
        } else if (is_blank(b)) {
          ++position_;  // blanks between a closing quote and what follows are dropped
        } else if (is_line_break(b)) {
          consume_line_break();
          builder.end_field();
          builder.end_row();
          return true;
        } else {
          // Text after the closing quote continues the field as unquoted text.
          ++events_.text_after_quote;
          state = State::UnquotedField;
        }
        break;
    }
  }
}

template <typename Builder>
std::size_t ResilientParser::take_escaped(Builder& builder, std::size_t at) {
  const std::size_t size = input_.size();
  if (at + 1 >= size) {
    builder.append(input_.data() + at, 1);  // nothing follows to escape: the byte is text
    return size;
  }
  const std::uint8_t escaped = byte_at(at + 1);
  // An escaped CR LF is one line break, kept whole rather than leaving the LF to end the row.
  const std::size_t length = escaped == '\r' && at + 2 < size && byte_at(at + 2) == '\n' ? 2 : 1;
  builder.append(input_.data() + at + 1, length);
  if (escaped == '\n' || length == 2) ++line_;
  return at + 1 + length;
}

bool ResilientParser::is_stray_opening_quote(std::size_t from) {
  // The quoted state's own reading, without keeping the text: a doubled quote, an escaped
  // byte and a stray quote go on; any other quote closes the field. A field that goes on
  // past its line is still taken for a quoted one when it closes within a few lines with
  // no stray quote on the way: a rare note over two lines, which a quote left open cannot
  // pass for, as the next quote it meets (another field's) is a stray one or far away.
  // Where the input ends first, the field is read as quoted and so runs to the end: a
  // window's end is then waited past, as for any row, and the decision is the whole text's.
  const char* data = input_.data();
  const std::size_t size = input_.size();
  const char quote = static_cast<char>(quote_char_);
  const char escape = has_escape_ ? static_cast<char>(escape_) : quote;
  std::size_t lines_passed = 0;
  for (std::size_t i = from;;) {
    i = find_first_of4(data, i, size, quote, '\n', '\r', escape);
    if (i == size) return lines_passed == 0;
    const std::uint8_t b = byte_at(i);
    if (is_line_break(b)) {
      if (++lines_passed > kQuotedLinesAfterOpenQuote) return true;
      i += b == '\r' && i + 1 < size && byte_at(i + 1) == '\n' ? 2 : 1;
      continue;
    }
    if (has_escape_ && b == escape_) {
      if (i + 1 >= size) return lines_passed == 0;
      i += i + 2 < size && byte_at(i + 1) == '\r' && byte_at(i + 2) == '\n' ? 3 : 2;
      continue;
    }
    if (i + 1 >= size) return false;  // the input's last byte can only close the field
    if (byte_at(i + 1) == quote_char_) {
      i += 2;
    } else if (repair_quotes_ && is_stray_quote(i)) {
      // On a later line, a stray quote gives the opening one away, unless the input ends
      // on that line: the rest of it, still to come, may hold the closing quote.
      if (lines_passed != 0) return find_first_of2(data, i, size, '\n', '\r') != size;
      ++i;
    } else {
      return false;
    }
  }
}

bool ResilientParser::skip_empty_row() noexcept {
  if (position_ >= input_.size()) return false;
  const std::uint8_t b = byte_at(position_);
  // A line break at the start of a row ends it with one empty field, unless the byte is
  // also the quote or the delimiter, which the row rules test first.
  if (!is_line_break(b) || b == quote_char_ || b == delimiter_) return false;
  events_ = RowEvents{};
  consume_line_break();
  return true;
}

std::size_t ResilientParser::skip_line_feeds(std::size_t limit) noexcept {
  if (quote_char_ == '\n' || delimiter_ == '\n') return 0;
  limit = std::min(limit, input_.size());
  const std::size_t begin = position_;
  std::size_t end = begin;
  // Eight bytes at a time: a file of nothing but line feeds is read at memory speed.
  constexpr std::uint64_t kLineFeeds = 0x0A0A0A0A0A0A0A0AULL;
  while (end + 8 <= limit) {
    std::uint64_t word;
    std::memcpy(&word, input_.data() + end, 8);
    if (word != kLineFeeds) break;
    end += 8;
  }
  while (end < limit && input_[end] == '\n') ++end;
  const std::size_t count = end - begin;
  if (count != 0) {
    events_ = RowEvents{};
    position_ = end;
    line_ += count;
    line_ends_.lf += count;
  }
  return count;
}

void ResilientParser::skip_row_ending_at(std::size_t line_end) noexcept {
  events_ = RowEvents{};
  position_ = line_end;
  if (position_ < input_.size()) consume_line_break();
}

bool ResilientParser::field_ends_at(std::size_t i) const noexcept {
  if (i >= input_.size()) return true;
  const std::uint8_t b = byte_at(i);
  return b == delimiter_ || is_line_break(b);
}

std::size_t ResilientParser::skip_lookahead_blanks(std::size_t i) {
  if (i >= blank_run_begin_ && i <= blank_run_end_) return blank_run_end_;
  const std::size_t begin = i;
  while (i < input_.size() && is_blank(byte_at(i)) && byte_at(i) != delimiter_) ++i;
  blank_run_begin_ = begin;
  blank_run_end_ = i;
  return i;
}

void ResilientParser::survey_line_from(std::size_t begin) {
  const char* data = input_.data();
  const std::size_t end = find_first_of2(data, begin, input_.size(), '\n', '\r');
  survey_begin_ = begin;
  survey_end_ = end;
  survey_has_closing_quote_ = false;
  for (std::size_t i = find_byte(data, begin, end, static_cast<char>(quote_char_)); i < end;
       i = find_byte(data, i + 1, end, static_cast<char>(quote_char_))) {
    if (field_ends_at(skip_lookahead_blanks(i + 1))) {
      last_closing_quote_ = i;
      survey_has_closing_quote_ = true;
    }
  }
}

bool ResilientParser::is_stray_quote(std::size_t quote_index) {
  // A quote followed, after blanks, by a field end closes the field.
  const std::size_t first = skip_lookahead_blanks(quote_index + 1);
  if (field_ends_at(first)) return false;
  // Otherwise it is stray if some quote from `first` to the end of the physical line is
  // followed, after blanks, by a field end.
  if (first < survey_begin_ || first >= survey_end_) survey_line_from(first);
  return survey_has_closing_quote_ && last_closing_quote_ >= first;
}

}  // namespace rowmender
