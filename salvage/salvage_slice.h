#pragma once

#include <cstddef>
#include <string_view>

#include "memory/byte_buffer.h"
#include "parser/row_table.h"
#include "salvage/byte_arena.h"
#include "salvage/quarantine_list.h"
#include "salvage/records.h"

namespace rowmender {

struct SalvageOutcome {
  RowTable rows;               // the kept rows, reconciled to the width
  QuarantineList quarantine;   // the rows set aside...
  ByteArena quarantined_text;  // ...whose raw content lies here
  SalvageStats stats;
};

// Salvages a whole input held in memory: settles the delimiter and the width (from the
// options or by inference), parses every row once and reconciles it to the width by
// filling, merging or quarantining. Never fails on any content.
SalvageOutcome salvage_slice(std::string_view input, const SalvageOptions& options);

// The same pass over the first `size` bytes of `buffer`, writing the rows' text over the
// input as it is consumed instead of into memory of its own: the rows own the buffer. Used
// by the reader, which needs neither the input afterwards nor the quarantined rows: they
// are counted and dropped. Rows and counts are salvage_slice's.
SalvageOutcome salvage_buffer(ByteBuffer buffer, std::size_t size, const SalvageOptions& options);

}  // namespace rowmender
