#include "salvage/salvage_plan.h"

#include <optional>
#include <string>

#include "parser/plain_line.h"
#include "parser/resilient_parser.h"
#include "salvage/output_format.h"
#include "salvage/reconcile.h"

namespace rowmender {

namespace {

PlannedSalvage run_plan(std::string_view input, OutputPlan plan, const SalvageOptions& options) {
  PlannedSalvage result{{}, {}, std::move(plan)};
  SalvageStats& stats = result.stats;
  if (input.empty()) return result;  // whatever the options say
  result.output.reserve_for_input();

  const TableShape shape = settle_shape(input, options);
  stats.detected_delimiter = shape.delimiter;
  stats.inferred_columns = shape.width;

  RowReconciler reconciler(options, shape);
  const OutputSyntax syntax(shape.delimiter, options.quote_char);
  const bool match_rows = PlainLine::usable(shape.delimiter, options.quote_char);
  const char delimiter = static_cast<char>(shape.delimiter), quote = static_cast<char>(options.quote_char);
  PlainLine plain;
  ResilientParser parser(input, shape.delimiter, options.quote_char, options.repair_quotes);
  OutputPlan& output = result.output;
  RowTable row;  // the one row being settled
  std::string line;
  bool planned_line = false;

  while (true) {
    // The first line of the file is left to the writer, which spells a leading U+FEFF with
    // quotes so that it is not taken for a byte-order mark.
    if (match_rows && planned_line) {
      const std::size_t begin = parser.position();
      // A plain line whose quotes are all needed is its own output line.
      if (plain.read(input, begin, delimiter, quote) && plain.quotes_only_where_needed()) {
        const std::uint64_t fields = plain.field_count();
        const std::uint64_t width = shape.width == 0 ? fields : shape.width;
        if (fields == width || (fields < width && options.fill_ragged_rows)) {
          ++stats.total_rows;
          const std::size_t end = plain.line_end();
          parser.skip_row_ending_at(end);
          // Only the line end may differ. A CR LF becomes the LF of the pair, so the copy
          // runs on into the rows after it.
          const bool ends_in_lf = end < input.size() && input[end] == '\n';
          const bool ends_in_crlf = end + 1 < input.size() && input[end] == '\r' && input[end + 1] == '\n';
          if (fields == width && ends_in_lf) {
            output.copy_input(begin, end + 1);
            continue;
          }
          if (fields == width && ends_in_crlf) {
            output.copy_input(begin, end);
            output.copy_input(end + 1, end + 2);
            continue;
          }
          // A short row gets the delimiters of its empty fields; a lone CR or the input's
          // end becomes LF.
          output.copy_input(begin, end);
          line.assign(static_cast<std::size_t>(width - fields), delimiter);
          line.push_back('\n');
          if (fields != width) ++stats.repaired_rows;
          output.append_text(line, parser.position());
          continue;
        }
      }
    }

    row.clear();
    if (!parser.next_row(row)) break;
    if (!reconciler.reconcile_last_row(row, parser.line(), stats, result.quarantine)) continue;
    syntax.build_line(line, row[0], !planned_line);
    planned_line = true;
    output.append_text(line, parser.position());
  }
  stats.salvaged_rows = stats.total_rows - stats.quarantined_rows;
  return result;
}

}  // namespace

PlannedSalvage plan_salvage(std::string_view input, const SalvageOptions& options) {
  return run_plan(input, OutputPlan(input), options);
}

PlannedSalvage plan_salvage_over_input(char* input, std::size_t size, const SalvageOptions& options) {
  return run_plan(std::string_view(input, size), OutputPlan::over_input(input, size), options);
}

}  // namespace rowmender
