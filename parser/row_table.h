#pragma once
// Rows of field texts. A row is stored as one contiguous UTF-8 text holding its fields back
// to back, plus the end offset of every field: no allocation per field, and a kept row never
// has its text copied after the parser wrote it.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "memory/offset_vector.h"
#include "memory/text_buffer.h"

namespace rowmender {

class RowTable;

// A borrowed view of one row of a RowTable.
class RowView {
 public:
  RowView(const RowTable& table, std::size_t row) noexcept : table_(&table), row_(row) {}
  std::size_t size() const noexcept;
  std::string_view field(std::size_t i) const noexcept;
  // All field texts of the row back to back.
  std::string_view text() const noexcept;

 private:
  const RowTable* table_;
  std::size_t row_;
};

// Many rows in three flat arrays: all field texts back to back, the end offset of every
// field in that text, and the end (in fields) of every row. The parser appends to it, the
// salvage pass edits its last row, readers index it.
class RowTable {
 public:
  std::size_t size() const noexcept { return row_ends_.size(); }
  bool empty() const noexcept { return row_ends_.empty(); }
  RowView operator[](std::size_t row) const noexcept { return RowView(*this, row); }

  std::size_t field_count(std::size_t row) const noexcept {
    return static_cast<std::size_t>(row_ends_[row] - first_field(row));
  }
  std::string_view field(std::size_t row, std::size_t i) const noexcept { return field_text(first_field(row) + i); }
  std::string_view row_text(std::size_t row) const noexcept {
    const std::uint64_t first = first_field(row);
    const std::uint64_t begin = first == 0 ? 0 : field_ends_[first - 1];
    return text_.view().substr(begin, field_ends_[row_ends_[row] - 1] - begin);
  }

  // Building, used by the parser: raw bytes go to text(), then each field and row is closed.
  TextBuffer& text() noexcept { return text_; }
  const TextBuffer& const_text() const noexcept { return text_; }
  void end_field() { field_ends_.push_back(text_.size()); }
  // Closes a field that ends at `end` of the text, for callers that size the text first and
  // write the fields into it.
  void end_field_at(std::uint64_t end) { field_ends_.push_back(end); }
  // Fields across all rows, and the end offset of field number `index` among them.
  std::size_t total_fields() const noexcept { return field_ends_.size(); }
  std::uint64_t field_end(std::size_t index) const noexcept { return field_ends_[index]; }
  void set_field_end(std::size_t index, std::uint64_t end) { field_ends_.set(index, end); }
  void end_row() { row_ends_.push_back(field_ends_.size()); }
  // Takes over `storage` for the text, which starts empty. The caller reads input from the
  // old contents of `storage` and must keep every byte it has yet to read ahead of the text,
  // then call end_of_input(). Should the text move, the input stays readable until then.
  void write_text_over(ByteBuffer storage) noexcept { text_.write_over(std::move(storage)); }
  void end_of_input() noexcept { text_.end_of_input(); }
  // Empties the table and writes its text into the `capacity` bytes at `region` from now on
  // (see TextBuffer::borrow).
  void write_text_into(char* region, std::size_t capacity) noexcept {
    clear();
    text_.borrow(region, capacity);
  }
  // Appends a copy of row `row` of `other`.
  void append_row_from(const RowTable& other, std::size_t row);

  // Room for the rows of an input of `bytes` bytes: their text is rarely longer than the
  // input, and fields rarely average fewer than eight bytes. Reserved pages that stay unused
  // cost address space only.
  void reserve_for_input(std::size_t bytes) {
    text_.reserve(bytes);
    field_ends_.reserve(bytes / 8);
  }

  // Edits of the last row, used by reconciliation.
  // Appends `count` empty fields.
  void pad_last_row(std::uint64_t count);
  // Joins the fields from index `first` to the end into one field, `separator` between them.
  void merge_last_row_from(std::size_t first, std::string_view separator, std::string& scratch);
  // Removes the last field of the last row, which must have two or more.
  void drop_last_field();
  // Removes every `byte` from the last row's fields; returns how many there were.
  std::uint64_t remove_from_last_row(char byte);
  // Puts the last row's fields in another order: field j of the new row is field
  // `from[j]` of the old one, or empty where from[j] is past its end.
  void remap_last_row(const std::vector<std::uint32_t>& from, std::string& scratch,
                      const std::vector<std::string>* names = nullptr);
  // Removes the last row.
  void drop_last_row() noexcept;

  void clear() noexcept;

 private:
  std::uint64_t first_field(std::size_t row) const noexcept { return row == 0 ? 0 : row_ends_[row - 1]; }
  std::string_view field_text(std::uint64_t index) const noexcept {
    const std::uint64_t begin = index == 0 ? 0 : field_ends_[index - 1];
    return text_.view().substr(begin, field_ends_[index] - begin);
  }

  TextBuffer text_;
  OffsetVector field_ends_;
  OffsetVector row_ends_;
};

inline std::size_t RowView::size() const noexcept { return table_->field_count(row_); }
inline std::string_view RowView::field(std::size_t i) const noexcept { return table_->field(row_, i); }
inline std::string_view RowView::text() const noexcept { return table_->row_text(row_); }

}  // namespace rowmender
