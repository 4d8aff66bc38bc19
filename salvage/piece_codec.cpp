#include "salvage/piece_codec.h"

#include <cstring>
#include <utility>

namespace rowmender {
namespace {

// The first word of every message: the format's name and version. Numbers are written a
// byte per seven bits, low bits first, so that a message reads the same on any byte order
// and the many small numbers of a piece's changes take a byte or two each.
constexpr std::string_view kPlanMagic = "rowmender-walk-plan-3";
constexpr std::string_view kPieceMagic = "rowmender-walked-piece-2";

class Writer {
 public:
  Writer() = default;
  explicit Writer(std::string_view magic) { text(magic); }
  void number(std::uint64_t value) {
    while (value >= 0x80) {
      out_.push_back(static_cast<char>(0x80 | (value & 0x7F)));
      value >>= 7;
    }
    out_.push_back(static_cast<char>(value));
  }
  void flag(bool value) { number(value ? 1 : 0); }
  void text(std::string_view value) {
    number(value.size());
    out_.append(value);
  }
  void texts(const std::vector<std::string>& values) {
    number(values.size());
    for (const std::string& value : values) text(value);
  }
  std::string take() { return std::move(out_); }

 private:
  std::string out_;
};

// Reads what Writer wrote; any misstep (a short message, a count past its end, a value out
// of range) marks the message bad and reads zeros from then on.
class Reader {
 public:
  Reader(std::string_view bytes, std::string_view magic) : bytes_(bytes) {
    if (text() != magic) bad_ = true;
  }
  std::uint64_t number() {
    std::uint64_t value = 0;
    for (unsigned shift = 0; !bad_; shift += 7) {
      if (at_ == bytes_.size() || shift > 63) break;
      const auto byte = static_cast<unsigned char>(bytes_[at_++]);
      value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
      if ((byte & 0x80) == 0) return value;
    }
    bad_ = true;
    return 0;
  }
  std::uint64_t below(std::uint64_t limit) {
    const std::uint64_t value = number();
    if (value >= limit) bad_ = true;
    return bad_ ? 0 : value;
  }
  bool flag() { return below(2) != 0; }
  // Where the next `size` bytes lie in the message, and skips them.
  std::size_t skip(std::uint64_t size) {
    if (bad_ || bytes_.size() - at_ < size) {
      bad_ = true;
      return at_;
    }
    const std::size_t from = at_;
    at_ += static_cast<std::size_t>(size);
    return from;
  }
  std::string_view text() {
    const std::uint64_t size = number();
    const std::size_t from = skip(size);
    return bad_ ? std::string_view() : bytes_.substr(from, static_cast<std::size_t>(size));
  }
  // A count of items of at least `least` bytes each: never more than the message can hold.
  std::uint64_t count(std::size_t least) { return below((bytes_.size() - at_) / least + 1); }
  std::vector<std::string> texts() {
    std::vector<std::string> values(static_cast<std::size_t>(count(1)));
    for (std::string& value : values) value = text();
    return values;
  }
  bool ok() const noexcept { return !bad_ && at_ == bytes_.size(); }

 private:
  std::string_view bytes_;
  std::size_t at_ = 0;
  bool bad_ = false;
};

SalvageError malformed(std::string_view what) {
  return SalvageError::with_text("a " + std::string(what) + " from another version of the engine, or damaged");
}

}  // namespace

std::string encode_walk_plan(const WalkPlan& plan) {
  Writer out(kPlanMagic);
  out.number(plan.shape.delimiter);
  out.number(plan.shape.width);
  out.flag(plan.shape.dialect.quoting);
  out.flag(plan.shape.dialect.escape.has_value());
  out.number(plan.shape.dialect.escape.value_or(0));
  out.flag(plan.shape.dialect.one_line_rows);
  out.flag(plan.shape.dialect.skip_initial_space);
  out.flag(plan.profile.has_value());
  if (plan.profile) {
    const HeadProfile& profile = *plan.profile;
    out.number(profile.preamble_end);
    out.flag(profile.trim_last);
    out.texts(profile.header);
    out.flag(profile.header_begin.has_value());
    out.number(profile.header_begin.value_or(0));
    out.flag(profile.first_column_wordless);
  }
  out.flag(plan.cut_off);
  out.flag(plan.record_changes);
  out.flag(plan.added_columns.has_value());
  if (plan.added_columns) out.texts(*plan.added_columns);
  return out.take();
}

Expected<WalkPlan, SalvageError> decode_walk_plan(std::string_view bytes) {
  Reader in(bytes, kPlanMagic);
  WalkPlan plan;
  plan.shape.delimiter = static_cast<std::uint8_t>(in.below(256));
  plan.shape.width = in.number();
  plan.shape.dialect.quoting = in.flag();
  const bool escapes = in.flag();
  const auto escape = static_cast<std::uint8_t>(in.below(256));
  if (escapes) plan.shape.dialect.escape = escape;
  plan.shape.dialect.one_line_rows = in.flag();
  plan.shape.dialect.skip_initial_space = in.flag();
  if (in.flag()) {
    HeadProfile profile;
    profile.preamble_end = static_cast<std::size_t>(in.number());
    profile.trim_last = in.flag();
    profile.header = in.texts();
    const bool has_begin = in.flag();
    const auto begin = static_cast<std::size_t>(in.number());
    if (has_begin) profile.header_begin = begin;
    profile.first_column_wordless = in.flag();
    plan.profile = std::move(profile);
  }
  plan.cut_off = in.flag();
  plan.record_changes = in.flag();
  if (in.flag()) plan.added_columns = in.texts();
  if (!in.ok()) return malformed("piece plan");
  return plan;
}

PieceMessage::PieceMessage(const Piece& p) {
  Writer out(kPieceMagic);
  out.number(p.begin);
  out.number(p.end);
  out.flag(p.at_end);
  for (const std::uint64_t count :
       {p.stats.total_rows, p.stats.salvaged_rows, p.stats.repaired_rows, p.stats.quarantined_rows,
        std::uint64_t{p.stats.detected_delimiter}, p.stats.inferred_columns}) {
    out.number(count);
  }
  for (const std::uint64_t value : {std::uint64_t{p.cursor.position}, p.cursor.line, p.cursor.line_ends.lf,
                                    p.cursor.line_ends.crlf, p.cursor.line_ends.cr}) {
    out.number(value);
  }
  out.flag(p.line_planned);
  out.flag(p.skipped_bom);
  out.flag(p.screen.has_value());
  if (p.screen) {
    const RowScreen::Carried carried = p.screen->carried();
    out.flag(carried.open);
    out.texts(carried.names);
    out.number(carried.from.size());
    for (const std::uint32_t field : carried.from) out.number(field);
    out.number(carried.width);
    out.number(static_cast<std::uint64_t>(carried.reason));
    out.texts(carried.lacking);
    out.texts(carried.first_lacking);
  }
  p.plan.gather(p.arena, output_);
  std::uint64_t output = 0;
  for (const iovec& piece : output_) output += piece.iov_len;
  out.number(output);
  head_ = out.take();
  size_ = head_.size() + output;
  Writer rest;
  rest.number(p.quarantined.size());
  p.quarantined.for_each([&](const QuarantineRecord& record) {
    rest.number(record.line);
    rest.number(static_cast<std::uint64_t>(record.reason));
    rest.number(record.fields);
    rest.text(p.arena.view(record.content));
  });
  rest.number(p.changes.size());
  for (const RecordedChange& change : p.changes) {
    const RowDecision& decision = change.decision;
    const RowEvents& events = change.events;
    for (const std::uint64_t value : {change.first_line,
                                      change.last_line,
                                      std::uint64_t{static_cast<std::uint8_t>(decision.fate)},
                                      decision.fields,
                                      std::uint64_t{static_cast<std::uint8_t>(decision.reason)},
                                      std::uint64_t{decision.trim_last},
                                      decision.control_bytes,
                                      std::uint64_t{decision.remap != nullptr},
                                      std::uint64_t{decision.matched},
                                      decision.widen,
                                      events.stray_quotes,
                                      events.text_after_quote,
                                      events.quotes_in_unquoted_fields,
                                      events.invalid_utf8,
                                      std::uint64_t{events.transcoded},
                                      std::uint64_t{events.unterminated_quote},
                                      events.unterminated_quote_line,
                                      change.width,
                                      change.begin,
                                      change.end,
                                      std::uint64_t{change.blank_run}}) {
      rest.number(value);
    }
  }
  tail_ = rest.take();
  size_ += tail_.size();
}

void PieceMessage::copy_to(char* out) const noexcept {
  std::memcpy(out, head_.data(), head_.size());
  out += head_.size();
  for (const iovec& piece : output_) {
    std::memcpy(out, piece.iov_base, piece.iov_len);
    out += piece.iov_len;
  }
  std::memcpy(out, tail_.data(), tail_.size());
}

std::optional<SalvageError> decode_piece(std::string_view bytes, Piece& p,
                                         const std::optional<RowScreen>& first_screen) {
  // The output and the quarantined rows' text are spans of the message, read where it lies.
  const std::string_view message = bytes;
  Reader in(message, kPieceMagic);
  p.begin = in.number();
  p.end = in.number();
  p.at_end = in.flag();
  p.stats.total_rows = in.number();
  p.stats.salvaged_rows = in.number();
  p.stats.repaired_rows = in.number();
  p.stats.quarantined_rows = in.number();
  p.stats.detected_delimiter = static_cast<std::uint8_t>(in.below(256));
  p.stats.inferred_columns = in.number();
  p.cursor.position = static_cast<std::size_t>(in.number());
  p.cursor.line = in.number();
  p.cursor.line_ends.lf = in.number();
  p.cursor.line_ends.crlf = in.number();
  p.cursor.line_ends.cr = in.number();
  p.line_planned = in.flag();
  p.skipped_bom = in.flag();
  const bool screened = in.flag();
  if (screened != first_screen.has_value()) return malformed("walked piece");
  p.screen.reset();
  if (screened) {
    RowScreen::Carried carried;
    carried.open = in.flag();
    carried.names = in.texts();
    carried.from.resize(static_cast<std::size_t>(in.count(1)));
    for (std::uint32_t& field : carried.from) field = static_cast<std::uint32_t>(in.below(std::uint64_t{1} << 32));
    carried.width = in.number();
    carried.reason = static_cast<QuarantineReason>(in.below(kQuarantineReasons));
    carried.lacking = in.texts();
    carried.first_lacking = in.texts();
    p.screen.emplace(*first_screen);
    p.screen->carry(carried);
  }
  p.arena = ByteArena(message);
  p.plan.clear();
  const std::uint64_t output = in.number();
  const std::size_t output_at = in.skip(output);
  p.plan.add(Span{0, output_at, output_at + output});
  p.quarantined.clear();
  const std::uint64_t quarantined = in.count(4);
  for (std::uint64_t i = 0; i < quarantined; ++i) {
    QuarantineRecord record;
    record.line = in.number();
    record.reason = static_cast<QuarantineReason>(in.below(kQuarantineReasons));
    record.fields = in.number();
    const std::uint64_t size = in.number();
    const std::size_t at = in.skip(size);
    record.content = Span{0, at, at + size};
    p.quarantined.add(record);
  }
  static const std::vector<std::uint32_t> kRemapped;  // a change's remap is only ever asked whether there is one
  p.changes.resize(static_cast<std::size_t>(in.count(21)));
  for (RecordedChange& change : p.changes) {
    change.first_line = in.number();
    change.last_line = in.number();
    RowDecision& decision = change.decision;
    decision = {};
    decision.fate = static_cast<RowFate>(in.below(5));
    decision.fields = in.number();
    decision.reason = static_cast<QuarantineReason>(in.below(kQuarantineReasons));
    decision.trim_last = in.flag();
    decision.control_bytes = in.number();
    if (in.flag()) decision.remap = &kRemapped;
    decision.matched = in.flag();
    decision.widen = in.number();
    RowEvents& events = change.events;
    events.stray_quotes = in.number();
    events.text_after_quote = in.number();
    events.quotes_in_unquoted_fields = in.number();
    events.invalid_utf8 = in.number();
    events.transcoded = in.flag();
    events.unterminated_quote = in.flag();
    events.unterminated_quote_line = in.number();
    change.width = in.number();
    change.begin = in.number();
    change.end = in.number();
    change.blank_run = in.flag();
  }
  if (!in.ok() || p.end < p.begin) return malformed("walked piece");
  p.error.reset();
  return std::nullopt;
}

}  // namespace rowmender
