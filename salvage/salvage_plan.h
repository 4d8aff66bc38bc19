#pragma once

#include <cstddef>
#include <string_view>

#include "salvage/byte_arena.h"
#include "salvage/output_plan.h"
#include "salvage/quarantine_list.h"
#include "salvage/records.h"

namespace rowmender {

struct PlannedSalvage {
  SalvageStats stats;
  ByteArena arena;  // where the bytes of the output and of the quarantined rows lie
  OutputPlan output;
  QuarantineList quarantine;
};

// Salvages a whole input held in memory as salvage_slice does, but instead of a table of
// rows it plans the repaired file: the bytes the plan writes are exactly what writing
// salvage_slice's rows would give. Never fails on any content. `input` must outlive the
// plan.
PlannedSalvage plan_salvage(std::string_view input, const SalvageOptions& options);
// The same plan, for the same bytes, laid out over the input itself as it is read: the
// input is overwritten and the plan refers to it, so it must outlive the plan.
PlannedSalvage plan_salvage_over_input(char* input, std::size_t size, const SalvageOptions& options);

}  // namespace rowmender
