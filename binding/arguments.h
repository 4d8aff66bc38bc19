#pragma once
// How every callable of the module takes its arguments: all parameters positional-or-
// keyword, binding errors in the interpreter's own wording, and one converter per declared
// kind. A conversion error keeps its type and message and gains the note
// "while processing '<parameter>'".

#include "binding/py_ref.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace rowmender::binding {

struct Signature {
  const char* display_name;             // as the interpreter would name it: "sniff", "SalvageReader.__new__"
  std::span<const char* const> params;  // parameter names, in order
  std::size_t required;                 // how many leading parameters have no default
  std::size_t receivers = 0;            // 1 where a def would count self or cls in its messages
};

// Binds fast-call arguments into `bound` (one slot per parameter; nullptr where the default
// applies). Returns false with TypeError set on a binding error.
bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> bound);
// The same for a tuple and an optional dict, as a type's constructor receives them.
bool bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, std::span<PyObject*> bound);

// Converters. Each returns false with the exception set and the note added. A missing
// (nullptr) value is never passed: callers apply their defaults first.
// text: str or a subclass, as its UTF-8 bytes (owned by the str object).
bool convert_text(PyObject* value, const char* param, std::string_view& out);
// optional text: None, or text.
bool convert_optional_text(PyObject* value, const char* param, std::optional<std::string_view>& out);
// flag: exactly True or False, or a NumPy boolean scalar.
bool convert_flag(PyObject* value, const char* param, bool& out);
// optional count: None, or anything with __index__ that fits in 64 unsigned bits.
bool convert_optional_count(PyObject* value, const char* param, std::optional<std::uint64_t>& out);

}  // namespace rowmender::binding
