#include "salvage/table_shape.h"

#include <algorithm>
#include <span>

#include "heuristics/dialect_sniff.h"
#include "heuristics/structure_inference.h"

namespace rowmender {

ShapeSettler::ShapeSettler(const SalvageOptions& options)
    : options_(options),
      dialect_(options.dialect),
      // The quoting style is told only for a caller who left it at RFC 4180 with the
      // double quote; confining rows to lines needs quotes to confine.
      dialect_told_(
          !(options.cleanup.has(Cleanup::quoting) && options.quote_char == '"' && options.dialect.is_standard()) &&
          !(options.cleanup.has(Cleanup::one_line_rows) && options.dialect.quoting)),
      delimiter_(options.delimiter) {
  if (!delimiter_) {
    samples_.reserve(CANDIDATE_DELIMITERS.size());
    for (const std::uint8_t candidate : CANDIDATE_DELIMITERS) {
      samples_.emplace_back(candidate, options.quote_char, options.repair_quotes, SNIFF_SAMPLE_LIMIT);
    }
  } else if (!options.expected_columns) {
    samples_.emplace_back(*delimiter_, options.quote_char, options.repair_quotes, INFER_SAMPLE_LIMIT);
  }
}

std::optional<TableShape> ShapeSettler::read(std::string_view window, bool at_end) {
  // A byte-order mark is skipped only when the first window holds all three of its bytes.
  if (!started_ && !at_end && window.size() < 3) return std::nullopt;
  if (!dialect_told_) {
    // The style is told before any row is sampled, so that the samples read with it.
    if (!at_end && window.size() < kDialectSampleBytes) return std::nullopt;
    DialectQuestion question;
    question.delimiter = options_.delimiter;
    question.quote_char = options_.quote_char;
    question.repair_quotes = options_.repair_quotes;
    question.given = options_.dialect;
    question.tell_quoting = options_.cleanup.has(Cleanup::quoting) && options_.quote_char == '"';
    question.tell_one_line = options_.cleanup.has(Cleanup::one_line_rows);
    dialect_ = sniff_dialect(window, at_end, question);
    dialect_told_ = true;
  }
  if (!started_) {
    for (FieldCountSample& sample : samples_) sample.set_dialect(dialect_);
  }
  started_ = true;
  if (!delimiter_) {
    bool complete = true;
    for (FieldCountSample& sample : samples_) {
      sample.read(window, at_end);
      complete = complete && sample.complete();
    }
    if (!complete) return std::nullopt;
    const std::span<const FieldCountSample, CANDIDATE_DELIMITERS.size()> sampled(samples_);
    std::uint8_t chosen = best_delimiter(sampled);
    if (options_.cleanup.has(Cleanup::delimiter)) chosen = delimiter_the_header_agrees_with(sampled, chosen);
    const std::size_t best =
        std::find(CANDIDATE_DELIMITERS.begin(), CANDIDATE_DELIMITERS.end(), chosen) - CANDIDATE_DELIMITERS.begin();
    delimiter_ = CANDIDATE_DELIMITERS[best];
    // The width is the most frequent count of the delimiter's first 100 counted rows, of
    // which its sample holds the first 50.
    if (options_.expected_columns) {
      samples_.clear();
    } else {
      FieldCountSample chosen = std::move(samples_[best]);
      samples_.clear();
      samples_.push_back(std::move(chosen));
      samples_[0].raise_limit(INFER_SAMPLE_LIMIT);
    }
  }
  std::uint64_t width = options_.expected_columns.value_or(0);
  if (!samples_.empty()) {
    samples_[0].read(window, at_end);
    if (!samples_[0].complete()) return std::nullopt;
    width = samples_[0].mode(1).count;  // 0 when no row was counted
  }
  return TableShape{*delimiter_, width, dialect_};
}

std::size_t ShapeSettler::done_with() const noexcept {
  if (!started_) return 0;
  std::size_t position = SIZE_MAX;
  for (const FieldCountSample& sample : samples_) position = std::min(position, sample.position());
  return samples_.empty() ? 0 : position;
}

void ShapeSettler::drop_front(std::size_t bytes) noexcept {
  for (FieldCountSample& sample : samples_) sample.drop_front(bytes);
}

std::optional<TableShape> settle_shape_from_head(std::string_view head, const SalvageOptions& options, bool at_end) {
  return ShapeSettler(options).read(head, at_end);
}

TableShape settle_shape(std::string_view input, const SalvageOptions& options) {
  return *settle_shape_from_head(input, options, true);
}

}  // namespace rowmender
