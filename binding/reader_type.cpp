#include "binding/reader_type.h"

#include <new>
#include <span>

#include "binding/arguments.h"
#include "binding/exceptions.h"
#include "binding/py_text.h"
#include "binding/salvage_options.h"
#include "binding/signal_check.h"
#include "binding/summary_type.h"
#include "io/file_io.h"
#include "salvage/salvage_slice.h"

namespace rowmender::binding {
namespace {

struct ReaderPayload {
  RowTable rows;
  SummaryPayload summary;
  std::uint64_t cursor = 0;
};

struct PySalvageReader {
  PyObject_HEAD
  ReaderPayload payload;
};

ReaderPayload& payload_of(PyObject* self) { return reinterpret_cast<PySalvageReader*>(self)->payload; }

void reader_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  payload_of(self).~ReaderPayload();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr Signature signature{"SalvageReader.__new__", kReaderParams, 1, 1};
  PyObject* bound[7];
  if (!bind_arguments(signature, args, kwargs, bound)) return nullptr;
  return reader_from_bound(type, bound);
}

PyObject* reader_iter(PyObject* self) { return Py_NewRef(self); }

PyObject* reader_next(PyObject* self) {
  ReaderPayload& payload = payload_of(self);
  if (payload.cursor >= payload.rows.size()) return nullptr;  // exhausted, for good
  PyObject* list = new_row_list(payload.rows[static_cast<std::size_t>(payload.cursor)]);
  if (list == nullptr) return nullptr;
  ++payload.cursor;
  return list;
}

Py_ssize_t reader_length(PyObject* self) { return static_cast<Py_ssize_t>(payload_of(self).rows.size()); }

PyObject* reader_summary(PyObject* self, void*) { return new_summary(payload_of(self).summary); }

PyObject* reader_enter(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyObject* reader_exit(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* params[] = {"_exc_type", "_exc_val", "_exc_tb"};
  static constexpr Signature signature{"SalvageReader.__exit__", params, 0, 1};
  PyObject* bound[3];
  if (!bind_arguments(signature, args, nargs, kwnames, bound)) return nullptr;
  Py_RETURN_FALSE;  // exceptions raised in the with block propagate
}

PyMethodDef reader_methods[] = {
    {"__enter__", reader_enter, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(reader_exit)),
     METH_FASTCALL | METH_KEYWORDS, "__exit__($self, _exc_type=None, _exc_val=None, _exc_tb=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef reader_properties[] = {
    {"summary", reader_summary, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot reader_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("SalvageReader(file_path, delimiter=None, quote_char=\"\\\"\", fill_ragged_rows=True, "
                       "merge_overflow=True, expected_columns=None, repair_quotes=True)\n--\n\n"
                       "In-memory streaming reader iterating over salvaged rows.")},
    {Py_tp_new, reinterpret_cast<void*>(reader_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(reader_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(reader_next)},
    {Py_mp_length, reinterpret_cast<void*>(reader_length)},
    {Py_tp_methods, reader_methods},
    {Py_tp_getset, reader_properties},
    {0, nullptr},
};

PyType_Spec reader_spec = {
    "builtins.SalvageReader", sizeof(PySalvageReader), 0, Py_TPFLAGS_DEFAULT, reader_slots,
};

PyObject* reader_type_object = nullptr;  // lives until the process ends

}  // namespace

PyTypeObject* reader_type() {
  if (reader_type_object == nullptr) reader_type_object = PyType_FromSpec(&reader_spec);
  return reinterpret_cast<PyTypeObject*>(reader_type_object);
}

PyObject* reader_from_bound(PyTypeObject* type, PyObject* const (&bound)[7]) {
  std::string_view path;
  if (!convert_text(bound[0], kReaderParams[0], path)) return nullptr;
  SalvageOptions options;
  if (!convert_salvage_options(std::span<PyObject* const, 6>(bound + 1, 6), options)) return nullptr;
  return construct_reader(type, path, options);
}

PyObject* construct_reader(PyTypeObject* type, std::string_view path, const SalvageOptions& options) {
  return call_guarded(
      [&]() -> PyObject* {
        ReaderPayload payload;
        {
          // The quarantine records are dropped before the instance exists.
          auto content = read_whole_file(path, run_signal_handlers_on_interrupt());
          if (!content) {
            raise_file_error(content.error());
            return nullptr;
          }
          // The rows' text is written over the file's bytes as they are read.
          const std::size_t size = content.value().size();
          SalvageOutcome outcome = salvage_buffer(content.value().release(), size, options);
          payload.rows = std::move(outcome.rows);
          payload.summary = SummaryPayload::from_stats(outcome.stats);
        }
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) return nullptr;
        new (&reinterpret_cast<PySalvageReader*>(self)->payload) ReaderPayload(std::move(payload));
        return self;
      },
      static_cast<PyObject*>(nullptr));
}

}  // namespace rowmender::binding
