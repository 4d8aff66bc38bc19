#include "salvage/change_log.h"

#include <utility>

namespace rowmender {
namespace {

// "1 stray quote", "2 stray quotes": counts are read aloud in the details.
void append_count(std::string& out, std::uint64_t n, std::string_view one, std::string_view many) {
  out += std::to_string(n);
  out += ' ';
  out += n == 1 ? one : many;
}

// The change kind a set-aside row is logged under, and the count it adds to.
std::pair<std::string_view, std::uint64_t ChangeCounts::*> set_aside_kind(QuarantineReason reason) {
  switch (reason) {
    case QuarantineReason::Preamble: return {"preamble", &ChangeCounts::preamble_rows};
    case QuarantineReason::Footer: return {"footer", &ChangeCounts::footer_rows};
    case QuarantineReason::RepeatedHeader: return {"repeated_header", &ChangeCounts::repeated_headers};
    case QuarantineReason::Garbage: return {"garbage", &ChangeCounts::garbage_rows};
    case QuarantineReason::CutOff: return {"cut_off", &ChangeCounts::cut_off_rows};
    case QuarantineReason::NewSection:
    case QuarantineReason::OtherTable: return {"new_section", &ChangeCounts::new_sections};
    default: return {"quarantined", nullptr};
  }
}

}  // namespace

ChangeLog::ChangeLog(ByteSink* sink, bool decoded, ChangeRecorder* recorder) : recorder_(recorder), decoded_(decoded) {
  if (sink == nullptr) return;
  writer_.emplace(*sink);
  error_ = writer_->write(kChangeLogHeader);
}

void ChangeLog::write_line(const RowChange& change, std::string_view name, std::string_view detail) {
  if (recorder_ != nullptr) {
    recorder_->record(change.first_line, change.last_line, name, detail, change.begin, change.end);
  }
  if (!writer_ || error_) return;
  line_.clear();
  line_ += std::to_string(change.first_line);
  line_ += ',';
  line_ += std::to_string(change.last_line);
  line_ += ',';
  line_ += name;
  line_ += ',';
  // Details are plain words, digits and parentheses: no field needs quoting.
  line_ += detail;
  line_ += '\n';
  error_ = writer_->write(line_);
}

void ChangeLog::on_change(const RowChange& change) {
  const RowEvents& events = change.events;
  const RowDecision& decision = change.decision;
  if (decision.fate == RowFate::Drop) {
    // A run of blank lines, `fields` of them.
    counts_.blank_lines += decision.fields;
    detail_.clear();
    append_count(detail_, decision.fields, "blank line removed", "blank lines removed");
    write_line(change, "blank_line", detail_);
    return;
  }
  if (change.last_line > change.first_line) ++counts_.multiline_rows;
  if (decision.control_bytes != 0) {
    ++counts_.rows_with_control_bytes;
    counts_.control_bytes += decision.control_bytes;
    detail_.clear();
    append_count(detail_, decision.control_bytes, "NUL byte removed", "NUL bytes removed");
    write_line(change, "control_bytes", detail_);
  }
  if (decision.matched) ++counts_.matched_rows;
  if (decision.trim_last && counts_.trimmed_rows++ == 0) {
    // Every row has it: told once, at the first, and counted.
    write_line(change, "trailing_delimiter", "empty last column dropped (every row ends with the delimiter)");
  }
  if (events.stray_quotes != 0) {
    ++counts_.rows_with_stray_quotes;
    detail_.clear();
    append_count(detail_, events.stray_quotes, "stray quote kept as content", "stray quotes kept as content");
    write_line(change, "stray_quote", detail_);
  }
  if (events.text_after_quote != 0) {
    ++counts_.rows_with_text_after_quote;
    write_line(change, "text_after_quote",
               events.text_after_quote == 1 ? "text after a closing quote continued the field"
                                            : "text after closing quotes continued the fields");
  }
  if (events.quotes_in_unquoted_fields != 0) {
    ++counts_.rows_with_quotes_in_unquoted_fields;
    detail_.clear();
    append_count(detail_, events.quotes_in_unquoted_fields, "quote in an unquoted field kept as content",
                 "quotes in unquoted fields kept as content");
    write_line(change, "quote_in_unquoted_field", detail_);
  }
  if (events.invalid_utf8 != 0) {
    ++counts_.rows_with_replaced_bytes;
    counts_.replaced_sequences += events.invalid_utf8;
    detail_.clear();
    if (decoded_) {
      append_count(detail_, events.invalid_utf8, "undecodable byte replaced", "undecodable bytes replaced");
    } else {
      append_count(detail_, events.invalid_utf8, "invalid byte sequence replaced", "invalid byte sequences replaced");
    }
    write_line(change, "invalid_utf8", detail_);
  }
  if (events.transcoded) {
    ++counts_.transcoded_rows;
    // Decoded input with rows transcoded: a file in a legacy encoding with rows of UTF-8.
    write_line(change, "transcoded",
               decoded_ ? "UTF-8: read as UTF-8, not in the file's encoding"
                        : "not UTF-8: read in the encoding of the file's other rows");
  }
  if (events.unterminated_quote) {
    if (!counts_.unterminated_quote_line) counts_.unterminated_quote_line = events.unterminated_quote_line;
    write_line(change, "unterminated_quote", "quoted field open at end of input");
  }
  switch (change.decision.fate) {
    case RowFate::Keep: break;
    case RowFate::Pad:
      ++counts_.filled_rows;
      detail_.clear();
      append_count(detail_, change.decision.fields, "empty field added", "empty fields added");
      write_line(change, "filled", detail_);
      break;
    case RowFate::Merge:
      ++counts_.merged_rows;
      detail_.clear();
      append_count(detail_, change.decision.fields, "surplus field", "surplus fields");
      detail_ += " joined into column ";
      detail_ += std::to_string(change.width);
      write_line(change, "merged", detail_);
      break;
    case RowFate::Quarantine: {
      ++counts_.quarantined_rows;
      if (change.decision.reason == QuarantineReason::OtherTable && !counts_.other_table_line) {
        counts_.other_table_line = change.first_line;
      }
      const auto [kind, count] = set_aside_kind(change.decision.reason);
      if (count != nullptr) ++(counts_.*count);
      write_line(change, kind, quarantine_reason_text(change.decision.reason, change.width));
      break;
    }
    case RowFate::Drop: break;
  }
}

std::optional<SalvageError> ChangeLog::flush() {
  if (error_) return error_;
  if (writer_) return writer_->flush();
  return std::nullopt;
}

}  // namespace rowmender
