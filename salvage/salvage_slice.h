#pragma once

#include <string_view>

#include "salvage/records.h"

namespace rowmender {

// Salvages a whole input held in memory: settles the delimiter and the width (from the
// options or by inference), parses every row once and reconciles it to the width by
// filling, merging or quarantining. Never fails on any content.
SalvageOutcome salvage_slice(std::string_view input, const SalvageOptions& options);

}  // namespace rowmender
