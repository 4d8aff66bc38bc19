#include "parser/row_table.h"

namespace rowmender {

void RowTable::pad_last_row(std::uint64_t count) {
  // Empty fields all end where the text ends now. The row count stays the same: the last
  // row simply ends later in the field list.
  row_ends_.truncate(row_ends_.size() - 1);
  field_ends_.append_copies(text_.size(), count);
  end_row();
}

void RowTable::merge_last_row_from(std::size_t first, std::string_view separator, std::string& scratch) {
  const std::size_t row = size() - 1;
  const std::uint64_t row_first = first_field(row);
  const std::size_t count = field_count(row);
  // Copy the fields to be joined aside, then rebuild them as one field with separators.
  const std::uint64_t tail_index = row_first + first;
  const std::uint64_t tail_begin = tail_index == 0 ? 0 : field_ends_[tail_index - 1];
  scratch.assign(text_.view().substr(static_cast<std::size_t>(tail_begin)));
  std::vector<std::uint64_t> lengths;
  lengths.reserve(count - first);
  std::uint64_t prev = tail_begin;
  for (std::size_t i = first; i < count; ++i) {
    const std::uint64_t end = field_ends_[row_first + i];
    lengths.push_back(end - prev);
    prev = end;
  }
  text_.resize(tail_begin);
  text_.reserve(tail_begin + scratch.size() + separator.size() * (lengths.size() - 1));
  std::size_t offset = 0;
  for (std::size_t i = 0; i < lengths.size(); ++i) {
    if (i != 0) text_.append(separator);
    text_.append(scratch.data() + offset, lengths[i]);
    offset += lengths[i];
  }
  field_ends_.truncate(row_first + first);
  row_ends_.truncate(row);
  end_field();
  end_row();
}

void RowTable::append_row_from(const RowTable& other, std::size_t row) {
  const std::uint64_t first = other.first_field(row), last = other.row_ends_[row];
  const std::uint64_t other_begin = first == 0 ? 0 : other.field_ends_[first - 1];
  const std::uint64_t base = text_.size();
  text_.append(other.row_text(row));
  for (std::uint64_t index = first; index < last; ++index) {
    field_ends_.push_back(base + other.field_ends_[index] - other_begin);
  }
  end_row();
}

void RowTable::drop_last_field() {
  const std::size_t fields = field_ends_.size();
  text_.truncate(field_ends_[fields - 2]);
  field_ends_.truncate(fields - 1);
  row_ends_.truncate(row_ends_.size() - 1);
  end_row();
}

std::uint64_t RowTable::remove_from_last_row(char byte) {
  const std::size_t row = size() - 1;
  const std::uint64_t row_first = first_field(row);
  const std::uint64_t begin = row_first == 0 ? 0 : field_ends_[row_first - 1];
  char* const text = text_.data();
  // The text only shrinks: it is compacted where it lies, field by field.
  std::uint64_t from = begin, to = begin;
  for (std::uint64_t field = row_first; field < field_ends_.size(); ++field) {
    const std::uint64_t end = field_ends_[field];
    for (; from < end; ++from) {
      if (text[from] != byte) text[to++] = text[from];
    }
    field_ends_.set(field, to);
  }
  text_.truncate(to);
  return from - to;
}

void RowTable::remap_last_row(const std::vector<std::uint32_t>& from, std::string& scratch,
                              const std::vector<std::string>* names) {
  const std::size_t row = size() - 1;
  const std::uint64_t row_first = first_field(row);
  const std::uint64_t begin = row_first == 0 ? 0 : field_ends_[row_first - 1];
  const std::size_t count = field_count(row);
  // The old fields aside, as the text after them and their ends within it.
  scratch.assign(text_.view().substr(static_cast<std::size_t>(begin)));
  std::vector<std::uint64_t> ends(count);
  for (std::size_t i = 0; i < count; ++i) ends[i] = field_ends_[row_first + i] - begin;
  drop_last_row();
  // A subset of the old fields in another order: the text grows only by the names.
  for (std::size_t j = 0; j < from.size(); ++j) {
    const std::uint32_t field = from[j];
    if (field < count) {
      const std::uint64_t start = field == 0 ? 0 : ends[field - 1];
      text_.append(scratch.data() + start, static_cast<std::size_t>(ends[field] - start));
    } else if (names != nullptr && j < names->size()) {
      text_.append((*names)[j].data(), (*names)[j].size());
    }
    end_field();
  }
  end_row();
}

void RowTable::drop_last_row() noexcept {
  const std::size_t row = size() - 1;
  const std::uint64_t row_first = first_field(row);
  text_.truncate(row_first == 0 ? 0 : field_ends_[row_first - 1]);
  field_ends_.truncate(row_first);
  row_ends_.truncate(row);
}

void RowTable::clear() noexcept {
  text_.clear();
  field_ends_.clear();
  row_ends_.clear();
}

}  // namespace rowmender
