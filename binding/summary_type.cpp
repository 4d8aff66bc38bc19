#include "binding/summary_type.h"

#include <new>

#include "binding/exceptions.h"
#include "binding/py_text.h"
#include "unicode/utf8.h"

namespace rowmender::binding {
namespace {

struct PySalvageSummary {
  PyObject_HEAD
  SummaryPayload payload;
};

const SummaryPayload& payload_of(PyObject* self) { return reinterpret_cast<PySalvageSummary*>(self)->payload; }

void summary_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<PySalvageSummary*>(self)->payload.~SummaryPayload();
  type->tp_free(self);
  Py_DECREF(type);
}

template <std::uint64_t SummaryPayload::*Count>
PyObject* get_count(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(payload_of(self).*Count);
}

PyObject* get_delimiter(PyObject* self, void*) { return new_str(payload_of(self).detected_delimiter); }

PyObject* summary_repr(PyObject* self) {
  const SummaryPayload& p = payload_of(self);
  PyRef delimiter(new_str(p.detected_delimiter));
  if (!delimiter) return nullptr;
  return PyUnicode_FromFormat(
      "<SalvageSummary total_rows=%llu salvaged_rows=%llu repaired_rows=%llu quarantined_rows=%llu "
      "delimiter='%U' inferred_columns=%llu>",
      static_cast<unsigned long long>(p.total_rows), static_cast<unsigned long long>(p.salvaged_rows),
      static_cast<unsigned long long>(p.repaired_rows), static_cast<unsigned long long>(p.quarantined_rows),
      delimiter.get(), static_cast<unsigned long long>(p.inferred_columns));
}

PyGetSetDef summary_properties[] = {
    {"total_rows", get_count<&SummaryPayload::total_rows>, nullptr, nullptr, nullptr},
    {"salvaged_rows", get_count<&SummaryPayload::salvaged_rows>, nullptr, nullptr, nullptr},
    {"repaired_rows", get_count<&SummaryPayload::repaired_rows>, nullptr, nullptr, nullptr},
    {"quarantined_rows", get_count<&SummaryPayload::quarantined_rows>, nullptr, nullptr, nullptr},
    {"detected_delimiter", get_delimiter, nullptr, nullptr, nullptr},
    {"inferred_columns", get_count<&SummaryPayload::inferred_columns>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* summary_to_dict(PyObject* self, PyObject*) {
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  for (const PyGetSetDef* property = summary_properties; property->name != nullptr; ++property) {
    PyRef value(property->get(self, nullptr));
    if (!value || PyDict_SetItemString(dict.get(), property->name, value.get()) < 0) return nullptr;
  }
  return dict.release();
}

PyMethodDef summary_methods[] = {
    {"to_dict", summary_to_dict, METH_NOARGS,
     "to_dict($self)\n--\n\nConverts the summary into a native Python dictionary."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot summary_slots[] = {
    {Py_tp_doc, const_cast<char*>("Python-exposed summary of a salvage operation.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(summary_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(summary_repr)},
    {Py_tp_methods, summary_methods},
    {Py_tp_getset, summary_properties},
    {0, nullptr},
};

PyType_Spec summary_spec = {
    "builtins.SalvageSummary",
    sizeof(PySalvageSummary),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    summary_slots,
};

PyObject* summary_type_object = nullptr;  // lives until the process ends

}  // namespace

SummaryPayload SummaryPayload::from_stats(const SalvageStats& stats) {
  return {stats.total_rows,
          stats.salvaged_rows,
          stats.repaired_rows,
          stats.quarantined_rows,
          latin1_char(stats.detected_delimiter),
          stats.inferred_columns};
}

PyTypeObject* summary_type() {
  if (summary_type_object == nullptr) summary_type_object = PyType_FromSpec(&summary_spec);
  return reinterpret_cast<PyTypeObject*>(summary_type_object);
}

PyObject* new_summary(const SummaryPayload& payload) {
  PyTypeObject* type = summary_type();
  if (type == nullptr) return nullptr;
  return call_guarded(
      [&]() -> PyObject* {
        SummaryPayload copy = payload;  // may throw; nothing allocated on the Python side yet
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) return nullptr;
        new (&reinterpret_cast<PySalvageSummary*>(self)->payload) SummaryPayload(std::move(copy));
        return self;
      },
      static_cast<PyObject*>(nullptr));
}

}  // namespace rowmender::binding
