#include "heuristics/field_count_sample.h"
#include "heuristics/structure_inference.h"

namespace rowmender {

std::uint64_t infer_column_count(std::string_view input, std::uint8_t delimiter, std::uint8_t quote_char,
                                 bool repair_quotes) {
  const FieldCountSample sample(input, delimiter, quote_char, repair_quotes, INFER_SAMPLE_LIMIT);
  return sample.mode(1).count;  // 0 when no row was counted
}

}  // namespace rowmender
