#pragma once
// _line_breaks: counts a chunk's line breaks and finds where given lines start, for the
// HTML report, which reads the original lines of the rows it shows back from the input.

#include "binding/py_ref.h"

namespace rowmender::binding {

PyMethodDef& line_breaks_definition();

}  // namespace rowmender::binding
