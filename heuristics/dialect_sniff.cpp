#include "heuristics/dialect_sniff.h"

#include <algorithm>
#include <span>
#include <utility>
#include <vector>

#include "heuristics/field_count_sample.h"
#include "heuristics/structure_inference.h"
#include "parser/resilient_parser.h"

namespace rowmender {
namespace {

constexpr std::uint8_t kBackslash = '\\';

// How well one style reads the sample.
struct Fit {
  double consistency = 0.0;          // share of the lines in rows of the most frequent width
  bool has_clean_multiline = false;  // a row over several lines, of that width, its quotes well formed
  std::size_t unclean_rows = 0;      // rows with quotes out of place (stray, in unquoted fields, unclosed)
};

std::uint8_t delimiter_for(std::string_view sample, const DialectQuestion& question, const Dialect& dialect) {
  if (question.delimiter) return *question.delimiter;
  std::vector<FieldCountSample> samples;
  samples.reserve(CANDIDATE_DELIMITERS.size());
  for (const std::uint8_t candidate : CANDIDATE_DELIMITERS) {
    samples.emplace_back(candidate, question.quote_char, question.repair_quotes, SNIFF_SAMPLE_LIMIT);
    samples.back().set_dialect(dialect);
    samples.back().read(sample, true);
  }
  return best_delimiter(std::span<const FieldCountSample, CANDIDATE_DELIMITERS.size()>(samples));
}

Fit fit(std::string_view sample, const DialectQuestion& question, const Dialect& dialect) {
  ResilientParser parser(sample, delimiter_for(sample, question, dialect), question.quote_char, question.repair_quotes);
  parser.set_dialect(dialect);
  struct Row {
    std::uint64_t fields;
    std::uint64_t lines;
    bool clean;
  };
  std::vector<Row> rows;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> frequencies;  // (fields, rows)
  ResilientParser::RowShape shape;
  while (true) {
    const std::uint64_t line = parser.line();
    if (!parser.next_row_shape(shape)) break;
    if (!shape.counted) continue;
    const RowEvents& events = parser.events();
    const bool clean = (events.stray_quotes | events.text_after_quote | events.quotes_in_unquoted_fields) == 0 &&
                       !events.unterminated_quote;
    rows.push_back({shape.fields, std::max<std::uint64_t>(parser.line() - line, 1), clean});
    auto found = std::find_if(frequencies.begin(), frequencies.end(),
                              [&](const auto& entry) { return entry.first == shape.fields; });
    if (found == frequencies.end()) {
      frequencies.emplace_back(shape.fields, 1);
    } else {
      ++found->second;
    }
  }
  Fit result;
  if (rows.empty()) return result;
  std::pair<std::uint64_t, std::uint64_t> mode{0, 0};
  for (const auto& entry : frequencies) {
    if (entry.second > mode.second || (entry.second == mode.second && entry.first > mode.first)) mode = entry;
  }
  std::uint64_t lines = 0, fitting = 0;
  for (const Row& row : rows) {
    lines += row.lines;
    result.unclean_rows += row.clean ? 0 : 1;
    if (row.fields != mode.first) continue;
    fitting += row.lines;
    result.has_clean_multiline = result.has_clean_multiline || (row.lines > 1 && row.clean);
  }
  result.consistency = static_cast<double>(fitting) / static_cast<double>(lines);
  return result;
}

// What the bytes say of the quotes, whatever the style: how many there are, how many open a
// field, how many are doubled inside one, and how many follow a backslash.
struct QuoteCounts {
  std::size_t quotes = 0;
  std::size_t opening = 0;
  std::size_t doubled = 0;
  std::size_t backslashed = 0;
  std::size_t after_spaces = 0;  // quotes after spaces that follow a field boundary: `, "`
};

QuoteCounts count_quotes(std::string_view sample, const DialectQuestion& question) {
  const auto is_boundary = [&](std::uint8_t b) {
    if (b == '\n' || b == '\r') return true;
    if (question.delimiter) return b == *question.delimiter;
    return std::find(CANDIDATE_DELIMITERS.begin(), CANDIDATE_DELIMITERS.end(), b) != CANDIDATE_DELIMITERS.end();
  };
  const std::uint8_t quote = question.quote_char;
  const std::size_t size = sample.size();
  const auto at = [&](std::size_t i) { return static_cast<std::uint8_t>(sample[i]); };
  const auto starts_field = [&](std::size_t i) { return i == 0 || is_boundary(at(i - 1)); };
  const auto ends_field = [&](std::size_t i) { return i + 1 >= size || is_boundary(at(i + 1)); };
  QuoteCounts counts;
  for (std::size_t i = 0; i < size; ++i) {
    const std::uint8_t b = at(i);
    if (b == kBackslash && i + 1 < size && (at(i + 1) == quote || at(i + 1) == kBackslash)) {
      if (at(i + 1) == quote) {
        ++counts.backslashed;
        ++counts.quotes;
      }
      ++i;
    } else if (b == quote && i + 1 < size && at(i + 1) == quote) {
      counts.quotes += 2;
      // An empty quoted field is two quotes too, but not a doubled one.
      if (!starts_field(i) || !ends_field(i + 1)) ++counts.doubled;
      ++i;
    } else if (b == quote) {
      ++counts.quotes;
      if (starts_field(i) && !ends_field(i)) ++counts.opening;
      if (i > 0 && at(i - 1) == ' ') {
        std::size_t first_space = i - 1;
        while (first_space > 0 && at(first_space - 1) == ' ') --first_space;
        if (starts_field(first_space)) ++counts.after_spaces;
      }
    }
  }
  return counts;
}

}  // namespace

Dialect sniff_dialect(std::string_view head, bool at_end, const DialectQuestion& question) {
  std::string_view sample = head.substr(0, kDialectSampleBytes);
  if (!at_end || head.size() > kDialectSampleBytes) {
    // A row cut off at the sample's end would look like a quote left open.
    const std::size_t last_break = sample.find_last_of("\r\n");
    if (last_break != std::string_view::npos) sample = sample.substr(0, last_break + 1);
  }
  Dialect chosen = question.given;
  if (question.tell_quoting && chosen.is_standard()) {
    const QuoteCounts counts = count_quotes(sample, question);
    if (counts.after_spaces != 0) {
      // Quotes after a delimiter and spaces: a writer that puts a space after each
      // delimiter, when reading its fields so (the spaces skipped, the quotes opening
      // fields) fits better, or as well with fewer quotes out of place (every row may hold
      // one).
      Dialect spaced = chosen;
      spaced.skip_initial_space = true;
      const Fit with_spaces = fit(sample, question, spaced), without = fit(sample, question, chosen);
      if (with_spaces.consistency > without.consistency ||
          (with_spaces.consistency == without.consistency && with_spaces.unclean_rows < without.unclean_rows)) {
        chosen = spaced;
      }
    }
    if (chosen.is_standard() && counts.quotes != 0 && counts.doubled == 0) {
      const double standard = fit(sample, question, chosen).consistency;
      Dialect escaped = chosen;
      escaped.escape = kBackslash;
      Dialect unquoted = chosen;
      unquoted.quoting = false;
      // A backslash before quotes, none of them doubled: a dump's escapes, when reading them
      // so fits as well. Otherwise quotes that fit better as text, or that never open a
      // field (then both readings agree and the quotes are plainly data), are text.
      const double with_escape = counts.backslashed != 0 ? fit(sample, question, escaped).consistency : -1.0;
      const double as_text = counts.backslashed == 0 ? fit(sample, question, unquoted).consistency : -1.0;
      if (with_escape >= standard) {
        chosen = escaped;
      } else if (as_text > standard || (as_text == standard && counts.opening == 0)) {
        chosen = unquoted;
      }
    }
  }
  if (question.tell_one_line && chosen.quoting && !chosen.one_line_rows) {
    // Rows spanning lines are kept when the head shows one that is plainly meant: quotes
    // that close well, on a row as wide as the others. Without one, a quote left open at a
    // line's end is taken for a stray one.
    chosen.one_line_rows = !fit(sample, question, chosen).has_clean_multiline;
  }
  return chosen;
}

}  // namespace rowmender
