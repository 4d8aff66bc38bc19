#pragma once

#include <string_view>
#include <vector>

#include "error/expected.h"
#include "error/salvage_error.h"
#include "salvage/buffered_writer.h"
#include "salvage/records.h"

namespace rowmender {

struct StreamedSalvage {
  SalvageStats stats;
  std::vector<QuarantineRecord> quarantine;
};

// Salvages a whole input held in memory as salvage_slice does, but writes each kept row's
// line to `output` as soon as the row is settled instead of keeping a table of rows: the
// bytes written are exactly what writing salvage_slice's rows would give. Rows that the
// output spells as the input does are copied straight from the input, unparsed. Fails only
// when writing fails; `output` is not flushed.
Expected<StreamedSalvage, SalvageError> salvage_into(std::string_view input, const SalvageOptions& options,
                                                     BufferedWriter& output);

}  // namespace rowmender
