// The parser over arbitrary bytes with arbitrary delimiter and quote bytes and either repair
// setting, optionally taking plain lines from their bitmaps as the salvage passes do. It
// must agree, row by row and line by line, with the byte-at-a-time reference parser, and
// keep its own promises: every row has a field, every field is valid UTF-8, each row
// consumes input, and the line counter never goes back.

#include "fuzz_input.h"
#include "parser/plain_line.h"
#include "parser/resilient_parser.h"
#include "reference_parser.h"
#include "unicode/utf8.h"

using namespace rowmender;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzInput in(data, size);
  const std::uint8_t delimiter = in.take_byte();
  const std::uint8_t quote = in.take_byte();
  const std::uint8_t flags = in.take_byte();
  const bool repair = flags & 1;
  const bool skip_blank_lines = flags & 2;  // as the structure samplers do
  const bool read_plain_lines = (flags & 4) && PlainLine::usable(delimiter, quote);
  const std::string_view content = in.rest();

  ResilientParser parser(content, delimiter, quote, repair);
  test::ReferenceParser reference(content, delimiter, quote, repair);
  RowTable rows;
  PlainLine plain;
  std::uint64_t previous_line = parser.line();
  std::uint64_t previous_position = parser.position();
  while (true) {
    if (skip_blank_lines && parser.skip_empty_row()) {
      const auto expected = reference.next_row();
      FUZZ_CHECK(expected.has_value() && *expected == test::Fields{""});
      FUZZ_CHECK(reference.line == parser.line());
      FUZZ_CHECK(parser.position() > previous_position);
      previous_position = parser.position();
      previous_line = parser.line();
      continue;
    }
    if (read_plain_lines &&
        plain.read(content, parser.position(), static_cast<char>(delimiter), static_cast<char>(quote))) {
      plain.append_fields(rows);
      rows.end_row();
      parser.skip_row_ending_at(plain.line_end());
    } else if (!parser.next_row(rows)) {
      break;
    }
    const std::size_t r = rows.size() - 1;
    FUZZ_CHECK(rows.field_count(r) >= 1);
    for (std::size_t f = 0; f < rows.field_count(r); ++f) {
      FUZZ_CHECK(utf8_valid_prefix(rows.field(r, f)) == rows.field(r, f).size());
    }
    FUZZ_CHECK(parser.position() > previous_position);
    FUZZ_CHECK(parser.line() >= previous_line);
    previous_position = parser.position();
    previous_line = parser.line();

    const auto expected = reference.next_row();
    FUZZ_CHECK(expected.has_value());
    FUZZ_CHECK(test::fields_of(rows[r]) == *expected);
    FUZZ_CHECK(reference.line == parser.line());
  }
  FUZZ_CHECK(!reference.next_row().has_value());
  FUZZ_CHECK(parser.position() == content.size());
  return 0;
}
