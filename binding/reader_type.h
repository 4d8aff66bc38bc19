#pragma once
// SalvageReader: salvages a file once at construction and hands out its kept rows.

#include "binding/py_ref.h"
#include "binding/salvage_options.h"

#include <string_view>

#include "salvage/records.h"

namespace rowmender::binding {

// The class object, created once per process on first need. Borrowed; nullptr on failure.
PyTypeObject* reader_type();

// Reads `path`, salvages it with `options` and returns a new reader of `type`; raises the
// OSError subclass that matches a file error.
PyObject* construct_reader(PyTypeObject* type, std::string_view path, const SalvageOptions& options);

// The parameters of the constructor and of open(), in order.
inline constexpr auto kReaderParams = with_salvage_option_params({"file_path"});

// Converts the seven bound values of the constructor or open() and builds the reader.
PyObject* reader_from_bound(PyTypeObject* type, PyObject* const (&bound)[7]);

}  // namespace rowmender::binding
