#include "salvage/salvage_file.h"

#include <sys/stat.h>

#include <string>

#include "io/buffered_writer.h"
#include "io/file_io.h"
#include "salvage/output_format.h"
#include "salvage/salvage_plan.h"

namespace rowmender {
namespace {

// True when `path` exists and is the very regular file open as `file`, however the path is
// spelled. Creating the quarantine file there would truncate that file: the input, or the
// repaired output. Devices such as /dev/null keep nothing, so naming one twice is allowed.
bool names_open_file(std::string_view path, const FileDescriptor& file) {
  if (path.find('\0') != std::string_view::npos) return false;
  struct stat named {
  }, open{};
  if (::stat(std::string(path).c_str(), &named) != 0 || ::fstat(file.get(), &open) != 0) return false;
  return S_ISREG(open.st_mode) && named.st_dev == open.st_dev && named.st_ino == open.st_ino;
}

[[nodiscard]] std::optional<SalvageError> write_quarantine(std::string_view path, const PlannedSalvage& outcome,
                                                           const InterruptCheck& on_interrupt) {
  auto file = create_for_writing(path, on_interrupt);
  if (!file) return std::move(file).error();
  BufferedWriter writer(file.value().get(), on_interrupt);
  if (auto error = writer.write(kQuarantineHeader)) return error;
  if (auto error = write_quarantine_lines(writer, outcome.quarantine, outcome.arena, outcome.stats.inferred_columns)) {
    return error;
  }
  return writer.flush();
}

}  // namespace

Expected<SalvageStats, SalvageError> salvage_file(std::string_view input_path, std::string_view output_path,
                                                  std::optional<std::string_view> quarantine_path,
                                                  const SalvageOptions& options, const InterruptCheck& on_interrupt) {
  auto input_file = open_for_reading(input_path, on_interrupt);
  if (!input_file) return std::move(input_file).error();
  // The input is read whole before the output is created, so an output that names the
  // input repairs it in place; a quarantine file there would replace it with the quarantine.
  if (quarantine_path && names_open_file(*quarantine_path, input_file.value())) {
    return SalvageError::with_text("quarantine_path names the same file as input_path");
  }
  auto content = read_to_end(input_file.value(), on_interrupt);
  if (!content) return std::move(content).error();
  // The input is needed only until the plan is written, and the plan is laid out over it.
  const std::size_t size = content.value().size();
  const ByteBuffer input = content.value().release();
  const PlannedSalvage outcome = plan_salvage_over_input(input.data(), size, options);

  auto output_file = create_for_writing(output_path, on_interrupt);
  if (!output_file) return std::move(output_file).error();
  {
    BufferedWriter writer(output_file.value().get(), on_interrupt);
    if (auto error = outcome.output.write_to(writer, outcome.arena)) return *std::move(error);
    if (auto error = writer.flush()) return *std::move(error);
  }

  if (quarantine_path) {
    if (names_open_file(*quarantine_path, output_file.value())) {
      return SalvageError::with_text("quarantine_path names the same file as output_path");
    }
    if (auto error = write_quarantine(*quarantine_path, outcome, on_interrupt)) return *std::move(error);
  }
  return outcome.stats;
}

}  // namespace rowmender
