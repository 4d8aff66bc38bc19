#include "binding/stream_functions.h"

#include <new>
#include <optional>
#include <span>
#include <string>

#include "binding/arguments.h"
#include "binding/exceptions.h"
#include "binding/py_text.h"
#include "binding/salvage_options.h"
#include "binding/stream_io.h"
#include "io/prefixed_source.h"
#include "salvage/change_log.h"
#include "salvage/stream_repair.h"
#include "salvage/stream_rows.h"
#include "unicode/utf8.h"

namespace rowmender::binding {
namespace {

// Adds `value` to `dict` under `key`; false with the exception set.
bool put(PyObject* dict, const char* key, PyObject* value) {
  PyRef owned(value);
  return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

bool put_count(PyObject* dict, const char* key, std::uint64_t value) {
  return put(dict, key, PyLong_FromUnsignedLongLong(value));
}

// The counts of a stream's work, as a dict for the package's report.
PyObject* stats_dict(const StreamStats& stats, const ChangeCounts& changes) {
  const SalvageStats& s = stats.salvage;
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  PyObject* d = dict.get();
  const bool ok =
      put_count(d, "total_rows", s.total_rows) && put_count(d, "salvaged_rows", s.salvaged_rows) &&
      put_count(d, "repaired_rows", s.repaired_rows) && put_count(d, "quarantined_rows", s.quarantined_rows) &&
      put(d, "detected_delimiter", new_str(latin1_char(s.detected_delimiter))) &&
      put_count(d, "inferred_columns", s.inferred_columns) && put_count(d, "bytes_read", stats.bytes_read) &&
      put_count(d, "bytes_written", stats.bytes_written) && put_count(d, "filled_rows", changes.filled_rows) &&
      put_count(d, "merged_rows", changes.merged_rows) &&
      put_count(d, "rows_with_stray_quotes", changes.rows_with_stray_quotes) &&
      put_count(d, "rows_with_text_after_quote", changes.rows_with_text_after_quote) &&
      put_count(d, "rows_with_quotes_in_unquoted_fields", changes.rows_with_quotes_in_unquoted_fields) &&
      put_count(d, "rows_with_replaced_bytes", changes.rows_with_replaced_bytes) &&
      put_count(d, "replaced_bytes", changes.replaced_sequences) &&
      put_count(d, "multiline_rows", changes.multiline_rows) &&
      put(d, "unterminated_quote_line",
          changes.unterminated_quote_line ? PyLong_FromUnsignedLongLong(*changes.unterminated_quote_line)
                                          : Py_NewRef(Py_None)) &&
      put(d, "byte_order_mark", PyBool_FromLong(stats.skipped_byte_order_mark)) &&
      put_count(d, "lf_line_ends", stats.line_ends.lf) && put_count(d, "crlf_line_ends", stats.line_ends.crlf) &&
      put_count(d, "cr_line_ends", stats.line_ends.cr);
  return ok ? dict.release() : nullptr;
}

const StreamEnd* failed_end(std::initializer_list<const StreamEnd*> ends) {
  for (const StreamEnd* end : ends) {
    if (end != nullptr && end->failed()) return end;
  }
  return nullptr;
}

// The names messages give each end, as a tuple of str or None.
bool unpack_names(PyObject* names, std::span<PyObject*> out) {
  if (!PyTuple_Check(names) || PyTuple_GET_SIZE(names) != static_cast<Py_ssize_t>(out.size())) {
    PyErr_Format(PyExc_TypeError, "names must be a tuple of %zu names", out.size());
    return false;
  }
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = PyTuple_GET_ITEM(names, static_cast<Py_ssize_t>(i));
  return true;
}

bool convert_prefix(PyObject* value, std::string& out) {
  if (!PyBytes_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "prefix must be bytes");
    return false;
  }
  out.assign(PyBytes_AS_STRING(value), static_cast<std::size_t>(PyBytes_GET_SIZE(value)));
  return true;
}

// The settings come as _check_settings returned them, converted again by the same rule.
PyObject* repair(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* params[] = {"source",   "output", "quarantine", "changes", "names",
                                           "progress", "prefix", "decoded",    "settings"};
  static constexpr Signature signature{"_repair", params, 9};
  PyObject* bound[9];
  if (!bind_arguments(signature, args, nargs, kwnames, bound)) return nullptr;
  PyObject *source_object = bound[0], *output_object = bound[1], *quarantine_object = bound[2],
           *changes_object = bound[3], *progress = bound[5];
  PyObject* names[4];
  std::string prefix_bytes;
  bool decoded = false;
  SalvageOptions options;
  if (!unpack_names(bound[4], names) || !convert_prefix(bound[6], prefix_bytes) ||
      !convert_flag(bound[7], params[7], decoded) || !convert_settings_mapping(bound[8], options)) {
    return nullptr;
  }
  PyObject *source_name = names[0], *output_name = names[1], *quarantine_name = names[2], *changes_name = names[3];
  StreamEnd source, output, quarantine, changes;
  if (!source.bind(source_object, source_name, true) || !output.bind(output_object, output_name, false)) return nullptr;
  const bool has_quarantine = quarantine_object != Py_None;
  if (has_quarantine && !quarantine.bind(quarantine_object, quarantine_name, false)) return nullptr;
  const bool has_changes = changes_object != Py_None;
  if (has_changes && !changes.bind(changes_object, changes_name, false)) return nullptr;

  return call_guarded(
      [&]() -> PyObject* {
        std::optional<Expected<StreamStats, SalvageError>> result;
        ChangeLog log(has_changes ? &changes.sink() : nullptr, decoded);
        {
          UnlockedInterpreter unlocked;
          const StreamEnd::Lending lending(unlocked, {&source, &output, &quarantine, &changes});
          PrefixedSource input(prefix_bytes, source.source());
          ProgressMonitor monitor(unlocked, progress, input.size_hint());
          result.emplace(repair_stream(input, output.sink(), has_quarantine ? &quarantine.sink() : nullptr, options,
                                       &log, &monitor));
        }
        if (!*result) {
          raise_stream_error(result->error(), failed_end({&source, &output, &quarantine, &changes}));
          return nullptr;
        }
        return stats_dict(result->value(), log.counts());
      },
      static_cast<PyObject*>(nullptr));
}

// _RowStream: the rows of a stream, a window at a time.
struct RowStreamPayload {
  StreamEnd source;
  StreamEnd changes;
  std::unique_ptr<ChangeLog> log;
  PyRef progress;
  std::string prefix;
  std::unique_ptr<RowStream> stream;
  std::size_t cursor = 0;  // the next row of the current batch
};

struct PyRowStream {
  PyObject_HEAD
  RowStreamPayload payload;
};

RowStreamPayload& payload_of(PyObject* self) { return reinterpret_cast<PyRowStream*>(self)->payload; }

void row_stream_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  payload_of(self).~RowStreamPayload();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* row_stream_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr const char* params[] = {"source", "changes", "names", "progress", "prefix", "decoded", "settings"};
  static constexpr Signature signature{"_RowStream", params, 7};
  PyObject* bound[7];
  if (!bind_arguments(signature, args, kwargs, bound)) return nullptr;
  PyObject *source_object = bound[0], *changes_object = bound[1], *progress = bound[3];
  PyObject* names[2];
  std::string prefix_bytes;
  bool decoded = false;
  SalvageOptions options;
  if (!unpack_names(bound[2], names) || !convert_prefix(bound[4], prefix_bytes) ||
      !convert_flag(bound[5], params[5], decoded) || !convert_settings_mapping(bound[6], options)) {
    return nullptr;
  }
  PyObject *name = names[0], *changes_name = names[1];
  return call_guarded(
      [&]() -> PyObject* {
        PyRef self(type->tp_alloc(type, 0));
        if (!self) return nullptr;
        RowStreamPayload* payload = new (&payload_of(self.get())) RowStreamPayload();
        payload->progress = PyRef(Py_NewRef(progress));
        payload->prefix = std::move(prefix_bytes);
        if (!payload->source.bind(source_object, name, true)) return nullptr;
        if (changes_object != Py_None && !payload->changes.bind(changes_object, changes_name, false)) return nullptr;
        payload->log =
            std::make_unique<ChangeLog>(changes_object != Py_None ? &payload->changes.sink() : nullptr, decoded);
        payload->stream = std::make_unique<RowStream>(options, payload->log.get());
        return self.release();
      },
      static_cast<PyObject*>(nullptr));
}

PyObject* row_stream_next(PyObject* self) {
  RowStreamPayload& p = payload_of(self);
  return call_guarded(
      [&]() -> PyObject* {
        while (p.cursor >= p.stream->rows().size()) {
          if (p.stream->finished()) return nullptr;
          std::optional<Expected<bool, SalvageError>> more;
          {
            UnlockedInterpreter unlocked;
            const StreamEnd::Lending lending(unlocked, {&p.source, &p.changes});
            PrefixedSource input(std::move(p.prefix), p.source.source());
            p.prefix.clear();
            ProgressMonitor monitor(unlocked, p.progress.get(), input.size_hint());
            more.emplace(p.stream->next_batch(input, &monitor));
          }
          if (!*more) {
            raise_stream_error(more->error(), failed_end({&p.source, &p.changes}));
            return nullptr;
          }
          p.cursor = 0;
          if (!more->value()) return nullptr;
        }
        const FieldsDone release{[](void* payload, std::size_t fields) {
                                   auto& q = *static_cast<RowStreamPayload*>(payload);
                                   q.stream->release_text(q.cursor, fields);
                                 },
                                 &p};
        PyObject* list = new_row_list(p.stream->rows()[p.cursor], release);
        if (list == nullptr) return nullptr;
        ++p.cursor;
        return list;
      },
      static_cast<PyObject*>(nullptr));
}

PyObject* row_stream_iter(PyObject* self) { return Py_NewRef(self); }

PyObject* row_stream_stats(PyObject* self, PyObject*) {
  RowStreamPayload& p = payload_of(self);
  PyRef stats(stats_dict(p.stream->stats(), p.log->counts()));
  if (!stats) return nullptr;
  if (PyDict_SetItemString(stats.get(), "finished", p.stream->finished() ? Py_True : Py_False) < 0) return nullptr;
  return stats.release();
}

PyMethodDef row_stream_methods[] = {
    {"stats", row_stream_stats, METH_NOARGS, "stats($self)\n--\n\nThe counts so far, as a dict."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot row_stream_slots[] = {
    {Py_tp_doc, const_cast<char*>("The kept rows of a stream, read a window at a time.")},
    {Py_tp_new, reinterpret_cast<void*>(row_stream_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(row_stream_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(row_stream_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(row_stream_next)},
    {Py_tp_methods, row_stream_methods},
    {0, nullptr},
};

PyType_Spec row_stream_spec = {
    "rowmender._rowmender_backend._RowStream", sizeof(PyRowStream), 0, Py_TPFLAGS_DEFAULT, row_stream_slots,
};

PyObject* row_stream_type_object = nullptr;  // lives until the process ends

PyMethodDef definitions[] = {
    {"_repair", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(repair)), METH_FASTCALL | METH_KEYWORDS,
     "_repair(source, output, quarantine, changes, names, progress, prefix, decoded, settings)\n--\n\n"
     "Repairs a stream into the output, quarantine and change-log streams; returns the counts as a dict."},
};

}  // namespace

PyMethodDef& repair_definition() { return definitions[0]; }

PyTypeObject* row_stream_type() {
  if (row_stream_type_object == nullptr) row_stream_type_object = PyType_FromSpec(&row_stream_spec);
  return reinterpret_cast<PyTypeObject*>(row_stream_type_object);
}

}  // namespace rowmender::binding
