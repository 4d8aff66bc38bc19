#pragma once
// SalvageSummary: an immutable snapshot of one pass's counts.

#include "binding/py_ref.h"

#include <cstdint>
#include <string>

#include "salvage/records.h"

namespace rowmender::binding {

struct SummaryPayload {
  std::uint64_t total_rows = 0;
  std::uint64_t salvaged_rows = 0;
  std::uint64_t repaired_rows = 0;
  std::uint64_t quarantined_rows = 0;
  std::string detected_delimiter;  // UTF-8, one character
  std::uint64_t inferred_columns = 0;

  static SummaryPayload from_stats(const SalvageStats& stats);
};

// The class object, created once per process on first need. Borrowed; nullptr on failure.
PyTypeObject* summary_type();

// A new SalvageSummary holding a copy of `payload`.
PyObject* new_summary(const SummaryPayload& payload);

}  // namespace rowmender::binding
