#pragma once
// The module's functions: salvage_file, sniff and open.

#include "binding/py_ref.h"

namespace rowmender::binding {

// Their definitions, in the order the module adds them.
PyMethodDef& salvage_file_definition();
PyMethodDef& sniff_definition();
PyMethodDef& open_definition();

}  // namespace rowmender::binding
