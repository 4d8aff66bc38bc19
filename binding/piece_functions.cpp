#include "binding/piece_functions.h"

#include <cstring>

#include "binding/arguments.h"
#include "binding/exceptions.h"
#include "binding/salvage_options.h"

namespace rowmender::binding {
namespace {

// Holds the lock for a call into Python, taking it back when it was lent away.
class Locked {
 public:
  explicit Locked(UnlockedInterpreter* unlocked) noexcept {
    if (unlocked != nullptr) relock_.emplace(*unlocked);
  }

 private:
  std::optional<UnlockedInterpreter::Relock> relock_;
};

bool count_attribute(PyObject* object, const char* name, std::uint64_t& out) {
  PyRef value(PyObject_GetAttrString(object, name));
  if (!value) return false;
  const unsigned long long count = PyLong_AsUnsignedLongLong(value.get());
  if (count == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = count;
  return true;
}

// The bytes of a bytes-like object into `out`; false with the exception set otherwise.
template <typename Take>
bool with_bytes(PyObject* object, Take&& take) {
  Py_buffer view;
  if (PyObject_GetBuffer(object, &view, PyBUF_SIMPLE) < 0) return false;
  take(std::string_view(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len)));
  PyBuffer_Release(&view);
  return true;
}

// _walk_piece(plan, text, begin, end, at_end, settings): a worker's walk of one piece, as
// bytes for the stitcher. The settings come as _check_settings returned them.
PyObject* walk_piece(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* params[] = {"plan", "text", "begin", "end", "at_end", "settings"};
  static constexpr Signature signature{"_walk_piece", params, 6};
  PyObject* bound[6];
  if (!bind_arguments(signature, args, nargs, kwnames, bound)) return nullptr;
  std::optional<std::uint64_t> begin, end;
  bool at_end = false;
  SalvageOptions options;
  if (!convert_optional_count(bound[2], params[2], begin) || !convert_optional_count(bound[3], params[3], end) ||
      !convert_flag(bound[4], params[4], at_end) || !convert_settings_mapping(bound[5], options)) {
    return nullptr;
  }
  if (!begin || !end) {
    PyErr_SetString(PyExc_TypeError, "begin and end must be ints");
    return nullptr;
  }
  Py_buffer plan, text;
  if (PyObject_GetBuffer(bound[0], &plan, PyBUF_SIMPLE) < 0) return nullptr;
  if (PyObject_GetBuffer(bound[1], &text, PyBUF_SIMPLE) < 0) {
    PyBuffer_Release(&plan);
    return nullptr;
  }
  PyObject* result = call_guarded(
      [&]() -> PyObject* {
        // Each worker thread walks its pieces in one buffer, kept from piece to piece: a new
        // one for each would cost a page fault per 4 KiB of every piece.
        thread_local Piece piece;
        std::optional<Expected<PieceMessage, SalvageError>> walked;
        {
          UnlockedInterpreter unlocked;
          piece.begin = *begin;
          piece.end = *end;
          piece.at_end = at_end;
          const auto length = static_cast<std::size_t>(text.len);
          if (piece.bytes.size() < length) piece.bytes.resize(length);
          std::memcpy(piece.bytes.data(), text.buf, length);
          walked.emplace(walk_piece_by_plan(
              std::string_view(static_cast<const char*>(plan.buf), static_cast<std::size_t>(plan.len)), piece, length,
              options));
        }
        if (!*walked) {
          PyErr_SetString(PyExc_ValueError, walked->error().message().c_str());
          return nullptr;
        }
        PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(walked->value().size()));
        if (bytes == nullptr) return nullptr;
        {
          UnlockedInterpreter unlocked;
          walked->value().copy_to(PyBytes_AS_STRING(bytes));
        }
        return bytes;
      },
      static_cast<PyObject*>(nullptr));
  PyBuffer_Release(&text);
  PyBuffer_Release(&plan);
  return result;
}

PyMethodDef definitions[] = {
    {"_walk_piece", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(walk_piece)),
     METH_FASTCALL | METH_KEYWORDS,
     "_walk_piece(plan, text, begin, end, at_end, settings)\n--\n\n"
     "A cluster worker's part of a repair: one piece of the input walked by the plan the "
     "stitcher made, as bytes for the stitcher."},
};

}  // namespace

bool PythonPieces::bind(PyObject* object) {
  object_ = PyRef(Py_NewRef(object));
  read_ = PyRef(PyObject_GetAttrString(object, "read"));
  std::uint64_t piece = 0;
  if (!read_ || !count_attribute(object, "size", size_) || !count_attribute(object, "piece_bytes", piece)) {
    return false;
  }
  piece_bytes_ = static_cast<std::size_t>(piece);
  return true;
}

Expected<std::size_t, SalvageError> PythonPieces::read_at(char* buffer, std::size_t size, std::uint64_t offset) {
  const Locked locked(unlocked_);
  PyRef bytes(PyObject_CallFunction(read_.get(), "KK", static_cast<unsigned long long>(offset),
                                    static_cast<unsigned long long>(size)));
  std::size_t got = 0;
  if (!bytes || !with_bytes(bytes.get(), [&](std::string_view data) {
        got = std::min(data.size(), size);
        std::memcpy(buffer, data.data(), got);
      })) {
    return SalvageError::interrupted();  // the exception is set
  }
  return got;
}

std::optional<SalvageError> PythonPieces::start(std::string_view plan, std::span<const Range> ranges) {
  const Locked locked(unlocked_);
  PyRef list(PyList_New(static_cast<Py_ssize_t>(ranges.size())));
  if (!list) return SalvageError::interrupted();
  for (std::size_t i = 0; i < ranges.size(); ++i) {
    PyObject* range =
        Py_BuildValue("(KKO)", static_cast<unsigned long long>(ranges[i].begin),
                      static_cast<unsigned long long>(ranges[i].end), ranges[i].at_end ? Py_True : Py_False);
    if (range == nullptr) return SalvageError::interrupted();
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), range);
  }
  PyRef plan_bytes(PyBytes_FromStringAndSize(plan.data(), static_cast<Py_ssize_t>(plan.size())));
  if (!plan_bytes) return SalvageError::interrupted();
  PyRef results(PyObject_CallMethod(object_.get(), "walk", "OO", plan_bytes.get(), list.get()));
  if (!results) return SalvageError::interrupted();
  results_ = PyRef(PyObject_GetIter(results.get()));
  if (!results_) return SalvageError::interrupted();
  return std::nullopt;
}

Expected<std::string_view, SalvageError> PythonPieces::next() {
  const Locked locked(unlocked_);
  current_ = PyRef(results_ ? PyIter_Next(results_.get()) : nullptr);
  if (!current_) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "the walks of the pieces ended before the pieces did");
    return SalvageError::interrupted();
  }
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(current_.get(), &data, &size) < 0) return SalvageError::interrupted();
  return std::string_view(data, static_cast<std::size_t>(size));
}

PyMethodDef& walk_piece_definition() { return definitions[0]; }

}  // namespace rowmender::binding
