#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "salvage/output_plan.h"
#include "salvage/records.h"

namespace rowmender {

struct PlannedSalvage {
  SalvageStats stats;
  std::vector<QuarantineRecord> quarantine;
  OutputPlan output;
};

// Salvages a whole input held in memory as salvage_slice does, but instead of a table of
// rows it plans the repaired file: the bytes the plan writes are exactly what writing
// salvage_slice's rows would give. Rows that the file spells as the input does are planned
// as stretches of the input, unparsed and uncopied; the other kept rows as lines made by
// the writer. Never fails on any content. `input` must outlive the plan.
PlannedSalvage plan_salvage(std::string_view input, const SalvageOptions& options);
// The same plan, for the same bytes, laid out over the input itself as it is read: the
// input is overwritten and the plan refers to it, so it must outlive the plan.
PlannedSalvage plan_salvage_over_input(char* input, std::size_t size, const SalvageOptions& options);

}  // namespace rowmender
