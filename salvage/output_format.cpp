#include "salvage/output_format.h"

#include "simd/byte_scan.h"
#include "unicode/utf8.h"

namespace rowmender {
namespace {

// Appends `text`, doubling every occurrence of `quote`.
void append_doubling(std::string& out, std::string_view text, std::string_view quote) {
  while (true) {
    const std::size_t at = text.find(quote);
    if (at == std::string_view::npos) break;
    out.append(text.substr(0, at + quote.size()));
    out.append(quote);
    text.remove_prefix(at + quote.size());
  }
  out.append(text);
}

// Writes a line from its end backwards, over a room that holds the row's text at its start
// and into a tail past the room. The line is never shorter than the text, so each piece is
// written at or after the place its bytes came from: nothing is overwritten before it is
// read, provided each piece's tail part is written before its part in the room.
class BackwardWriter {
 public:
  BackwardWriter(char* room_begin, std::size_t room, char* tail, std::size_t size) noexcept
      : room_begin_(room_begin), room_(room), tail_(tail), end_(size) {}

  void put(const char* bytes, std::size_t n) noexcept {
    const std::size_t begin = end_ - n;
    if (end_ > room_) {
      const std::size_t from = begin > room_ ? begin : room_;
      std::memcpy(tail_ + (from - room_), bytes + (from - begin), end_ - from);
    }
    if (begin < room_) std::memmove(room_begin_ + begin, bytes, (end_ < room_ ? end_ : room_) - begin);
    end_ = begin;
  }
  void put(std::string_view bytes) noexcept { put(bytes.data(), bytes.size()); }
  std::size_t end() const noexcept { return end_; }

 private:
  char* room_begin_;
  std::size_t room_;
  char* tail_;
  std::size_t end_;
};

}  // namespace

OutputSyntax::OutputSyntax(std::uint8_t delimiter, std::uint8_t quote_char)
    : separator_(latin1_char(delimiter)),
      quote_(latin1_char(quote_char)),
      single_bytes_(delimiter < 0x80 && quote_char < 0x80) {}

bool OutputSyntax::needs_quoting(std::string_view field) const noexcept {
  if (single_bytes_) {
    return find_first_of4(field.data(), 0, field.size(), quote_[0], separator_[0], '\n', '\r') != field.size();
  }
  return field.find(quote_) != std::string_view::npos || field.find(separator_) != std::string_view::npos ||
         field.find_first_of("\n\r") != std::string_view::npos;
}

std::size_t OutputSyntax::count_quotes(std::string_view field) const noexcept {
  std::size_t count = 0;
  for (std::size_t at = field.find(quote_); at != std::string_view::npos; at = field.find(quote_, at + quote_.size())) {
    ++count;
  }
  return count;
}

std::size_t OutputSyntax::line_size(const RowView& row, bool starts_file) const {
  std::size_t size = (row.size() - 1) * separator_.size() + 1;
  for (std::size_t i = 0; i < row.size(); ++i) {
    const std::string_view field = row.field(i);
    size += field.size();
    if (quoted_in_line(field, i, starts_file)) size += 2 * quote_.size() + count_quotes(field) * quote_.size();
  }
  return size;
}

std::size_t OutputSyntax::raw_content_size(const RowView& row) const {
  return row.text().size() + (row.size() - 1) * separator_.size();
}

void OutputSyntax::spell_line_in_place(const RowView& row, char* room_begin, std::size_t room, bool starts_file,
                                       TextBuffer& tail) const {
  spell_in_place(row, room_begin, room, true, starts_file, tail);
}

void OutputSyntax::spell_raw_content_in_place(const RowView& row, char* room_begin, std::size_t room,
                                              TextBuffer& tail) const {
  spell_in_place(row, room_begin, room, false, false, tail);
}

void OutputSyntax::spell_in_place(const RowView& row, char* room_begin, std::size_t room, bool as_line,
                                  bool starts_file, TextBuffer& tail) const {
  const std::size_t size = as_line ? line_size(row, starts_file) : raw_content_size(row);
  const std::size_t tail_begin = tail.size();
  if (size > room) tail.resize(tail_begin + (size - room));
  BackwardWriter out(room_begin, room, tail.data() + tail_begin, size);
  if (as_line) out.put("\n", 1);
  for (std::size_t i = row.size(); i-- > 0;) {
    const std::string_view field = row.field(i);
    if (as_line && quoted_in_line(field, i, starts_file)) {
      // Quoted: the quote after, the content with every quote doubled, the quote before.
      out.put(quote_);
      std::string_view rest = field;
      for (std::size_t at = rest.rfind(quote_); at != std::string_view::npos; at = rest.rfind(quote_)) {
        out.put(rest.data() + at + quote_.size(), rest.size() - at - quote_.size());
        out.put(quote_);
        out.put(quote_);
        rest = rest.substr(0, at);
      }
      out.put(rest);
      out.put(quote_);
    } else {
      out.put(field);
    }
    if (i != 0) out.put(separator_);
  }
}

void OutputSyntax::append_field(std::string& line, std::string_view field, bool force_quotes) const {
  if (!force_quotes && !needs_quoting(field)) {
    line.append(field);
    return;
  }
  line.append(quote_);
  append_doubling(line, field, quote_);
  line.append(quote_);
}

}  // namespace rowmender
