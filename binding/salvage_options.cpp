#include "binding/salvage_options.h"

#include <optional>
#include <string_view>

#include "binding/arguments.h"

namespace rowmender::binding {

bool convert_salvage_options(std::span<PyObject* const, 6> values, SalvageOptions& options) {
  std::optional<std::string_view> delimiter;
  std::string_view quote_char = "\"";
  bool fill_ragged_rows = true, merge_overflow = true, repair_quotes = true;
  std::optional<std::uint64_t> expected_columns;

  if (values[0] && !convert_optional_text(values[0], kSalvageOptionParams[0], delimiter)) return false;
  if (values[1] && !convert_text(values[1], kSalvageOptionParams[1], quote_char)) return false;
  if (values[2] && !convert_flag(values[2], kSalvageOptionParams[2], fill_ragged_rows)) return false;
  if (values[3] && !convert_flag(values[3], kSalvageOptionParams[3], merge_overflow)) return false;
  if (values[4] && !convert_optional_count(values[4], kSalvageOptionParams[4], expected_columns)) return false;
  if (values[5] && !convert_flag(values[5], kSalvageOptionParams[5], repair_quotes)) return false;

  options = SalvageOptions{};
  if (delimiter && !delimiter->empty()) options.delimiter = static_cast<std::uint8_t>((*delimiter)[0]);
  options.quote_char = quote_char.empty() ? std::uint8_t{'"'} : static_cast<std::uint8_t>(quote_char[0]);
  options.fill_ragged_rows = fill_ragged_rows;
  options.merge_overflow = merge_overflow;
  options.expected_columns = expected_columns;
  options.repair_quotes = repair_quotes;
  return true;
}

}  // namespace rowmender::binding
