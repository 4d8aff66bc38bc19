#pragma once
// Which rows structure inference takes into account.

#include <string_view>

#include "parser/row_table.h"

namespace rowmender {

// True for any character with the Unicode White_Space property.
bool is_unicode_white_space(char32_t c) noexcept;

// True when the UTF-8 text is empty or holds only White_Space characters.
bool is_blank_text(std::string_view utf8) noexcept;

// A counted row is any row except one made of a single empty or whitespace-only field.
bool is_counted_row(const RowView& row) noexcept;

}  // namespace rowmender
