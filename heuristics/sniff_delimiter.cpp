#include <algorithm>
#include <cmath>
#include <vector>

#include "heuristics/field_count_sample.h"
#include "heuristics/structure_inference.h"

namespace rowmender {

namespace {

// A candidate's score: the share of the sampled rows that have its most frequent width of
// two fields or more, weighed by the logarithm of that width (at least 1); 0 without one.
double score_of(const FieldCountSample& sample) noexcept {
  const std::size_t n = sample.counted_rows();
  if (n < 2) return 0.0;
  // Single-field rows lower the share but can never be the mode.
  const FieldCountSample::Mode mode = sample.mode(2);
  if (mode.frequency == 0) return 0.0;
  return (static_cast<double>(mode.frequency) / static_cast<double>(n)) *
         std::max(std::log(static_cast<double>(mode.count)), 1.0);
}

}  // namespace

std::uint8_t best_delimiter(std::span<const FieldCountSample, CANDIDATE_DELIMITERS.size()> samples) noexcept {
  std::uint8_t best_delimiter = ',';
  double best_score = -1.0;
  for (std::size_t i = 0; i < CANDIDATE_DELIMITERS.size(); ++i) {
    const double score = score_of(samples[i]);
    if (score > best_score) best_delimiter = CANDIDATE_DELIMITERS[i];
    best_score = std::max(best_score, score);
  }
  return best_delimiter;
}

std::uint8_t delimiter_the_header_agrees_with(std::span<const FieldCountSample, CANDIDATE_DELIMITERS.size()> samples,
                                              std::uint8_t winner) noexcept {
  const FieldCountSample& won = samples[static_cast<std::size_t>(
      std::find(CANDIDATE_DELIMITERS.begin(), CANDIDATE_DELIMITERS.end(), winner) - CANDIDATE_DELIMITERS.begin())];
  const FieldCountSample::Mode won_mode = won.mode(2);
  if (won.counted_rows() < 2 || won_mode.frequency == 0) return winner;
  // The winner's first row of two fields or more. Rows above it hold none of its
  // delimiter: the header among them, where the winner is the text's delimiter.
  const std::size_t won_first_split = won.first_row_with(2, true);
  std::uint8_t chosen = winner;
  double chosen_score = -1.0;
  for (std::size_t i = 0; i < CANDIDATE_DELIMITERS.size(); ++i) {
    const FieldCountSample& sample = samples[i];
    const FieldCountSample::Mode mode = sample.mode(2);
    const std::size_t n = sample.counted_rows();
    // The candidate's header (its first row as wide as its table) is above that row.
    if (n < 2 || mode.frequency == 0 || sample.first_row_with(mode.count) >= won_first_split) continue;
    // Nearly as large a share of the rows as the winner's (nine tenths of it): a few damaged
    // rows under the header's delimiter do not hand the win back to the text's.
    if (10 * mode.frequency * won.counted_rows() < 9 * won_mode.frequency * n) continue;
    const double score = score_of(sample);
    if (score > chosen_score) {
      chosen = CANDIDATE_DELIMITERS[i];
      chosen_score = score;
    }
  }
  return chosen;
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
