#include "heuristics/field_count_sample.h"

#include <algorithm>

#include "heuristics/counted_row.h"
#include "parser/resilient_parser.h"

namespace rowmender {

FieldCountSample::FieldCountSample(std::string_view input, std::uint8_t delimiter, std::uint8_t quote_char,
                                   bool repair_quotes, std::size_t limit) {
  ResilientParser parser(input, delimiter, quote_char, repair_quotes);
  RowTable row;  // one row at a time; its storage is reused
  while (counted_rows_ < limit) {
    if (parser.skip_empty_row()) continue;  // a blank line never counts
    if (!parser.next_row(row)) break;
    if (is_counted_row(row[0])) {
      const std::size_t fields = row.field_count(0);
      auto entry =
          std::find_if(frequencies_.begin(), frequencies_.end(), [fields](const auto& e) { return e.first == fields; });
      if (entry == frequencies_.end()) {
        frequencies_.emplace_back(fields, 1);
      } else {
        ++entry->second;
      }
      ++counted_rows_;
    }
    row.clear();
  }
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
