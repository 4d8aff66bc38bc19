#pragma once
// Lines that the tolerant parser reads as plain RFC 4180, recognised without running it.
//
// Most lines of most files are plain: one physical line, valid UTF-8, unquoted fields free
// of quotes, and quoted fields that are well formed (every inner quote doubled, the closing
// quote followed by the delimiter or the line's end). The parser reads such a line the same
// way with or without quote repair, as the fields between the delimiters outside quotes,
// with the outer quotes of quoted fields removed and doubled quotes made single. Anything
// else (a quote out of place, a line break inside quotes, blanks after a closing quote,
// invalid UTF-8, a line of 4096 bytes or more) is left to the parser.
//
// Works only when the delimiter and the quote are distinct ASCII bytes other than CR and LF
// (see usable()), so that they never fall inside a multi-byte character.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "parser/dialect.h"
#include "parser/line_bits.h"
#include "parser/row_table.h"

namespace rowmender {

class PlainLine {
 public:
  static bool usable(std::uint8_t delimiter, std::uint8_t quote_char) noexcept;

  // Lines are read as `dialect` spells them: without quoting, a line with a quote byte (text
  // there, which the output quotes) and, with an escape, a line with the escape byte are
  // left to the parser.
  void set_dialect(const Dialect& dialect) noexcept {
    quotes_are_text_ = !dialect.quoting;
    escape_ = dialect.escape;
    // Every line is left to the parser, which skips the spaces that start fields.
    spaces_skipped_ = dialect.skip_initial_space;
  }

  // Reads the line of `input` that starts at `begin`. False when it is not plain, and at the
  // end of the input. `input` must outlive the use of the other members.
  bool read(std::string_view input, std::size_t begin, char delimiter, char quote) noexcept;

  // Index in the input of the CR or LF that ends the line, or the input's size.
  std::size_t line_end() const noexcept { return begin_ + bits_.size(); }
  std::uint64_t field_count() const noexcept { return fields_; }
  // Whether the line holds a quote at all: without one, its fields joined by the delimiter
  // are the line itself.
  bool has_quotes() const noexcept { return has_quotes_; }
  // Whether each quoted field holds a quote or the delimiter: then a writer that quotes
  // only the fields that need it (for a quote, the delimiter or a line break) writes the
  // line back exactly as it stands.
  bool quotes_only_where_needed() const noexcept;
  // Appends the fields to `rows`, each closed; the row is left open.
  void append_fields(RowTable& rows) const;

  // Whether a line with bytes beyond ASCII is left to the parser, whatever they are: for a
  // file in a legacy encoding, whose rows the parser reads in it or, when UTF-8, as they are.
  void set_ascii_only(bool ascii_only) noexcept { ascii_only_ = ascii_only; }

  // Forgets what was learnt of the text read so far (where it is valid UTF-8), as a read of
  // another text or from an earlier place does: for a caller whose next read is of other
  // bytes in the same place.
  void forget_text() noexcept { valid_to_ = line_by_line_to_ = 0; }

 private:
  // Whether input[begin, end), a line, is valid UTF-8. The text is checked a block at a
  // time rather than a line at a time: a block is nearly always valid, and then so is every
  // line in it, for one call of the check instead of dozens.
  bool is_valid_utf8_line(std::string_view input, std::size_t begin, std::size_t end) noexcept;

  std::string_view input_;
  std::size_t begin_ = 0;
  char quote_ = '"';
  std::uint64_t fields_ = 0;
  bool has_quotes_ = false;
  bool quotes_are_text_ = false;
  bool spaces_skipped_ = false;
  bool ascii_only_ = false;
  std::optional<std::uint8_t> escape_;
  LineBits bits_;
  // Only when the line has quotes, word by word: the delimiters outside quotes, the quotes
  // that open and close quoted fields, and the reasons a field needs quotes (a delimiter
  // inside quotes, or the first quote of a doubled pair).
  std::uint64_t separators_[LineBits::kMaxWords];
  std::uint64_t field_opening_[LineBits::kMaxWords];
  std::uint64_t field_closing_[LineBits::kMaxWords];
  std::uint64_t reasons_[LineBits::kMaxWords];
  std::size_t valid_to_ = 0;         // the text before this is valid UTF-8
  std::size_t line_by_line_to_ = 0;  // a block before this was not: its lines are checked alone
};

}  // namespace rowmender
