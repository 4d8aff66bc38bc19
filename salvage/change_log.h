#pragma once
// The account of what a pass changed: counts of the rows each kind of change touched and,
// when a sink is given, the change log, a CSV file with one line per change:
//   first_line,last_line,change,detail
// in input order (a row with two changes has two lines), lines 1-based and inclusive.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "error/salvage_error.h"
#include "io/buffered_writer.h"
#include "io/byte_stream.h"
#include "salvage/row_change.h"

namespace rowmender {

inline constexpr std::string_view kChangeLogHeader = "first_line,last_line,change,detail\n";

struct ChangeCounts {
  std::uint64_t filled_rows = 0;
  std::uint64_t merged_rows = 0;
  std::uint64_t quarantined_rows = 0;
  std::uint64_t rows_with_stray_quotes = 0;
  std::uint64_t rows_with_text_after_quote = 0;
  std::uint64_t rows_with_quotes_in_unquoted_fields = 0;
  std::uint64_t rows_with_replaced_bytes = 0;
  std::uint64_t replaced_sequences = 0;
  std::uint64_t multiline_rows = 0;
  std::optional<std::uint64_t> unterminated_quote_line;
  // The cleanup rules' changes.
  std::uint64_t blank_lines = 0;  // dropped
  std::uint64_t preamble_rows = 0;
  std::uint64_t footer_rows = 0;
  std::uint64_t repeated_headers = 0;
  std::uint64_t garbage_rows = 0;
  std::uint64_t cut_off_rows = 0;
  std::uint64_t rows_with_control_bytes = 0;
  std::uint64_t control_bytes = 0;
  std::uint64_t trimmed_rows = 0;     // rows whose empty last column was dropped
  std::uint64_t transcoded_rows = 0;  // read in the file's other encoding (UTF-8 in a decoded file)
  std::uint64_t new_sections = 0;     // headers of another table set aside
  std::uint64_t matched_rows = 0;     // rows below one, matched to the first header by name
  // The first line that starts another table whose columns the first header lacks.
  std::optional<std::uint64_t> other_table_line;
};

// Told of each line of the change log as it is made, whether or not the log is written.
class ChangeRecorder {
 public:
  virtual ~ChangeRecorder() = default;
  // `begin` and `end`: where the row's bytes lie in the input, its line break included.
  virtual void record(std::uint64_t first_line, std::uint64_t last_line, std::string_view kind, std::string_view detail,
                      std::uint64_t begin, std::uint64_t end) = 0;
};

class ChangeLog final : public ChangeObserver {
 public:
  // Counts only without a sink or a recorder. `decoded` says the input was decoded from
  // another encoding first: replaced bytes are then bytes the decoder could not read, and
  // rows transcoded are rows of UTF-8 among it.
  explicit ChangeLog(ByteSink* sink = nullptr, bool decoded = false, ChangeRecorder* recorder = nullptr);

  void on_change(const RowChange& change) override;
  [[nodiscard]] std::optional<SalvageError> flush() override;

  const ChangeCounts& counts() const noexcept { return counts_; }

 private:
  void write_line(const RowChange& change, std::string_view name, std::string_view detail);

  ChangeCounts counts_;
  std::optional<BufferedWriter> writer_;
  ChangeRecorder* recorder_;
  bool decoded_;
  std::string line_;
  std::string detail_;
  std::optional<SalvageError> error_;
};

}  // namespace rowmender
