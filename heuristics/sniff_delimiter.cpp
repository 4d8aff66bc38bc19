#include <algorithm>
#include <cmath>
#include <vector>

#include "heuristics/field_count_sample.h"
#include "heuristics/structure_inference.h"

namespace rowmender {

std::uint8_t best_delimiter(std::span<const FieldCountSample, CANDIDATE_DELIMITERS.size()> samples) noexcept {
  std::uint8_t best_delimiter = ',';
  double best_score = -1.0;
  for (std::size_t i = 0; i < CANDIDATE_DELIMITERS.size(); ++i) {
    const FieldCountSample& sample = samples[i];
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
    if (score > best_score) best_delimiter = CANDIDATE_DELIMITERS[i];
    best_score = std::max(best_score, score);
  }
  return best_delimiter;
}

std::optional<std::uint8_t> sniff_delimiter_from_head(std::string_view head, std::uint8_t quote_char,
                                                      bool repair_quotes, bool at_end) {
  std::vector<FieldCountSample> samples;
  samples.reserve(CANDIDATE_DELIMITERS.size());
  for (const std::uint8_t candidate : CANDIDATE_DELIMITERS) {
    samples.emplace_back(head, candidate, quote_char, repair_quotes, SNIFF_SAMPLE_LIMIT, at_end);
    if (!samples.back().complete()) return std::nullopt;
  }
  return best_delimiter(std::span<const FieldCountSample, CANDIDATE_DELIMITERS.size()>(samples));
}

std::uint8_t sniff_delimiter(std::string_view input, std::uint8_t quote_char, bool repair_quotes) {
  return *sniff_delimiter_from_head(input, quote_char, repair_quotes, true);
}

}  // namespace rowmender
