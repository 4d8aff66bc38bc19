#include "binding/line_breaks.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "binding/arguments.h"
#include "binding/exceptions.h"
#include "binding/stream_io.h"

namespace rowmender::binding {
namespace {

// A break is a CR, an LF, or the two together, as the change log numbers lines; a chunk may
// end between the CR and the LF of one break, which the next chunk learns from `after_cr`.
// The breaks are found with memchr, one search for each kind of byte: lines of a table are
// tens to thousands of bytes long, and memchr goes through those at memory speed.
class BreakCounter {
 public:
  BreakCounter(const unsigned char* data, std::size_t size, const std::vector<std::uint64_t>& stops,
               std::vector<std::uint64_t>& found) noexcept
      : data_(data), size_(size), stops_(stops), found_(found) {}

  std::uint64_t run(bool after_cr) {
    // An LF that completes the CR the last chunk ended with is no break of its own.
    const std::size_t from = after_cr && size_ > 0 && data_[0] == '\n' ? 1 : 0;
    std::size_t cr = find('\r', from), lf = find('\n', from);
    while (cr < size_ || lf < size_) {
      if (cr < lf) {
        const bool crlf = cr + 1 < size_ && data_[cr + 1] == '\n';
        const std::size_t next = crlf ? cr + 2 : cr + 1;
        counted(next);
        if (crlf) lf = find('\n', next);
        cr = find('\r', cr + 1);
      } else {
        counted(lf + 1);
        lf = find('\n', lf + 1);
      }
    }
    return count_;
  }

 private:
  std::size_t find(unsigned char byte, std::size_t from) const noexcept {
    if (from >= size_) return size_;
    const void* at = std::memchr(data_ + from, byte, size_ - from);
    return at == nullptr ? size_ : static_cast<std::size_t>(static_cast<const unsigned char*>(at) - data_);
  }

  // One more break; `line_start` is where the line after it starts.
  void counted(std::size_t line_start) {
    ++count_;
    if (next_ < stops_.size() && count_ == stops_[next_]) {
      found_.push_back(line_start);
      ++next_;
    }
  }

  const unsigned char* data_;
  std::size_t size_;
  const std::vector<std::uint64_t>& stops_;
  std::vector<std::uint64_t>& found_;
  std::size_t next_ = 0;
  std::uint64_t count_ = 0;
};

PyObject* line_breaks(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* params[] = {"data", "after_cr", "stops"};
  static constexpr Signature signature{"_line_breaks", params, 3};
  PyObject* bound[3];
  if (!bind_arguments(signature, args, nargs, kwnames, bound)) return nullptr;
  bool after_cr = false;
  if (!convert_flag(bound[1], params[1], after_cr)) return nullptr;
  PyRef stop_list(PySequence_Fast(bound[2], "stops must be a sequence of whole numbers"));
  if (!stop_list) return nullptr;
  Py_buffer view;
  if (PyObject_GetBuffer(bound[0], &view, PyBUF_SIMPLE) < 0) return nullptr;
  // Released however the call ends, a failed allocation included.
  struct Released {
    Py_buffer* view;
    ~Released() { PyBuffer_Release(view); }
  } released{&view};
  const auto* data = static_cast<const unsigned char*>(view.buf);
  const auto size = static_cast<std::size_t>(view.len);
  return call_guarded(
      [&]() -> PyObject* {
        std::vector<std::uint64_t> stops;
        const Py_ssize_t stop_count = PySequence_Fast_GET_SIZE(stop_list.get());
        PyObject** stop_items = PySequence_Fast_ITEMS(stop_list.get());
        stops.reserve(static_cast<std::size_t>(stop_count));
        for (Py_ssize_t s = 0; s < stop_count; ++s) {
          const unsigned long long value = PyLong_AsUnsignedLongLong(stop_items[s]);
          if (PyErr_Occurred()) return nullptr;
          if (value == 0 || (!stops.empty() && value <= stops.back())) {
            PyErr_SetString(PyExc_ValueError, "stops must be ascending whole numbers from 1");
            return nullptr;
          }
          stops.push_back(value);
        }
        std::uint64_t count = 0;
        std::vector<std::uint64_t> found;  // the offset right after each stop's break
        found.reserve(stops.size());
        {
          UnlockedInterpreter unlocked;
          count = BreakCounter(data, size, stops, found).run(after_cr);
        }
        PyRef offsets(PyList_New(static_cast<Py_ssize_t>(found.size())));
        if (!offsets) return nullptr;
        for (std::size_t k = 0; k < found.size(); ++k) {
          PyObject* offset = PyLong_FromUnsignedLongLong(found[k]);
          if (offset == nullptr) return nullptr;
          PyList_SET_ITEM(offsets.get(), static_cast<Py_ssize_t>(k), offset);
        }
        const bool ends_with_cr = size > 0 ? data[size - 1] == '\r' : after_cr;
        return Py_BuildValue("KOO", static_cast<unsigned long long>(count), ends_with_cr ? Py_True : Py_False,
                             offsets.get());
      },
      static_cast<PyObject*>(nullptr));
}

PyMethodDef definitions[] = {
    {"_line_breaks", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(line_breaks)),
     METH_FASTCALL | METH_KEYWORDS,
     "_line_breaks(data, after_cr, stops)\n--\n\n"
     "The line breaks (CR, LF or CRLF) in data, whether it ends with a CR, and the offset right after "
     "each break whose 1-based number in data is in stops (ascending)."},
};

}  // namespace

PyMethodDef& line_breaks_definition() { return definitions[0]; }

}  // namespace rowmender::binding
