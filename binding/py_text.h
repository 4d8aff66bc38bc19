#pragma once
// Python str objects from the engine's UTF-8 texts.

#include "binding/py_ref.h"

#include <cstdint>
#include <string_view>

namespace rowmender::binding {

// A new str from valid UTF-8. All-ASCII text is copied straight into the new object.
PyObject* new_str(std::string_view utf8);

// A new one-character str whose code point equals `byte`.
PyObject* new_char_str(std::uint8_t byte);

}  // namespace rowmender::binding
