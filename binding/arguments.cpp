#include "binding/arguments.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace rowmender::binding {
namespace {

// Adds the note naming the parameter to the exception being raised. If that fails the
// original exception is raised without it.
void add_parameter_note(const char* param) {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr) {
    if (traceback != nullptr) PyException_SetTraceback(value, traceback);
    PyRef note(PyUnicode_FromFormat("while processing '%s'", param));
    PyRef result(note ? PyObject_CallMethod(value, "add_note", "O", note.get()) : nullptr);
    if (!result) PyErr_Clear();
  }
  PyErr_Restore(type, value, traceback);
}

bool fail_with_note(const char* param) {
  add_parameter_note(param);
  return false;
}

bool raise_wrong_type(PyObject* value, const char* expected, const char* param) {
  if (value == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
  } else {
    PyRef name(PyType_GetQualName(Py_TYPE(value)));
    if (name) PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(), expected);
  }
  return fail_with_note(param);
}

// The missing required parameters, quoted and joined the way the interpreter lists them:
// 'a', then 'a' and 'b', then 'a', 'b', and 'c'.
std::string missing_names(const Signature& signature, std::span<PyObject*> bound, std::size_t first,
                          std::size_t& count) {
  std::vector<std::string> names;
  for (std::size_t i = first; i < signature.required; ++i) {
    if (bound[i] == nullptr) names.push_back(std::string("'") + signature.params[i] + "'");
  }
  count = names.size();
  std::string joined;
  for (std::size_t i = 0; i < count; ++i) {
    if (i != 0) joined += count == 2 ? " and " : (i + 1 == count ? ", and " : ", ");
    joined += names[i];
  }
  return joined;
}

std::ptrdiff_t parameter_index(const Signature& signature, PyObject* keyword) {
  for (std::size_t i = 0; i < signature.params.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(keyword, signature.params[i]) == 0) return static_cast<std::ptrdiff_t>(i);
  }
  return -1;
}

bool bind_keyword(const Signature& signature, PyObject* keyword, PyObject* value, std::span<PyObject*> bound) {
  if (!PyUnicode_Check(keyword)) {
    PyErr_SetString(PyExc_TypeError, "keywords must be strings");
    return false;
  }
  const std::ptrdiff_t index = parameter_index(signature, keyword);
  if (index < 0) {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", signature.display_name, keyword);
    return false;
  }
  if (bound[static_cast<std::size_t>(index)] != nullptr) {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%S'", signature.display_name, keyword);
    return false;
  }
  bound[static_cast<std::size_t>(index)] = value;
  return true;
}

// The checks that follow keyword binding, in the interpreter's order: too many positional
// arguments, then missing required ones.
bool check_counts(const Signature& signature, Py_ssize_t nargs, std::span<PyObject*> bound) {
  const std::size_t given = static_cast<std::size_t>(nargs);
  const std::size_t total = signature.params.size();
  const std::size_t receivers = signature.receivers;
  if (given > total) {
    const bool has_defaults = signature.required < total;
    std::string accepted = has_defaults ? "from " + std::to_string(signature.required + receivers) + " to " +
                                              std::to_string(total + receivers)
                                        : std::to_string(total + receivers);
    const bool plural = has_defaults || total + receivers != 1;
    PyErr_Format(PyExc_TypeError, "%s() takes %s positional argument%s but %zu %s given", signature.display_name,
                 accepted.c_str(), plural ? "s" : "", given + receivers, given + receivers == 1 ? "was" : "were");
    return false;
  }
  std::size_t missing = 0;
  const std::string names = missing_names(signature, bound, given, missing);
  if (missing != 0) {
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", signature.display_name,
                 missing, missing == 1 ? "" : "s", names.c_str());
    return false;
  }
  return true;
}

}  // namespace

bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> bound) {
  std::fill(bound.begin(), bound.end(), nullptr);
  const std::size_t positional = std::min(static_cast<std::size_t>(nargs), signature.params.size());
  for (std::size_t i = 0; i < positional; ++i) bound[i] = args[i];
  if (kwnames != nullptr) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
      if (!bind_keyword(signature, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], bound)) return false;
    }
  }
  return check_counts(signature, nargs, bound);
}

bool bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, std::span<PyObject*> bound) {
  std::fill(bound.begin(), bound.end(), nullptr);
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  const std::size_t positional = std::min(static_cast<std::size_t>(nargs), signature.params.size());
  for (std::size_t i = 0; i < positional; ++i) bound[i] = PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(i));
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *keyword, *value;
    while (PyDict_Next(kwargs, &pos, &keyword, &value)) {
      if (!bind_keyword(signature, keyword, value, bound)) return false;
    }
  }
  return check_counts(signature, nargs, bound);
}

bool convert_text(PyObject* value, const char* param, std::string_view& out) {
  if (!PyUnicode_Check(value)) return raise_wrong_type(value, "str", param);
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
  if (utf8 == nullptr) return fail_with_note(param);  // e.g. a lone surrogate
  out = std::string_view(utf8, static_cast<std::size_t>(size));
  return true;
}

bool convert_optional_text(PyObject* value, const char* param, std::optional<std::string_view>& out) {
  if (value == Py_None) {
    out.reset();
    return true;
  }
  std::string_view text;
  if (!convert_text(value, param, text)) return false;
  out = text;
  return true;
}

bool convert_flag(PyObject* value, const char* param, bool& out) {
  if (value == Py_True || value == Py_False) {
    out = value == Py_True;
    return true;
  }
  // NumPy's boolean scalar, recognised by its type name so NumPy need not be imported.
  const char* type_name = Py_TYPE(value)->tp_name;
  if (std::strcmp(type_name, "numpy.bool_") == 0 || std::strcmp(type_name, "numpy.bool") == 0) {
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) return fail_with_note(param);
    out = truth != 0;
    return true;
  }
  return raise_wrong_type(value, "bool", param);
}

bool convert_optional_count(PyObject* value, const char* param, std::optional<std::uint64_t>& out) {
  if (value == Py_None) {
    out.reset();
    return true;
  }
  PyRef index(PyNumber_Index(value));
  if (!index) return fail_with_note(param);
  const unsigned long long count = PyLong_AsUnsignedLongLong(index.get());
  if (count == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return fail_with_note(param);
  out = static_cast<std::uint64_t>(count);
  return true;
}

}  // namespace rowmender::binding
