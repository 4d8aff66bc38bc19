#pragma once
// The rule that lets a pass write rows' text over the bytes it reads, so that even a huge
// row costs no memory of its own: the text never reaches past the next byte the parser has
// yet to read. Text that lies anywhere else (its own storage, an arena) is not bound by it.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "memory/text_buffer.h"

namespace rowmender {

// Whether `text` keeps the rule over `input`, of which the first `read` bytes are read.
inline bool text_behind_parser(const TextBuffer& text, std::string_view input, std::size_t read) noexcept {
  const auto at = reinterpret_cast<std::uintptr_t>(text.data());
  const auto begin = reinterpret_cast<std::uintptr_t>(input.data());
  if (at < begin || at >= begin + input.size()) return true;
  return at + text.size() <= begin + read;
}

}  // namespace rowmender
