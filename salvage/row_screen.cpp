#include "salvage/row_screen.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <utility>

#include "heuristics/structure_inference.h"
#include "parser/resilient_parser.h"
#include "parser/row_table.h"

namespace rowmender {
namespace {

// The words spreadsheets and reports put in the first cell of a summary row, in the
// languages exports most often come in.
constexpr std::array<std::string_view, 28> kSummaryWords = {
    "total",       "totals",    "grand total",     "subtotal",       "sub-total", "sum",           "summe", "gesamt",
    "gesamtsumme", "insgesamt", "totaal",          "totale",         "suma",      "somme",         "count", "average",
    "mean",        "avg",       "summa",           "razem",          "yhteensä",  "total général", "итого", "всего",
    "合计",        "合計",      "opening balance", "closing balance"};

// Rows of the head the profile reads: enough to see a title block, the header and what the
// first column holds, few enough to cost nothing next to the file.
constexpr std::size_t kProfileRows = 200;
// A preamble longer than this is a table of its own, not a few title lines.
constexpr std::size_t kMostPreambleRows = 20;

bool is_number(std::string_view text) noexcept {
  bool digit = false;
  for (const char c : text) {
    if (c >= '0' && c <= '9') {
      digit = true;
    } else if (c != '.' && c != ',' && c != '-' && c != '+' && c != ' ' && c != '%') {
      return false;
    }
  }
  return digit;
}

// A header names its columns: every field holds a name (the last one may be the empty field
// of a trailing delimiter), none is a number, and the names are words.
bool looks_like_header(const RowTable& rows, std::size_t row, bool trim_last) {
  std::size_t count = rows.field_count(row);
  if (trim_last && count > 1 && rows.field(row, count - 1).empty()) --count;
  if (count < 2) return false;
  bool word = false;
  for (std::size_t i = 0; i < count; ++i) {
    const std::string_view field = RowScreen::trimmed(rows.field(row, i));
    if (field.empty() || is_number(field)) return false;
    word =
        word || std::isalpha(static_cast<unsigned char>(field[0])) != 0 || static_cast<unsigned char>(field[0]) >= 0x80;
  }
  return word;
}

}  // namespace

HeadProfile profile_head(std::string_view head, bool at_end, const TableShape& shape, const SalvageOptions& options) {
  HeadProfile profile;
  const CleanupRules rules = options.cleanup;
  if (!rules.any() || shape.width < 2) return profile;
  ResilientParser parser(head, shape.delimiter, options.quote_char, options.repair_quotes);
  parser.set_dialect(shape.dialect);  // the head is read as the rows will be
  RowTable rows;
  std::vector<std::size_t> begins;
  while (rows.size() < kProfileRows) {
    const std::size_t begin = parser.position();
    if (!parser.next_row(rows)) break;
    // A row that runs to the end of a head that is not the whole input may be cut short.
    if (!at_end && parser.position() >= head.size()) {
      rows.drop_last_row();
      break;
    }
    begins.push_back(begin);
  }
  const std::uint64_t width = shape.width;
  // The header: the first row about as wide as the table. Above it, a preamble only of lines
  // far narrower than the table (titles, "sep=;", blank lines), and only when the row found
  // names columns: a first data row is never taken for the end of a preamble.
  // Excel's "sep=;" line names the delimiter; it is never data.
  const auto is_sep_line = [&](std::size_t i) {
    return rows.field_count(i) <= 2 && rows.field(i, 0).starts_with("sep=");
  };
  // A row of nothing but blanks and delimiters (a spreadsheet's empty cells) is no header,
  // and as narrow as a blank line above one.
  const auto blank_row = [&](std::size_t i) { return RowScreen::is_blank_row(rows[i]); };
  // A title that a spreadsheet padded with delimiters to the table's width ("Sales
  // report;;"): text, not a number, in the first cell and nothing after it.
  const auto padded_title = [&](std::size_t i) {
    const std::string_view first = RowScreen::trimmed(rows.field(i, 0));
    if (rows.field_count(i) < 2 || first.empty() || is_number(first)) return false;
    for (std::size_t f = 1; f < rows.field_count(i); ++f) {
      if (!RowScreen::is_blank(rows.field(i, f))) return false;
    }
    return true;
  };
  std::size_t header = 0;
  while (header < rows.size() && (is_sep_line(header) || blank_row(header) || padded_title(header) ||
                                  (rows.field_count(header) < width && !(rows.field_count(header) + 1 == width &&
                                                                         looks_like_header(rows, header, true))))) {
    ++header;
  }
  if (header == rows.size()) return profile;
  bool narrow_above = true;
  for (std::size_t i = 0; i < header; ++i) {
    narrow_above = narrow_above && (rows.field_count(i) <= std::max<std::uint64_t>(1, width / 2) || is_sep_line(i) ||
                                    blank_row(i) || padded_title(i));
  }
  // Every row below the header ends with an empty field (and the header too, or it is that
  // one field narrower): the delimiter ends every line.
  std::size_t data_rows = 0;
  bool every_row_ends_empty = true;
  for (std::size_t i = header + 1; i < rows.size(); ++i) {
    const std::size_t count = rows.field_count(i);
    if (blank_row(i)) continue;
    ++data_rows;
    every_row_ends_empty = every_row_ends_empty && count > 1 && rows.field(i, count - 1).empty();
  }
  const std::size_t header_count = rows.field_count(header);
  const bool header_fits = (header_count > 1 && rows.field(header, header_count - 1).empty()) ||
                           (header_count + 1 == width && rows.field(header, header_count - 1).size() != 0);
  profile.trim_last = rules.has(Cleanup::trailing_delimiter) && data_rows >= 2 && every_row_ends_empty && header_fits;
  const bool is_header = looks_like_header(rows, header, profile.trim_last);
  if (rules.has(Cleanup::preamble) && header != 0 && header <= kMostPreambleRows && narrow_above && is_header) {
    profile.preamble_end = begins[header];
  }
  profile.header_begin = begins[header];
  if (is_header) {
    std::size_t count = header_count;
    if (profile.trim_last && count > 1 && rows.field(header, count - 1).empty()) --count;
    for (std::size_t i = 0; i < count; ++i) profile.header.emplace_back(RowScreen::trimmed(rows.field(header, i)));
  }
  // The first column holds no words (numbers, dates, codes) when hardly any of its values
  // starts with a letter: a "Total" there is no value of the column.
  std::size_t values = 0, words = 0;
  for (std::size_t i = header + (is_header ? 1 : 0); i < rows.size(); ++i) {
    const std::string_view first = RowScreen::trimmed(rows.field(i, 0));
    if (first.empty() || RowScreen::is_summary_word(first) || (is_header && first == profile.header[0])) continue;
    ++values;
    words += std::isalpha(static_cast<unsigned char>(first[0])) != 0 || static_cast<unsigned char>(first[0]) >= 0x80;
  }
  profile.first_column_wordless = values >= 3 && words * 10 <= values;
  return profile;
}

TableShape shape_after(const TableShape& shape, const HeadProfile& profile, const SalvageOptions& options) {
  TableShape after = shape;
  if (profile.trim_last && !options.expected_columns && after.width > 1) --after.width;
  return after;
}

bool screens_rows(const SalvageOptions& options) noexcept {
  constexpr std::uint16_t kRowRules =
      static_cast<std::uint16_t>(Cleanup::blank_lines) | static_cast<std::uint16_t>(Cleanup::preamble) |
      static_cast<std::uint16_t>(Cleanup::footer) | static_cast<std::uint16_t>(Cleanup::repeated_header) |
      static_cast<std::uint16_t>(Cleanup::control_bytes) | static_cast<std::uint16_t>(Cleanup::trailing_delimiter) |
      static_cast<std::uint16_t>(Cleanup::cut_off);
  return (options.cleanup.bits() & kRowRules) != 0;
}

std::optional<RowScreen> screen_for(std::string_view head, bool at_end, TableShape& shape,
                                    const SalvageOptions& options, std::size_t profile_bytes) {
  if (!screens_rows(options)) return std::nullopt;
  if (head.size() >= profile_bytes) {
    // Up to the last line break within the bytes every reading holds (one that holds just
    // those may not know yet that the input ends there).
    const std::size_t cut = head.substr(0, profile_bytes).find_last_of("\r\n");
    head = head.substr(0, cut == std::string_view::npos ? 0 : cut);
    at_end = false;
  } else if (!at_end) {
    const std::size_t cut = head.find_last_of("\r\n");
    head = head.substr(0, cut == std::string_view::npos ? 0 : cut);
  }
  HeadProfile profile = profile_head(head, at_end, shape, options);
  shape = shape_after(shape, profile, options);
  return RowScreen(options, std::move(profile), shape.width);
}

std::string_view LineFields::field(std::size_t i) const noexcept {
  std::size_t begin = 0, index = 0;
  if (i >= cached_index_) {
    begin = cached_begin_;
    index = cached_index_;
  }
  if (i + 1 == count_ && index < i) {
    // The last field: from the last delimiter, without walking the others.
    const std::size_t at = line_.rfind(delimiter_);
    begin = at == std::string_view::npos ? 0 : at + 1;
    index = i;
  }
  while (index < i) {
    begin = line_.find(delimiter_, begin) + 1;
    ++index;
  }
  cached_index_ = index;
  cached_begin_ = begin;
  const std::size_t end = std::min(line_.find(delimiter_, begin), line_.size());
  return line_.substr(begin, end - begin);
}

RowScreen::RowScreen(const SalvageOptions& options, HeadProfile profile, std::uint64_t width)
    : options_(options.cleanup),
      reconcile_(options),
      profile_(std::move(profile)),
      width_(width),
      drops_blank_lines_(options.cleanup.has(Cleanup::blank_lines) && width >= 2) {
  header_.assign(profile_.header.begin(), profile_.header.end());
  if (options.added_columns != nullptr && !header_.empty() && header_.size() == width) {
    added_.assign(options.added_columns->begin(), options.added_columns->end());
    for (std::uint32_t j = 0; j < width; ++j) widen_.push_back(j);
    widen_.resize(width + added_.size(), RowDecision::kNoField);
    header_names_.resize(width);
    header_names_.insert(header_names_.end(), options.added_columns->begin(), options.added_columns->end());
  }
  for (const std::string_view name : header_) {
    if (!name.empty()) name_starts_[static_cast<unsigned char>(name[0])] = true;
  }
  first_bytes_ = name_starts_;
  for (const std::string_view word : kSummaryWords) {
    const auto first = static_cast<unsigned char>(word[0]);
    first_bytes_[first] = true;
    if (first >= 'a' && first <= 'z') first_bytes_[first - 'a' + 'A'] = true;
  }
  for (const unsigned char c : {' ', '\t', '"', '\'', '\0'}) first_bytes_[c] = true;
  if (drops_blank_lines_) {
    // A row of empty cells starts with the delimiter (the given one, or one of those
    // sniffed), or with an empty quoted field, judged by its closing quote.
    for (const std::uint8_t c : CANDIDATE_DELIMITERS) first_bytes_[c] = true;
    if (options.delimiter) first_bytes_[*options.delimiter] = true;
    first_bytes_[options.quote_char] = true;
  }
}

bool RowScreen::is_number_text(std::string_view text) noexcept { return is_number(text); }

bool RowScreen::is_blank(std::string_view text) noexcept {
  return text.find_first_not_of(" \t") == std::string_view::npos;
}

std::string_view RowScreen::trimmed(std::string_view text) noexcept {
  const std::size_t from = text.find_first_not_of(" \t");
  if (from == std::string_view::npos) return {};
  return text.substr(from, text.find_last_not_of(" \t") - from + 1);
}

bool RowScreen::starts_with_letter(std::string_view text) noexcept {
  return !text.empty() && (std::isalpha(static_cast<unsigned char>(text[0])) != 0);
}

bool RowScreen::is_summary_word(std::string_view text) noexcept {
  // A colon may follow the word.

  if (!text.empty() && text.back() == ':') text.remove_suffix(1);
  if (text.size() < 3 || text.size() > 16) return false;
  std::array<char, 16> lower{};
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    lower[i] = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  }
  const std::string_view folded(lower.data(), text.size());
  return std::find(kSummaryWords.begin(), kSummaryWords.end(), folded) != kSummaryWords.end();
}

}  // namespace rowmender
