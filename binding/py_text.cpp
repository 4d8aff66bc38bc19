#include "binding/py_text.h"

#include "parser/utf8.h"

namespace rowmender::binding {

PyObject* new_str(std::string_view utf8) {
  if (is_ascii(utf8)) return new_ascii_str(utf8);
  return PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "strict");
}

PyObject* new_char_str(std::uint8_t byte) { return PyUnicode_FromOrdinal(byte); }

}  // namespace rowmender::binding
