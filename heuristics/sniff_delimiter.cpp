#include <algorithm>
#include <cmath>

#include "heuristics/field_count_sample.h"
#include "heuristics/structure_inference.h"

namespace rowmender {

std::optional<std::uint8_t> sniff_delimiter_from_head(std::string_view head, std::uint8_t quote_char,
                                                      bool repair_quotes, bool at_end) {
  std::uint8_t best_delimiter = ',';
  double best_score = -1.0;
  for (const std::uint8_t candidate : CANDIDATE_DELIMITERS) {
    const FieldCountSample sample(head, candidate, quote_char, repair_quotes, SNIFF_SAMPLE_LIMIT, at_end);
    if (!sample.complete()) return std::nullopt;
    double score = 0.0;
    const std::size_t n = sample.counted_rows();
    if (n >= 2) {
      // Single-field rows lower the share but can never be the mode.
      const FieldCountSample::Mode mode = sample.mode(2);
      if (mode.frequency > 0) {
        score = (static_cast<double>(mode.frequency) / static_cast<double>(n)) *
                std::max(std::log(static_cast<double>(mode.count)), 1.0);
      }
    }
    if (score > best_score) best_delimiter = candidate;
    best_score = std::max(best_score, score);
  }
  return best_delimiter;
}

std::uint8_t sniff_delimiter(std::string_view input, std::uint8_t quote_char, bool repair_quotes) {
  return *sniff_delimiter_from_head(input, quote_char, repair_quotes, true);
}

}  // namespace rowmender
