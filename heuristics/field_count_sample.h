#pragma once
// The field counts of the first counted rows of a text, and their most frequent value.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

namespace rowmender {

class FieldCountSample {
 public:
  // Parses `input` until `limit` counted rows have been seen or the input ends. Rows are
  // counted, not built: a huge row costs one scan and no memory. `at_end` says whether
  // `input` is the whole text or only its first part (a stream's head).
  FieldCountSample(std::string_view input, std::uint8_t delimiter, std::uint8_t quote_char, bool repair_quotes,
                   std::size_t limit, bool at_end = true);

  // Whether the sample is the one the whole text gives: always for the whole text; for a
  // head, when the limit was reached on a row that ends before the head does.
  bool complete() const noexcept { return complete_; }
  std::size_t counted_rows() const noexcept { return counted_rows_; }

  struct Mode {
    std::size_t count = 0;      // the field count; 0 when no count qualified
    std::size_t frequency = 0;  // how many counted rows have it
  };
  // The most frequent field count of at least `min_count`; the larger count wins a tie.
  Mode mode(std::size_t min_count) const noexcept;

 private:
  std::vector<std::pair<std::size_t, std::size_t>> frequencies_;  // (field count, rows)
  std::size_t counted_rows_ = 0;
  bool complete_ = true;
};

}  // namespace rowmender
