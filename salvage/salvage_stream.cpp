#include "salvage/salvage_stream.h"

#include <optional>
#include <string>

#include "parser/resilient_parser.h"
#include "salvage/output_format.h"
#include "salvage/reconcile.h"
#include "salvage/verbatim_row.h"

namespace rowmender {
namespace {

// Input bytes, line feeds included, that are already the output's bytes and wait to be
// written in one piece.
class PendingCopy {
 public:
  explicit PendingCopy(std::string_view input) noexcept : input_(input) {}

  // Adds [begin, end) to the run, which must end at `begin` for it to grow; otherwise the
  // run is written first and a new one starts.
  std::optional<SalvageError> add(std::size_t begin, std::size_t end, BufferedWriter& output) {
    if (begin != end_) {
      if (auto error = write_out(output)) return error;
      begin_ = begin;
    }
    end_ = end;
    return std::nullopt;
  }

  std::optional<SalvageError> write_out(BufferedWriter& output) {
    if (begin_ == end_) return std::nullopt;
    const std::string_view run = input_.substr(begin_, end_ - begin_);
    begin_ = end_;
    return output.write(run);
  }

 private:
  std::string_view input_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
};

}  // namespace

Expected<StreamedSalvage, SalvageError> salvage_into(std::string_view input, const SalvageOptions& options,
                                                     BufferedWriter& output) {
  StreamedSalvage result;
  SalvageStats& stats = result.stats;
  if (input.empty()) return result;  // whatever the options say

  const TableShape shape = settle_shape(input, options);
  stats.detected_delimiter = shape.delimiter;
  stats.inferred_columns = shape.width;

  RowReconciler reconciler(options, shape);
  const OutputSyntax syntax(shape.delimiter, options.quote_char);
  const bool match_rows = VerbatimRowMatcher::usable(shape.delimiter, options.quote_char);
  const VerbatimRowMatcher matcher(shape.delimiter, options.quote_char);
  ResilientParser parser(input, shape.delimiter, options.quote_char, options.repair_quotes);
  PendingCopy pending(input);
  RowTable row;  // the one row being settled
  std::string line;
  bool wrote_line = false;

  while (true) {
    // The first line written is left to the writer, which spells a leading U+FEFF with
    // quotes so that it is not taken for a byte-order mark.
    if (match_rows && wrote_line) {
      const std::size_t begin = parser.position();
      if (const std::optional<VerbatimRow> match = matcher.match(input, begin)) {
        const std::uint64_t width = shape.width == 0 ? match->fields : shape.width;
        if (match->fields == width || (match->fields < width && options.fill_ragged_rows)) {
          ++stats.total_rows;
          parser.skip_row_ending_at(match->line_end);
          const bool ends_in_lf = match->line_end < input.size() && input[match->line_end] == '\n';
          if (match->fields == width && ends_in_lf) {
            if (auto error = pending.add(begin, match->line_end + 1, output)) return *std::move(error);
            continue;
          }
          // A short row gets the delimiters of its empty fields; a CR or CR LF becomes LF.
          line.assign(input, begin, match->line_end - begin);
          line.append(static_cast<std::size_t>(width - match->fields), static_cast<char>(shape.delimiter));
          line.push_back('\n');
          if (match->fields != width) ++stats.repaired_rows;
          if (auto error = pending.write_out(output)) return *std::move(error);
          if (auto error = output.write(line)) return *std::move(error);
          continue;
        }
      }
    }

    row.clear();
    if (!parser.next_row(row)) break;
    if (!reconciler.reconcile_last_row(row, parser.line(), stats, result.quarantine)) continue;
    syntax.build_line(line, row[0], !wrote_line);
    wrote_line = true;
    if (auto error = pending.write_out(output)) return *std::move(error);
    if (auto error = output.write(line)) return *std::move(error);
  }
  if (auto error = pending.write_out(output)) return *std::move(error);
  stats.salvaged_rows = stats.total_rows - stats.quarantined_rows;
  return result;
}

}  // namespace rowmender
