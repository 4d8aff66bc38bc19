#include "heuristics/field_count_sample.h"

#include <algorithm>

#include "parser/resilient_parser.h"

namespace rowmender {

FieldCountSample::FieldCountSample(std::string_view input, std::uint8_t delimiter, std::uint8_t quote_char,
                                   bool repair_quotes, std::size_t limit, bool at_end) {
  ResilientParser parser(input, delimiter, quote_char, repair_quotes);
  ResilientParser::RowShape row;
  while (counted_rows_ < limit) {
    if (parser.skip_empty_row()) continue;  // a blank line never counts
    if (!parser.next_row_shape(row)) break;
    if (!row.counted) continue;
    const std::size_t fields = static_cast<std::size_t>(row.fields);
    auto entry =
        std::find_if(frequencies_.begin(), frequencies_.end(), [fields](const auto& e) { return e.first == fields; });
    if (entry == frequencies_.end()) {
      frequencies_.emplace_back(fields, 1);
    } else {
      ++entry->second;
    }
    ++counted_rows_;
  }
  // In a head, a row that reaches its end may go on past it, and rows may follow: only a
  // full sample whose last row ended inside the head is final. (A row can only be read
  // differently from the whole text if its reading reached the head's end.)
  complete_ = at_end || (counted_rows_ == limit && parser.position() < input.size());
}

FieldCountSample::Mode FieldCountSample::mode(std::size_t min_count) const noexcept {
  Mode best;
  for (const auto& [count, frequency] : frequencies_) {
    if (count < min_count) continue;
    if (frequency > best.frequency || (frequency == best.frequency && count > best.count)) {
      best = {count, frequency};
    }
  }
  return best;
}

}  // namespace rowmender
