#include "binding/functions.h"

#include <optional>
#include <span>
#include <string_view>

#include "binding/arguments.h"
#include "binding/exceptions.h"
#include "binding/py_text.h"
#include "binding/reader_type.h"
#include "binding/salvage_options.h"
#include "binding/signal_check.h"
#include "binding/summary_type.h"
#include "heuristics/structure_inference.h"
#include "salvage/salvage_file.h"

namespace rowmender::binding {
namespace {

PyObject* sniff(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* params[] = {"sample"};
  static constexpr Signature signature{"sniff", params, 1};
  PyObject* bound[1];
  if (!bind_arguments(signature, args, nargs, kwnames, bound)) return nullptr;
  std::string_view sample;
  if (!convert_text(bound[0], params[0], sample)) return nullptr;
  // The str's own UTF-8 buffer is parsed in place; the default quoting rules apply.
  return call_guarded([&]() -> PyObject* { return new_char_str(sniff_delimiter(sample)); },
                      static_cast<PyObject*>(nullptr));
}

PyObject* salvage_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr auto params = with_salvage_option_params({"input_path", "output_path", "quarantine_path"});
  static constexpr Signature signature{"salvage_file", params, 2};
  PyObject* bound[9];
  if (!bind_arguments(signature, args, nargs, kwnames, bound)) return nullptr;
  std::string_view input_path, output_path;
  std::optional<std::string_view> quarantine_path;
  SalvageOptions options;
  if (!convert_text(bound[0], params[0], input_path)) return nullptr;
  if (!convert_text(bound[1], params[1], output_path)) return nullptr;
  if (bound[2] && !convert_optional_text(bound[2], params[2], quarantine_path)) return nullptr;
  if (!convert_salvage_options(std::span<PyObject* const, 6>(bound + 3, 6), options)) return nullptr;

  return call_guarded(
      [&]() -> PyObject* {
        auto result = rowmender::salvage_file(input_path, output_path, quarantine_path, options,
                                              run_signal_handlers_on_interrupt());
        if (!result) {
          raise_salvage_error(result.error());
          return nullptr;
        }
        return new_summary(SummaryPayload::from_stats(result.value()));
      },
      static_cast<PyObject*>(nullptr));
}

PyObject* open(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Signature signature{"open", kReaderParams, 1};
  PyObject* bound[7];
  if (!bind_arguments(signature, args, nargs, kwnames, bound)) return nullptr;
  PyTypeObject* type = reader_type();
  if (type == nullptr) return nullptr;
  return reader_from_bound(type, bound);
}

template <typename Function>
PyCFunction as_cfunction(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef definitions[] = {
    {"salvage_file", as_cfunction(salvage_file), METH_FASTCALL | METH_KEYWORDS,
     "salvage_file(input_path, output_path, quarantine_path=None, delimiter=None, quote_char=\"\\\"\", "
     "fill_ragged_rows=True, merge_overflow=True, expected_columns=None, repair_quotes=True)\n--\n\n"
     "Salvages a corrupted CSV file and writes a clean, standard RFC-4180 file.\n"
     "\n"
     "Args:\n"
     "    input_path: Path to the corrupted CSV file.\n"
     "    output_path: Path where the repaired CSV file will be written.\n"
     "    quarantine_path: Optional path to write unrecoverable / quarantined rows.\n"
     "    delimiter: Optional single-character delimiter (e.g. \",\" or \";\"). If None, auto-sniffed.\n"
     "    quote_char: Optional single-character quote enclosure (default '\"').\n"
     "    fill_ragged_rows: If True, pads short rows with empty strings. Default True.\n"
     "    merge_overflow: If True, merges extra tokens into the last column. Default True.\n"
     "    expected_columns: Optional explicit column count. If None, inferred automatically.\n"
     "    repair_quotes: If True, disambiguates and repairs stray internal quotes. Default True."},
    {"sniff", as_cfunction(sniff), METH_FASTCALL | METH_KEYWORDS,
     "sniff(sample)\n--\n\nDetects the most likely delimiter from a CSV string sample."},
    {"open", as_cfunction(open), METH_FASTCALL | METH_KEYWORDS,
     "open(file_path, delimiter=None, quote_char=\"\\\"\", fill_ragged_rows=True, merge_overflow=True, "
     "expected_columns=None, repair_quotes=True)\n--\n\n"
     "Convenience function to open and stream a salvaged CSV file."},
};

}  // namespace

PyMethodDef& salvage_file_definition() { return definitions[0]; }
PyMethodDef& sniff_definition() { return definitions[1]; }
PyMethodDef& open_definition() { return definitions[2]; }

}  // namespace rowmender::binding
