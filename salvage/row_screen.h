#pragma once
// The cleanup rules that judge a row by what it holds rather than by its width: blank lines,
// a preamble above the header, copies of the header, summary rows below the table, rows of
// nothing but NUL bytes, and an empty last column that every row carries. What the head of
// the input says (where the header is, whether every row ends with the delimiter, what the
// first column holds) is read once into a HeadProfile; the RowScreen then decides each row
// from it, before the row rule, in every pass that walks rows.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "salvage/records.h"
#include "salvage/row_rule.h"
#include "salvage/table_shape.h"

namespace rowmender {

struct HeadProfile {
  std::size_t preamble_end = 0;             // rows that start before this offset of the first window
  bool trim_last = false;                   // every row ends with an empty field beyond the data
  std::vector<std::string> header;          // the header's fields, trimmed; empty without a header
  std::optional<std::size_t> header_begin;  // where the first row past the preamble starts
  bool first_column_wordless = false;       // the first column holds numbers, dates, codes: no words
};

// Reads the rows of `head`, the first window of the input (`at_end`: all of it), as the walk
// will read them. Only the rules `options.cleanup` turns on are looked for.
HeadProfile profile_head(std::string_view head, bool at_end, const TableShape& shape, const SalvageOptions& options);

// The shape rows are reconciled to once the profile is known: without the empty last column
// every row carries, unless the caller gave the width.
TableShape shape_after(const TableShape& shape, const HeadProfile& profile, const SalvageOptions& options);

class RowScreen;

// How much of the input's start the profile reads: the same bytes however the input is read,
// so that the rules decide alike for any window size.
inline constexpr std::size_t kProfileBytes = std::size_t{256} << 10;

// A row is the input's last only when at most this many bytes of blanks and line breaks
// follow it: a window that tells holds the row and them.
inline constexpr std::size_t kLastRowTail = std::size_t{64} << 10;

// Whether any cleanup rule judges rows (a stream must then hold kProfileBytes of its start,
// or all of it, in its first window).
bool screens_rows(const SalvageOptions& options) noexcept;

// The screen for a stream whose first window is `head` (`at_end`: all of the input), with
// `shape` brought to the profile's width; nullopt when no cleanup rule judges rows.
std::optional<RowScreen> screen_for(std::string_view head, bool at_end, TableShape& shape,
                                    const SalvageOptions& options, std::size_t profile_bytes = kProfileBytes);

// The fields of a plain line without quotes read straight from its bytes, for the screen.
class LineFields {
 public:
  LineFields(std::string_view line, char delimiter, std::uint64_t count) noexcept
      : line_(line), delimiter_(delimiter), count_(count) {}
  std::size_t size() const noexcept { return static_cast<std::size_t>(count_); }
  std::string_view field(std::size_t i) const noexcept;

 private:
  std::string_view line_;
  char delimiter_;
  std::uint64_t count_;
  // Fields are mostly asked for in order: where the last one asked for began.
  mutable std::size_t cached_index_ = 0;
  mutable std::size_t cached_begin_ = 0;
};

class RowScreen {
 public:
  RowScreen(const SalvageOptions& options, HeadProfile profile, std::uint64_t width);

  bool drops_blank_lines() const noexcept { return drops_blank_lines_; }
  // The empty fields a row of the first table gets for the columns a later table adds.
  std::uint64_t widening() const noexcept { return added_.size(); }
  // Whether a rule judges a row by whether it is the input's last.
  bool judges_last_row() const noexcept { return options_.has(Cleanup::footer) && width_ >= 4; }
  bool removes_control_bytes() const noexcept { return options_.has(Cleanup::control_bytes); }

  // Whether a plain row of `count` fields that starts at `begin` with `first` (its first
  // byte) may be anything but a row for the row rule: most rows of data are not, and are
  // decided without looking at their fields.
  bool looks_at(char first, std::uint64_t count, std::size_t begin) const noexcept {
    return count != width_ || profile_.trim_last || begin < profile_.preamble_end || cut_off_ || section_ ||
           (!widen_.empty() && profile_.header_begin && begin == *profile_.header_begin) ||
           first_bytes_[static_cast<unsigned char>(first)];
  }

  // Told before the input's last window is walked: whether the input was cut off.
  void input_cut_off(bool cut) noexcept { cut_off_ = cut && options_.has(Cleanup::cut_off); }

  // Where a row lies: where it starts in the window, whether no row with content follows
  // it, and whether it ends without a line break (at the end of the input).
  struct RowPlace {
    std::size_t begin;
    bool last;
    bool unterminated;
  };

  // The fate of a row of `fields` (RowView or LineFields) at `place`, `control_bytes` the
  // NUL bytes already removed from it; the row rule decides what the cleanup rules leave
  // to it.
  template <typename Fields>
  RowDecision decide(const Fields& fields, const RowPlace& place, std::uint64_t control_bytes, const RowRule& rule) {
    const std::size_t begin = place.begin;
    const bool last = place.last;
    std::uint64_t count = fields.size();
    RowDecision decision;
    if (cut_off_ && place.last && place.unterminated) {
      decision = {RowFate::Quarantine, 0, QuarantineReason::CutOff};
    } else if (control_bytes != 0 && count == 1 && fields.field(0).empty()) {
      decision = {RowFate::Quarantine, 0, QuarantineReason::Garbage};
    } else if (drops_blank_lines_ && is_blank_row(fields)) {
      decision = {RowFate::Drop, 1};  // one blank line
    } else if (begin < profile_.preamble_end) {
      decision = {RowFate::Quarantine, 0, QuarantineReason::Preamble};
    } else {
      decision.trim_last = profile_.trim_last && count > 1 && fields.field(count - 1).empty();
      count -= decision.trim_last ? 1 : 0;
      // Asked again for the same row, the answer is the same: nothing here changes.
      const bool header = profile_.header_begin && begin == *profile_.header_begin;
      std::optional<QuarantineReason> set_aside;
      if (header) {
        if (!widen_.empty()) {
          // The first table's header, and the names the later one adds.
          decision.remap = &widen_;
          decision.names = &header_names_;
        }
      } else if (is_repeated_header(fields, count)) {
        // The first table again: a section before it ends.
        set_aside = QuarantineReason::RepeatedHeader;
        section_.reset();
      } else if (section_ && is_header_of(fields, count, section_->names)) {
        set_aside = begin == section_->begin ? section_->reason : QuarantineReason::RepeatedHeader;
      } else if ((count != width_ || could_be_a_name(fields)) && looks_like_other_header(fields, count)) {
        set_aside = start_section(fields, count, begin);
      } else if (is_footer(fields, count, last)) {
        set_aside = QuarantineReason::Footer;
      }
      if (set_aside) {
        decision.fate = RowFate::Quarantine;
        decision.reason = *set_aside;
      } else {
        // Below the header of another table whose columns the first has, a row is brought to
        // that table's width and its fields put in the first header's order.
        const bool matched = section_ && section_->reason == QuarantineReason::NewSection;
        if (section_ && !section_->lacking.empty() && count == section_->rule.width() && first_lacking_.empty()) {
          first_lacking_ = section_->lacking;
        }
        const RowDecision reconciled = matched ? section_->rule.decide(count) : rule.decide(count);
        decision.fate = reconciled.fate;
        decision.fields = reconciled.fields;
        decision.reason = reconciled.reason;
        if (decision.fate != RowFate::Quarantine) {
          decision.matched = matched;
          // A row of the first table has the added columns empty.
          if (matched) {
            decision.remap = &section_->from;
          } else if (!header) {
            decision.widen = widening();
          }
        }
      }
    }
    decision.control_bytes = control_bytes;
    return decision;
  }

  // The window's first `bytes` bytes are dropped before the next window: offsets shift.
  void drop_front(std::size_t bytes) noexcept {
    if (section_) section_->begin = section_->begin >= bytes ? section_->begin - bytes : kBehind;
    profile_.preamble_end = profile_.preamble_end > bytes ? profile_.preamble_end - bytes : 0;
    if (profile_.header_begin) {
      if (*profile_.header_begin < bytes) {
        profile_.header_begin.reset();
      } else {
        *profile_.header_begin -= bytes;
      }
    }
  }

  // The names the first later table with columns the first header lacks has beyond it (none
  // when it repeats a name): the columns a second pass may add.
  const std::vector<std::string>& lacking_columns() const noexcept { return first_lacking_; }
  // The columns the output adds to the first header's (none when the first table has no
  // header as wide as the table to add them to).
  std::vector<std::string> added_columns() const {
    return {header_names_.begin() + widen_.size() - added_.size(), header_names_.end()};
  }

  // Whether the rows read next lie below the header of a second table.
  bool in_section() const noexcept { return section_.has_value(); }
  // Goes on below the table `other` (the same screen, having read the rows before a piece
  // of the input) left open; its header lies behind the next window.
  void carry_section_from(const RowScreen& other) {
    section_ = other.section_;
    if (section_) section_->begin = kBehind;
  }

  // What a screen carries from one piece of the input to the next, as plain values: the
  // second table open below the first, if any, and the first later table's lacking names.
  // A piece walked in another process hands it over this way.
  struct Carried {
    bool open = false;
    std::vector<std::string> names;
    std::vector<std::uint32_t> from;
    std::uint64_t width = 0;
    QuarantineReason reason = QuarantineReason::NewSection;
    std::vector<std::string> lacking;
    std::vector<std::string> first_lacking;
  };
  Carried carried() const {
    Carried carried;
    if (section_) {
      carried = {true, section_->names, section_->from, section_->rule.width(), section_->reason, section_->lacking,
                 {}};
    }
    carried.first_lacking = first_lacking_;
    return carried;
  }
  // Takes on what another screen for the same input carried; the section's header lies
  // behind the next window.
  void carry(const Carried& carried) {
    section_.reset();
    if (carried.open) {
      section_ = Section{carried.names, carried.from,   RowRule(reconcile_, carried.width),
                         kBehind,       carried.reason, carried.lacking};
    }
    first_lacking_ = carried.first_lacking;
  }
  // What the head told, as the screen was made (before any drop_front).
  const HeadProfile& profile() const noexcept { return profile_; }

  static bool is_blank(std::string_view text) noexcept;
  // Whether every field of a row is blank: a blank line, or one of nothing but delimiters
  // and blanks (the rows of empty cells a spreadsheet exports, ";;;").
  template <typename Fields>
  static bool is_blank_row(const Fields& fields) noexcept {
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (!is_blank(fields.field(i))) return false;
    }
    return true;
  }
  // Without the blanks (spaces, tabs) around it.
  static std::string_view trimmed(std::string_view text) noexcept;

 private:
  static constexpr std::size_t kBehind = static_cast<std::size_t>(-1);  // a row already behind the window

  // A second table's header met below the first (two exports joined).
  struct Section {
    std::vector<std::string> names;
    std::vector<std::uint32_t> from;  // for each column of the first header, the field it takes
    RowRule rule;                     // the second table's width
    std::size_t begin;                // where its header starts in the window
    QuarantineReason reason;          // NewSection: its rows are matched by name; OtherTable: not
    // OtherTable, of another width: the names the first header lacks, told once a row of
    // that width follows (a lone row of names is no table).
    std::vector<std::string> lacking;
  };

  template <typename Fields>
  bool is_repeated_header(const Fields& fields, std::uint64_t count) const {
    return options_.has(Cleanup::repeated_header) && !header_.empty() && is_header_of(fields, count, header_);
  }

  template <typename Fields, typename Names>
  static bool is_header_of(const Fields& fields, std::uint64_t count, const Names& names) {
    if (count != names.size()) return false;
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (trimmed(fields.field(i)) != names[i]) return false;
    }
    return true;
  }

  // Another width, every field a name (none empty, none a number, some a word), and at
  // least one of them the first header's: the header of a second table, not a row of data.
  template <typename Fields>
  bool looks_like_other_header(const Fields& fields, std::uint64_t count) const {
    if (!options_.has(Cleanup::repeated_header) || header_.empty() || count < 2) return false;
    bool shared = false, word = false;
    for (std::size_t i = 0; i < count; ++i) {
      const std::string_view name = trimmed(fields.field(i));
      if (name.empty() || is_number_text(name)) return false;
      word = word || starts_with_letter(name) || static_cast<unsigned char>(name[0]) >= 0x80;
      shared = shared || std::find(header_.begin(), header_.end(), name) != header_.end();
    }
    return shared && word;
  }

  // A cheap first look for a row as wide as the table: does its first field start as one of
  // the header's names does? Rows of data seldom do (their first column holds numbers).
  template <typename Fields>
  bool could_be_a_name(const Fields& fields) const {
    const std::string_view first = trimmed(fields.field(0));
    return !first.empty() && name_starts_[static_cast<unsigned char>(first[0])];
  }

  template <typename Fields>
  QuarantineReason start_section(const Fields& fields, std::uint64_t count, std::size_t begin) {
    // The output's columns: the first header's, and any the caller added.
    const std::size_t columns = header_.size() + added_.size();
    Section section{{},
                    std::vector<std::uint32_t>(columns, RowDecision::kNoField),
                    RowRule(reconcile_, count),
                    begin,
                    QuarantineReason::NewSection,
                    {}};
    for (std::size_t i = 0; i < count; ++i) section.names.emplace_back(trimmed(fields.field(i)));
    std::vector<std::string> lacking;
    for (std::size_t i = 0; i < count; ++i) {
      std::size_t column = std::find(header_.begin(), header_.end(), section.names[i]) - header_.begin();
      if (column == header_.size()) {
        column += std::find(added_.begin(), added_.end(), section.names[i]) - added_.begin();
      }
      // A name twice here cannot be placed; nor one the output has no column for, which the
      // caller may add (a second pass). The rows below are then reconciled as they always were.
      if (column < columns && section.from[column] != RowDecision::kNoField) {
        lacking.clear();
        section.reason = QuarantineReason::OtherTable;
        break;
      }
      if (column == columns) {
        lacking.push_back(section.names[i]);
        section.reason = QuarantineReason::OtherTable;
        continue;
      }
      section.from[column] = static_cast<std::uint32_t>(i);
    }
    if (section.reason == QuarantineReason::OtherTable && count != width_) section.lacking = std::move(lacking);
    section_ = std::move(section);
    return section_->reason;
  }

  static bool is_number_text(std::string_view text) noexcept;

  template <typename Fields>
  bool is_footer(const Fields& fields, std::uint64_t count, bool last) const {
    if (!options_.has(Cleanup::footer) || width_ < 2) return false;
    const std::string_view first = trimmed(fields.field(0));
    if (is_summary_word(first)) return count != width_ || profile_.first_column_wordless;
    // A last line much shorter than the table that starts with a word: "Exported by ...".
    return last && width_ >= 4 && count * 2 <= width_ && starts_with_letter(first);
  }

  static bool starts_with_letter(std::string_view text) noexcept;

 public:
  static bool is_summary_word(std::string_view text) noexcept;

  CleanupRules options_;
  SalvageOptions reconcile_;  // how rows are brought to a width
  HeadProfile profile_;
  std::vector<std::string_view> header_;  // into profile_.header
  std::array<bool, 256> name_starts_{};   // the first bytes of the header's names
  // Those, the first bytes of summary words (both cases), blanks and quotes: the first bytes
  // of rows a rule may judge.
  std::array<bool, 256> first_bytes_{};
  std::uint64_t width_;
  bool drops_blank_lines_;
  bool cut_off_ = false;
  std::optional<Section> section_;
  // With added columns: the names the output adds, each first-table column taking its own
  // field and the added ones none, and the header's fields for those (empty, then the names).
  std::vector<std::string_view> added_;
  std::vector<std::uint32_t> widen_;
  std::vector<std::string> header_names_;
  std::vector<std::string> first_lacking_;
};

}  // namespace rowmender
