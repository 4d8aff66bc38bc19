#pragma once

#include <optional>
#include <string_view>

#include "error/expected.h"
#include "error/salvage_error.h"
#include "io/interrupt_check.h"
#include "salvage/records.h"

namespace rowmender {

// Repairs a file on disk: reads the input whole, salvages it, and only then creates the
// output file and writes the kept rows; then, if a path is given, the quarantine file.
// Nothing written is removed after a failure. A quarantine path that names the input fails
// before anything is written. `on_interrupt` is asked whenever an open, read or write is
// interrupted by a signal.
[[nodiscard]] Expected<SalvageStats, SalvageError> salvage_file(std::string_view input_path,
                                                                std::string_view output_path,
                                                                std::optional<std::string_view> quarantine_path,
                                                                const SalvageOptions& options,
                                                                const InterruptCheck& on_interrupt = {});

}  // namespace rowmender
