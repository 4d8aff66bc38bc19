#pragma once
// The one rule by which every entry point turns its Python arguments into SalvageOptions.

#include "binding/py_ref.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <span>

#include "salvage/records.h"

namespace rowmender::binding {

// The parameter names of the six salvage settings, in the order every entry point lists
// them after its path parameters.
inline constexpr const char* kSalvageOptionParams[] = {"delimiter",      "quote_char",       "fill_ragged_rows",
                                                       "merge_overflow", "expected_columns", "repair_quotes"};

// An entry point's parameter names: its own first, then the six settings.
template <std::size_t N>
constexpr std::array<const char*, N + 6> with_salvage_option_params(const char* const (&own)[N]) {
  std::array<const char*, N + 6> params{};
  for (std::size_t i = 0; i < N; ++i) params[i] = own[i];
  for (std::size_t i = 0; i < 6; ++i) params[N + i] = kSalvageOptionParams[i];
  return params;
}

// The streaming road's settings: the six, then those the whole-file functions never had.
inline constexpr const char* kStreamSettingParams[] = {"delimiter",      "quote_char",       "fill_ragged_rows",
                                                       "merge_overflow", "expected_columns", "repair_quotes",
                                                       "cleanup",        "escape_char"};
inline constexpr std::size_t kStreamSettingCount = std::size(kStreamSettingParams);

// How a setting's value is judged, by the two rules:
//   lenient: as salvage_file, open and SalvageReader have always taken them: delimiter None
//     or "" means detect, otherwise its first UTF-8 byte; quote_char its first UTF-8 byte, ""
//     meaning the double quote; expected_columns anything with __index__. A caller's typo
//     (";;") silently becomes another setting, which these functions keep for their callers.
//   strict: what repair, rows, repair_many and the command line take: delimiter and
//     quote_char exactly one ASCII character other than CR and LF and different from each
//     other (quote_char None: no quoting; the output still quotes with the double quote,
//     which the delimiter then cannot be), escape_char None or one such character other
//     than both, flags exactly bool, expected_columns an int (not a bool) from 0 to
//     kMaxExpectedColumns, cleanup a bool (every rule or none) or a collection of rule
//     names (kCleanupNames). TypeError for a wrong type, ValueError for a wrong value, each
//     naming the setting and the value given.

// A wider table is a mistyped number: padding every short row to ten million fields takes
// 80 MB of memory and writes 10 MB per row.
inline constexpr std::uint64_t kMaxExpectedColumns = 10'000'000;

// Converts the six bound values (nullptr where the default applies) into `options`, by the
// whole-file functions' lenient rule.
bool convert_salvage_options(std::span<PyObject* const, 6> values, SalvageOptions& options);

// Converts a dict of the settings by name (missing ones take their defaults), strictly.
// An unknown name is a TypeError, as for a keyword argument.
bool convert_settings_mapping(PyObject* settings, SalvageOptions& options);

// _check_settings(**settings): the strict check before any file is touched; returns the
// settings as a dict, every name present, ready for _repair and _RowStream.
PyMethodDef& check_settings_definition();

// Adds _STREAM_SETTINGS (the streaming road's setting names) and _CLEANUP_RULES (the
// cleanup rules' names) to the module, so that the package lists them from here.
int add_settings_names(PyObject* module);

}  // namespace rowmender::binding
