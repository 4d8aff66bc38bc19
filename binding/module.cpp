// The extension module rowmender._rowmender_backend, initialised in two phases: the init
// function only hands over the definition; the execution step fills the module.

#include "binding/py_ref.h"

#include "binding/functions.h"
#include "binding/line_breaks.h"
#include "binding/piece_functions.h"
#include "binding/reader_type.h"
#include "binding/salvage_options.h"
#include "binding/stream_functions.h"
#include "binding/summary_type.h"

#ifndef ROWMENDER_VERSION
#error "ROWMENDER_VERSION must be defined by the build (the project version in CMakeLists.txt)"
#endif

namespace rowmender::binding {
namespace {

constexpr const char* kModuleDoc =
    "High-performance, fault-tolerant rowmender and reconstruction engine.\n"
    "\n"
    "Rescues corrupted, broken, and malformed CSV files where strict parsers\n"
    "(Polars, DuckDB, Pandas) abort with ParserError.";

int add_function(PyObject* module, PyObject* module_name, PyMethodDef& definition) {
  PyRef function(PyCFunction_NewEx(&definition, module, module_name));
  if (!function) return -1;
  return PyModule_AddObjectRef(module, definition.ml_name, function.get());
}

int add_type(PyObject* module, const char* name, PyTypeObject* type) {
  if (type == nullptr) return -1;
  return PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type));
}

int exec_module(PyObject* module) {
  PyRef version(PyUnicode_FromString(ROWMENDER_VERSION));
  if (!version || PyModule_AddObjectRef(module, "__version__", version.get()) < 0) return -1;
  PyRef doc(PyUnicode_FromString(kModuleDoc));
  if (!doc || PyObject_SetAttrString(module, "__doc__", doc.get()) < 0) return -1;
  PyRef all(Py_BuildValue("[sssss]", "salvage_file", "sniff", "open", "SalvageSummary", "SalvageReader"));
  if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) < 0) return -1;

  PyRef name(PyModule_GetNameObject(module));
  if (!name) return -1;
  if (add_function(module, name.get(), salvage_file_definition()) < 0) return -1;
  if (add_function(module, name.get(), sniff_definition()) < 0) return -1;
  if (add_function(module, name.get(), open_definition()) < 0) return -1;
  if (add_type(module, "SalvageSummary", summary_type()) < 0) return -1;
  if (add_type(module, "SalvageReader", reader_type()) < 0) return -1;
  // The streaming road behind the package's repair() and rows(); not part of __all__.
  if (add_function(module, name.get(), check_settings_definition()) < 0) return -1;
  if (add_settings_names(module) < 0) return -1;
  if (add_function(module, name.get(), repair_definition()) < 0) return -1;
  if (add_function(module, name.get(), walk_piece_definition()) < 0) return -1;
  if (add_type(module, "_RowStream", row_stream_type()) < 0) return -1;
  // What the HTML report reads the original lines of its examples back with.
  if (add_function(module, name.get(), line_breaks_definition()) < 0) return -1;
  return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_rowmender_backend",
    "The native _rowmender_backend Python module.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace rowmender::binding

PyMODINIT_FUNC PyInit__rowmender_backend(void) { return PyModuleDef_Init(&rowmender::binding::module_definition); }
