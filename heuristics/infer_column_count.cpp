#include "heuristics/field_count_sample.h"
#include "heuristics/structure_inference.h"

namespace rowmender {

std::optional<std::uint64_t> infer_column_count_from_head(std::string_view head, std::uint8_t delimiter,
                                                          std::uint8_t quote_char, bool repair_quotes, bool at_end) {
  const FieldCountSample sample(head, delimiter, quote_char, repair_quotes, INFER_SAMPLE_LIMIT, at_end);
  if (!sample.complete()) return std::nullopt;
  return sample.mode(1).count;  // 0 when no row was counted
}

std::uint64_t infer_column_count(std::string_view input, std::uint8_t delimiter, std::uint8_t quote_char,
                                 bool repair_quotes) {
  return *infer_column_count_from_head(input, delimiter, quote_char, repair_quotes, true);
}

}  // namespace rowmender
