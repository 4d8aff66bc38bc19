#pragma once
// Python str objects from the engine's UTF-8 texts.

#include "binding/py_ref.h"

#include <cstdint>
#include <cstring>
#include <string_view>

#include "parser/row_table.h"

namespace rowmender::binding {

// A new str from valid UTF-8. All-ASCII text is copied straight into the new object.
PyObject* new_str(std::string_view utf8);

// A new str from text already known to be ASCII: no decoding, one copy.
inline PyObject* new_ascii_str(std::string_view ascii) {
  PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(ascii.size()), 127);
  if (str != nullptr) std::memcpy(PyUnicode_1BYTE_DATA(str), ascii.data(), ascii.size());
  return str;
}

// Told, now and then while a long row is made into a list, how many of its first fields are
// done: their text is not read again.
struct FieldsDone {
  void (*call)(void* context, std::size_t fields) = nullptr;
  void* context = nullptr;
};

// A new list holding a new str for each field of `row`.
PyObject* new_row_list(const RowView& row, FieldsDone done = {});

// A new one-character str whose code point equals `byte`.
PyObject* new_char_str(std::uint8_t byte);

}  // namespace rowmender::binding
