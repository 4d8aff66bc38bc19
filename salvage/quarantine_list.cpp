#include "salvage/quarantine_list.h"

namespace rowmender {
namespace {

void append_number(TextBuffer& out, std::uint64_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<char>((value & 0x7F) | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<char>(value));
}

// Appends `text` with every double quote doubled.
void append_doubling_quotes(std::string& out, std::string_view text) {
  while (true) {
    const std::size_t at = text.find('"');
    if (at == std::string_view::npos) break;
    out.append(text.substr(0, at + 1));
    out.push_back('"');
    text.remove_prefix(at + 1);
  }
  out.append(text);
}

}  // namespace

void QuarantineList::add(const QuarantineRecord& record) {
  // Lines never go down and each store's spans follow one another, so the deltas are small.
  append_number(bytes_, record.line - last_line_);
  // The reason in the low bits, the store above them.
  bytes_.push_back(static_cast<char>(static_cast<unsigned>(record.reason) | (record.content.made << 4)));
  append_number(bytes_, record.fields);
  append_number(bytes_, record.content.begin - last_ends_[record.content.made]);
  append_number(bytes_, record.content.size());
  last_line_ = record.line;
  last_ends_[record.content.made] = record.content.end;
  ++size_;
}

void QuarantineList::clear() noexcept {
  bytes_.clear();
  size_ = 0;
  last_line_ = 0;
  last_ends_[0] = last_ends_[1] = 0;
}

std::uint64_t QuarantineList::Decoder::number() noexcept {
  std::uint64_t value = 0;
  for (unsigned shift = 0;; shift += 7) {
    const auto byte = static_cast<std::uint8_t>(bytes_[at_++]);
    value |= std::uint64_t{byte & 0x7Fu} << shift;
    if (byte < 0x80) return value;
  }
}

QuarantineRecord QuarantineList::Decoder::next() noexcept {
  QuarantineRecord record;
  line_ += number();
  record.line = line_;
  const auto flags = static_cast<std::uint8_t>(bytes_[at_++]);
  record.reason = static_cast<QuarantineReason>(flags & 15);
  const unsigned made = (flags >> 4) & 1;
  record.fields = number();
  const std::uint64_t begin = ends_[made] + number();
  const std::uint64_t end = begin + number();
  record.content = Span{made, begin, end};
  ends_[made] = end;
  return record;
}

void build_quarantine_line(std::string& out, std::uint64_t line, std::string_view reason,
                           std::string_view raw_content) {
  out.clear();
  out.append(std::to_string(line));
  out.append(",\"");
  append_doubling_quotes(out, reason);
  out.append("\",\"");
  append_doubling_quotes(out, raw_content);
  out.append("\"\n");
}

std::optional<SalvageError> write_quarantine_lines(BufferedWriter& writer, const QuarantineList& list,
                                                   const ByteArena& arena, std::uint64_t width,
                                                   std::uint64_t line_offset) {
  std::string reasons[kQuarantineReasons];
  for (unsigned i = 0; i < kQuarantineReasons; ++i) {
    reasons[i] = quarantine_reason_text(static_cast<QuarantineReason>(i), width);
  }
  std::string line;
  std::optional<SalvageError> error;
  list.for_each([&](const QuarantineRecord& record) {
    if (error) return;
    build_quarantine_line(line, record.line + line_offset, reasons[static_cast<unsigned>(record.reason)],
                          arena.view(record.content));
    error = writer.write(line);
  });
  return error;
}

}  // namespace rowmender
