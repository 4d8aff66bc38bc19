#pragma once
// SalvageReader: salvages a file once at construction and hands out its kept rows.

#include "binding/py_ref.h"

#include <string_view>

#include "salvage/records.h"

namespace rowmender::binding {

// The class object, created once per process on first need. Borrowed; nullptr on failure.
PyTypeObject* reader_type();

// Reads `path`, salvages it with `options` and returns a new reader of `type`; raises the
// OSError subclass that matches a file error.
PyObject* construct_reader(PyTypeObject* type, std::string_view path, const SalvageOptions& options);

// The parameters of the constructor and of open(), in order.
inline constexpr const char* kReaderParams[] = {
    "file_path", "delimiter", "quote_char", "fill_ragged_rows", "merge_overflow", "expected_columns", "repair_quotes"};

// Converts the seven bound values of the constructor or open() and builds the reader.
PyObject* reader_from_bound(PyTypeObject* type, PyObject* const (&bound)[7]);

}  // namespace rowmender::binding
