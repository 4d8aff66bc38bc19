#include "salvage/salvage_slice.h"

#include "salvage/salvage_walk.h"
#include "salvage/table_shape.h"
#include "salvage/table_sink.h"
#include "unicode/utf8.h"

namespace rowmender {

SalvageOutcome salvage_slice(std::string_view input, const SalvageOptions& options) {
  SalvageOutcome outcome;
  if (input.empty()) return outcome;  // whatever the options say
  const TableShape shape = settle_shape(input, options);
  // Field texts are never longer than the input bar replacements and merges, so one
  // reservation usually serves the whole pass.
  outcome.rows.reserve_for_input(input.size());
  TableSink sink(outcome.rows, latin1_char(shape.delimiter), false, &outcome.quarantine, &outcome.quarantined_text);
  SalvageWalk walk(options, shape, sink, outcome.stats);
  walk.walk(input, true);
  finish_counts(outcome.stats);
  return outcome;
}

SalvageOutcome salvage_buffer(ByteBuffer buffer, std::size_t size, const SalvageOptions& options) {
  const std::string_view input(buffer.data(), size);
  if (input.empty()) return salvage_slice(input, options);
  SalvageOutcome outcome;
  const TableShape shape = settle_shape(input, options);
  outcome.rows.write_text_over(std::move(buffer));
  outcome.rows.reserve_for_input(input.size());
  TableSink sink(outcome.rows, latin1_char(shape.delimiter), true);
  SalvageWalk walk(options, shape, sink, outcome.stats);
  walk.walk(input, true);
  outcome.rows.end_of_input();
  finish_counts(outcome.stats);
  return outcome;
}

}  // namespace rowmender
