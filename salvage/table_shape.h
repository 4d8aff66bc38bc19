#pragma once
// The shape every kept row is brought to: the delimiter and the width, from the options or
// worked out from the first rows of the input.

#include <cstdint>
#include <optional>
#include <string_view>

#include "salvage/records.h"

namespace rowmender {

struct TableShape {
  std::uint8_t delimiter;
  std::uint64_t width;  // 0: rows keep whatever width they have
};

// From the whole input, which must not be empty.
TableShape settle_shape(std::string_view input, const SalvageOptions& options);

// From the first part of the input (a stream's head, `at_end` when it is the whole input):
// nullopt until the head holds every row inference samples, so that the answer is the one
// the whole input gives.
std::optional<TableShape> settle_shape_from_head(std::string_view head, const SalvageOptions& options, bool at_end);

}  // namespace rowmender
