#include "salvage/table_shape.h"

#include "heuristics/structure_inference.h"

namespace rowmender {

std::optional<TableShape> settle_shape_from_head(std::string_view head, const SalvageOptions& options, bool at_end) {
  // A byte-order mark is skipped only when the head holds all three of its bytes.
  if (!at_end && head.size() < 3) return std::nullopt;
  std::optional<std::uint8_t> delimiter = options.delimiter;
  if (!delimiter) delimiter = sniff_delimiter_from_head(head, options.quote_char, options.repair_quotes, at_end);
  if (!delimiter) return std::nullopt;
  std::optional<std::uint64_t> width = options.expected_columns;
  if (!width) width = infer_column_count_from_head(head, *delimiter, options.quote_char, options.repair_quotes, at_end);
  if (!width) return std::nullopt;
  return TableShape{*delimiter, *width};
}

TableShape settle_shape(std::string_view input, const SalvageOptions& options) {
  return *settle_shape_from_head(input, options, true);
}

}  // namespace rowmender
