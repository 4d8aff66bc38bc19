#pragma once

#include <string_view>

#include "memory/byte_buffer.h"
#include "salvage/records.h"

namespace rowmender {

// Salvages a whole input held in memory: settles the delimiter and the width (from the
// options or by inference), parses every row once and reconciles it to the width by
// filling, merging or quarantining. Never fails on any content.
SalvageOutcome salvage_slice(std::string_view input, const SalvageOptions& options);

// The same pass over the first `size` bytes of `buffer`, writing the rows' text over the
// input as it is consumed instead of into memory of its own: the rows own the buffer. Used
// where the input is not needed afterwards; the outcome is the same as salvage_slice's.
SalvageOutcome salvage_buffer(ByteBuffer buffer, std::size_t size, const SalvageOptions& options);

}  // namespace rowmender
