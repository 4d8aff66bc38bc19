#pragma once
// The one rule by which every entry point turns its Python arguments into SalvageOptions.

#include "binding/py_ref.h"

#include <span>

#include "salvage/records.h"

namespace rowmender::binding {

// The parameter names of the six salvage settings, in the order every entry point lists
// them after its path parameters.
inline constexpr const char* kSalvageOptionParams[] = {"delimiter",      "quote_char",       "fill_ragged_rows",
                                                       "merge_overflow", "expected_columns", "repair_quotes"};

// Converts the six bound values (nullptr where the default applies) into `options`.
// delimiter: None or "" means detect, otherwise the first UTF-8 byte; quote_char: the first
// UTF-8 byte, "" meaning the double quote; expected_columns: None means infer.
bool convert_salvage_options(std::span<PyObject* const, 6> values, SalvageOptions& options);

}  // namespace rowmender::binding
