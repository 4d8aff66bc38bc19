#include "salvage/byte_arena.h"

#include <cstring>
#include <exception>

namespace rowmender {

void ByteArena::reserve_for_input() noexcept {
  // A file whose rows the writer must all make again needs about its own size in text.
  // Where even the address space is refused, the text grows as it goes.
  try {
    made_.reserve(input_.size() + 64);
  } catch (const std::exception&) {
  }
}

Span ByteArena::keep_input(std::size_t begin, std::size_t end) {
  if (writable_ == nullptr) return {0, begin, end};
  // The bytes were just read, so moving them costs little; where nothing was dropped yet
  // they are already in place.
  if (kept_ != begin) std::memmove(writable_ + kept_, writable_ + begin, end - begin);
  const Span span{0, kept_, kept_ + (end - begin)};
  kept_ += end - begin;
  return span;
}

Span ByteArena::keep_text(std::string_view text, std::size_t unread) {
  if (writable_ != nullptr && kept_ <= unread && text.size() <= unread - kept_) {
    std::memcpy(writable_ + kept_, text.data(), text.size());
    const Span span{0, kept_, kept_ + text.size()};
    kept_ += text.size();
    return span;
  }
  const std::size_t begin = made_.size();
  made_.append(text);
  return {1, begin, made_.size()};
}

}  // namespace rowmender
