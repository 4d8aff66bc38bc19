#pragma once
// Where the text of a sink's rows may be written over the bytes the walk reads: a copy saved
// for every row and, for a stream's long row, memory of the row's size. One rule makes it
// safe, kept here and nowhere else: text over the input stays behind the parser. It covers
// only bytes already read, which nothing reads again; the walk asserts it after every row
// (in builds with assertions), whatever place the sink chose.
//
// The places a row's text can have:
//   - memory of its own (the table's storage): always allowed;
//   - over the input from a row's start, up to the first unread byte (a whole input read
//     into memory of the pass's own, or a stream's long row over its own bytes);
//   - after other text kept over the input, at a frontier that trails the parser (a
//     ByteArena's frontier; the rooms below bound it the same way).

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "memory/text_buffer.h"
#include "parser/row_table.h"
#include "salvage/row_bytes.h"

namespace rowmender {

// Whether `text` keeps the rule over `input`, of which the first `read` bytes are read. Text
// that lies elsewhere is not bound by it.
inline bool text_behind_parser(const TextBuffer& text, std::string_view input, std::size_t read) noexcept {
  const auto at = reinterpret_cast<std::uintptr_t>(text.data());
  const auto begin = reinterpret_cast<std::uintptr_t>(input.data());
  if (at < begin || at >= begin + input.size()) return true;
  return at + text.size() <= begin + read;
}

// The input a sink's walk reads now, and whether its bytes may be written.
class TextPlace {
 public:
  // `writable`: the bytes of `input` when they may be written (a stream's window), else null.
  void use(std::string_view input, char* writable) noexcept {
    input_ = input;
    writable_ = writable;
  }

  std::string_view input() const noexcept { return input_; }
  bool writable() const noexcept { return writable_ != nullptr; }
  char* at(std::size_t offset) const noexcept { return writable_ + offset; }
  std::size_t size() const noexcept { return input_.size(); }

  // What text written from `offset` may cover: the bytes up to `unread`, the first one the
  // parser has yet to read.
  static std::size_t room(std::size_t offset, std::size_t unread) noexcept {
    return unread > offset ? unread - offset : 0;
  }
  // Whether `size` more bytes of text written from `offset`, after `kept` bytes already
  // there, stay behind `unread`.
  static bool fits(std::size_t offset, std::size_t kept, std::size_t size, std::size_t unread) noexcept {
    return offset + kept + size <= unread;
  }

  // Starts `table` afresh with its text written over the row's own bytes: they end inside
  // the input, so the parser reads the last of them before the text can reach it.
  void write_over_row(RowTable& table, RowBytes own_bytes) const noexcept {
    table.write_text_into(at(own_bytes.begin), own_bytes.end - own_bytes.begin);
  }

 private:
  std::string_view input_;
  char* writable_ = nullptr;
};

}  // namespace rowmender
