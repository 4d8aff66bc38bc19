#include "salvage/change_log.h"

namespace rowmender {
namespace {

// "1 stray quote", "2 stray quotes": counts are read aloud in the details.
void append_count(std::string& out, std::uint64_t n, std::string_view one, std::string_view many) {
  out += std::to_string(n);
  out += ' ';
  out += n == 1 ? one : many;
}

}  // namespace

ChangeLog::ChangeLog(ByteSink* sink, bool decoded) : decoded_(decoded) {
  if (sink == nullptr) return;
  writer_.emplace(*sink);
  error_ = writer_->write(kChangeLogHeader);
}

void ChangeLog::write_line(const RowChange& change, std::string_view name, std::string_view detail) {
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
  if (change.last_line > change.first_line) ++counts_.multiline_rows;
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
    case RowFate::Quarantine:
      ++counts_.quarantined_rows;
      write_line(change, "quarantined", quarantine_reason_text(change.decision.reason, change.width));
      break;
  }
}

std::optional<SalvageError> ChangeLog::flush() {
  if (error_) return error_;
  if (writer_) return writer_->flush();
  return std::nullopt;
}

}  // namespace rowmender
