#include "binding/salvage_options.h"

#include <algorithm>
#include <bit>
#include <optional>
#include <string>
#include <string_view>

#include "binding/arguments.h"
#include "heuristics/structure_inference.h"

namespace rowmender::binding {
namespace {

constexpr std::size_t kDelimiter = 0, kQuoteChar = 1, kFill = 2, kMerge = 3, kExpectedColumns = 4, kCleanup = 6,
                      kEscapeChar = 7;

bool raise_type(const char* param, const char* expected, PyObject* value) {
  PyRef name(PyType_GetQualName(Py_TYPE(value)));
  if (name) PyErr_Format(PyExc_TypeError, "%s must be %s, not %U: %R", param, expected, name.get(), value);
  return false;
}

// One ASCII character other than a line break; the byte it is.
bool strict_character(PyObject* value, const char* param, const char* expected, std::uint8_t& out) {
  if (!PyUnicode_Check(value)) return raise_type(param, expected, value);
  if (PyUnicode_GET_LENGTH(value) != 1 || PyUnicode_READ_CHAR(value, 0) >= 0x80) {
    PyErr_Format(PyExc_ValueError, "%s must be exactly one ASCII character, got %R", param, value);
    return false;
  }
  const Py_UCS4 c = PyUnicode_READ_CHAR(value, 0);
  if (c == '\r' || c == '\n') {
    PyErr_Format(PyExc_ValueError, "%s cannot be a line break, got %R", param, value);
    return false;
  }
  out = static_cast<std::uint8_t>(c);
  return true;
}

bool strict_flag(PyObject* value, const char* param, bool& out) {
  // The lenient rule already takes only True, False and NumPy's boolean scalar; its
  // message is reworded so that every strict error names the setting first.
  if (convert_flag(value, param, out)) return true;
  PyErr_Clear();
  return raise_type(param, "a bool (True or False)", value);
}

bool strict_columns(PyObject* value, const char* param, std::optional<std::uint64_t>& out) {
  if (value == Py_None) {
    out.reset();
    return true;
  }
  // A bool is an int to Python, but expected_columns=True is always a slip.
  if (PyBool_Check(value) || !PyIndex_Check(value)) return raise_type(param, "an int or None", value);
  PyRef index(PyNumber_Index(value));
  if (!index) return false;
  int overflow = 0;
  const long long count = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (count == -1 && PyErr_Occurred()) return false;
  if (overflow < 0 || (overflow == 0 && count < 0)) {
    PyErr_Format(PyExc_ValueError, "%s cannot be negative, got %R", param, index.get());
    return false;
  }
  if (overflow > 0 || static_cast<unsigned long long>(count) > kMaxExpectedColumns) {
    static_assert(kMaxExpectedColumns == 10'000'000, "the message spells the bound");
    PyErr_Format(PyExc_ValueError, "%s must be at most 10,000,000 (a mistyped number?), got %R", param, index.get());
    return false;
  }
  out = static_cast<std::uint64_t>(count);
  return true;
}

bool unknown_rule(PyObject* name) {
  std::string known;
  for (std::string_view rule : kCleanupNames) {
    known += known.empty() ? "" : ", ";
    known += rule;
  }
  PyErr_Format(PyExc_ValueError, "cleanup has no rule %R (the rules: %s)", name, known.c_str());
  return false;
}

// True or False, or the names of the rules to run: a str is refused rather than read as
// the collection of its letters.
bool strict_cleanup(PyObject* value, const char* param, CleanupRules& out) {
  if (PyBool_Check(value)) {
    out = CleanupRules(value == Py_True ? CleanupRules::kAll : 0);
    return true;
  }
  if (PyUnicode_Check(value) || PyBytes_Check(value) || PyByteArray_Check(value)) {
    return raise_type(param, "a bool or a collection of rule names", value);
  }
  PyRef iterator(PyObject_GetIter(value));
  if (!iterator) {
    PyErr_Clear();
    return raise_type(param, "a bool or a collection of rule names", value);
  }
  std::uint16_t bits = 0;
  while (PyRef item{PyIter_Next(iterator.get())}) {
    if (!PyUnicode_Check(item.get())) return raise_type("each cleanup rule", "a str", item.get());
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(item.get(), &size);
    if (text == nullptr) return false;
    const std::string_view name(text, static_cast<std::size_t>(size));
    const auto* found = std::find(kCleanupNames.begin(), kCleanupNames.end(), name);
    if (found == kCleanupNames.end()) return unknown_rule(item.get());
    bits |= static_cast<std::uint16_t>(1u << (found - kCleanupNames.begin()));
  }
  if (PyErr_Occurred()) return false;
  out = CleanupRules(bits);
  return true;
}

bool convert_strictly(std::span<PyObject* const, kStreamSettingCount> values, SalvageOptions& options) {
  SalvageOptions converted;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* value = values[i];
    const char* param = kStreamSettingParams[i];
    if (value == nullptr) continue;
    bool ok = true;
    if (i == kDelimiter) {
      std::uint8_t byte = 0;
      ok = value == Py_None || strict_character(value, param, "a str or None", byte);
      if (value != Py_None) converted.delimiter = byte;
    } else if (i == kQuoteChar) {
      // None reads quotes as text; the output goes on quoting with the double quote.
      converted.dialect.quoting = value != Py_None;
      ok = value == Py_None || strict_character(value, param, "a str or None", converted.quote_char);
    } else if (i == kEscapeChar) {
      std::uint8_t byte = 0;
      ok = value == Py_None || strict_character(value, param, "a str or None", byte);
      if (value != Py_None) converted.dialect.escape = byte;
    } else if (i == kExpectedColumns) {
      ok = strict_columns(value, param, converted.expected_columns);
    } else if (i == kCleanup) {
      ok = strict_cleanup(value, param, converted.cleanup);
    } else {
      bool& flag = i == kFill    ? converted.fill_ragged_rows
                   : i == kMerge ? converted.merge_overflow
                                 : converted.repair_quotes;
      ok = strict_flag(value, param, flag);
    }
    if (!ok) return false;
  }
  if (!converted.dialect.quoting && converted.delimiter == converted.quote_char) {
    PyErr_Format(PyExc_ValueError, "delimiter cannot be '\"' (the output quotes with it), got %R", values[kDelimiter]);
    return false;
  }
  if (converted.dialect.escape && (converted.dialect.escape == converted.delimiter ||
                                   (converted.dialect.quoting && converted.dialect.escape == converted.quote_char))) {
    PyErr_Format(PyExc_ValueError, "escape_char cannot be the %s, got %R",
                 converted.dialect.escape == converted.delimiter ? "delimiter" : "quote_char", values[kEscapeChar]);
    return false;
  }
  // Detection could choose the escape as the delimiter, and every field end would then be
  // escaped away: the escape of a file of those delimiters comes with its delimiter.
  if (converted.dialect.escape && !converted.delimiter &&
      std::ranges::find(CANDIDATE_DELIMITERS, *converted.dialect.escape) != CANDIDATE_DELIMITERS.end()) {
    PyErr_Format(PyExc_ValueError, "escape_char %R could be detected as the delimiter: give delimiter too",
                 values[kEscapeChar]);
    return false;
  }
  if (converted.delimiter == converted.quote_char) {
    PyErr_Format(PyExc_ValueError, "delimiter and quote_char cannot be the same character, got %R for both",
                 values[kQuoteChar] != nullptr ? values[kQuoteChar] : values[kDelimiter]);
    return false;
  }
  options = converted;
  return true;
}

PyObject* cleanup_names(CleanupRules rules) {
  PyRef names(PyTuple_New(std::popcount(rules.bits())));
  if (!names) return nullptr;
  Py_ssize_t at = 0;
  for (std::size_t i = 0; i < kCleanupNames.size(); ++i) {
    if ((rules.bits() >> i & 1) == 0) continue;
    PyObject* name =
        PyUnicode_FromStringAndSize(kCleanupNames[i].data(), static_cast<Py_ssize_t>(kCleanupNames[i].size()));
    if (name == nullptr) return nullptr;
    PyTuple_SET_ITEM(names.get(), at++, name);
  }
  return names.release();
}

bool convert_leniently(std::span<PyObject* const, 6> values, SalvageOptions& options) {
  std::optional<std::string_view> delimiter;
  std::string_view quote_char = "\"";
  bool fill_ragged_rows = true, merge_overflow = true, repair_quotes = true;
  std::optional<std::uint64_t> expected_columns;

  if (values[0] && !convert_optional_text(values[0], kSalvageOptionParams[0], delimiter)) return false;
  if (values[1] && !convert_text(values[1], kSalvageOptionParams[1], quote_char)) return false;
  if (values[2] && !convert_flag(values[2], kSalvageOptionParams[2], fill_ragged_rows)) return false;
  if (values[3] && !convert_flag(values[3], kSalvageOptionParams[3], merge_overflow)) return false;
  if (values[4] && !convert_optional_count(values[4], kSalvageOptionParams[4], expected_columns)) return false;
  if (values[5] && !convert_flag(values[5], kSalvageOptionParams[5], repair_quotes)) return false;

  options = SalvageOptions{};
  if (delimiter && !delimiter->empty()) options.delimiter = static_cast<std::uint8_t>((*delimiter)[0]);
  options.quote_char = quote_char.empty() ? std::uint8_t{'"'} : static_cast<std::uint8_t>(quote_char[0]);
  options.fill_ragged_rows = fill_ragged_rows;
  options.merge_overflow = merge_overflow;
  options.expected_columns = expected_columns;
  options.repair_quotes = repair_quotes;
  return true;
}

PyObject* new_character(std::uint8_t byte) { return PyUnicode_FromOrdinal(byte); }

// The settings as the dict _check_settings hands back: the values as given, every name
// present, so that the engine's conversion of them gives the same options again.
PyObject* settings_dict(const SalvageOptions& options) {
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  PyObject* values[kStreamSettingCount] = {
      options.delimiter ? new_character(*options.delimiter) : Py_NewRef(Py_None),
      options.dialect.quoting ? new_character(options.quote_char) : Py_NewRef(Py_None),
      PyBool_FromLong(options.fill_ragged_rows),
      PyBool_FromLong(options.merge_overflow),
      options.expected_columns ? PyLong_FromUnsignedLongLong(*options.expected_columns) : Py_NewRef(Py_None),
      PyBool_FromLong(options.repair_quotes),
      cleanup_names(options.cleanup),
      options.dialect.escape ? new_character(*options.dialect.escape) : Py_NewRef(Py_None),
  };
  bool ok = true;
  for (std::size_t i = 0; i < kStreamSettingCount; ++i) {
    PyRef value(values[i]);
    ok = ok && value && PyDict_SetItemString(dict.get(), kStreamSettingParams[i], value.get()) == 0;
  }
  return ok ? dict.release() : nullptr;
}

constexpr Signature kSettingsSignature{"_check_settings", kStreamSettingParams, 0};

PyObject* check_settings(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[kStreamSettingCount];
  if (!bind_arguments(kSettingsSignature, args, nargs, kwnames, bound)) return nullptr;
  SalvageOptions options;
  if (!convert_strictly(bound, options)) return nullptr;
  return settings_dict(options);
}

PyMethodDef definition = {
    "_check_settings", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(check_settings)),
    METH_FASTCALL | METH_KEYWORDS,
    "_check_settings(delimiter=None, quote_char='\"', fill_ragged_rows=True, merge_overflow=True, "
    "expected_columns=None, repair_quotes=True, cleanup=False, escape_char=None)\n--\n\n"
    "Checks the settings of the streaming functions strictly; returns them as a dict."};

}  // namespace

bool convert_salvage_options(std::span<PyObject* const, 6> values, SalvageOptions& options) {
  return convert_leniently(values, options);
}

bool convert_settings_mapping(PyObject* settings, SalvageOptions& options) {
  if (!PyDict_Check(settings)) return raise_type("settings", "a dict", settings);
  PyRef no_arguments(PyTuple_New(0));
  if (!no_arguments) return false;
  PyObject* bound[kStreamSettingCount];
  if (!bind_arguments(kSettingsSignature, no_arguments.get(), settings, bound)) return false;
  return convert_strictly(bound, options);
}

PyMethodDef& check_settings_definition() { return definition; }

int add_settings_names(PyObject* module) {
  PyRef settings(PyTuple_New(kStreamSettingCount));
  if (!settings) return -1;
  for (std::size_t i = 0; i < kStreamSettingCount; ++i) {
    PyObject* name = PyUnicode_FromString(kStreamSettingParams[i]);
    if (name == nullptr) return -1;
    PyTuple_SET_ITEM(settings.get(), static_cast<Py_ssize_t>(i), name);
  }
  PyRef rules(cleanup_names(CleanupRules(CleanupRules::kAll)));
  if (!rules || PyModule_AddObjectRef(module, "_STREAM_SETTINGS", settings.get()) < 0) return -1;
  return PyModule_AddObjectRef(module, "_CLEANUP_RULES", rules.get());
}

}  // namespace rowmender::binding
