#include "salvage/salvage_plan.h"

#include "salvage/plan_sink.h"
#include "salvage/salvage_walk.h"
#include "salvage/table_shape.h"

namespace rowmender {
namespace {

PlannedSalvage run_plan(std::string_view input, ByteArena arena, const SalvageOptions& options) {
  PlannedSalvage result{{}, std::move(arena), {}, {}};
  if (input.empty()) return result;  // whatever the options say
  // A file of short CR LF rows needs a piece per row; untouched room costs address space.
  result.arena.reserve_for_input();
  result.output.reserve(input.size() / 32 + 64);
  const TableShape shape = settle_shape(input, options);
  PlanSink sink(result.arena, result.output, result.quarantine, shape.delimiter, options.quote_char);
  sink.use_input(input);
  SalvageWalk walk(options, shape, sink, result.stats);
  walk.walk(input, true);
  finish_counts(result.stats);
  return result;
}

}  // namespace

PlannedSalvage plan_salvage(std::string_view input, const SalvageOptions& options) {
  return run_plan(input, ByteArena(input), options);
}

PlannedSalvage plan_salvage_over_input(char* input, std::size_t size, const SalvageOptions& options) {
  return run_plan(std::string_view(input, size), ByteArena::over_input(input, size), options);
}

}  // namespace rowmender
