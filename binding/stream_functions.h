#pragma once
// The streaming road, for the Python package: _repair and the _RowStream type. Underscore
// names: the package's rowmender.repair and rowmender.rows are the public face.

#include "binding/py_ref.h"

namespace rowmender::binding {

PyMethodDef& repair_definition();
// The class object, created once per process on first need. Borrowed; nullptr on failure.
PyTypeObject* row_stream_type();

}  // namespace rowmender::binding
