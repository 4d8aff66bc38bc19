#include "binding/stream_io.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "binding/exceptions.h"

namespace rowmender::binding {

// The lock, for a call into Python from the engine: taken back when it was lent out
// released, already held otherwise.
class StreamEnd::Locked {
 public:
  explicit Locked(const StreamEnd& end) noexcept {
    if (end.unlocked_ != nullptr) relock_.emplace(*end.unlocked_);
  }

 private:
  std::optional<UnlockedInterpreter::Relock> relock_;
};

// For the end's system calls: the interpreter's signal handlers run before an interrupted
// call is retried, as the interpreter's own I/O does; a handler that raises (Ctrl-C's
// KeyboardInterrupt) stops the work with its exception set.
InterruptCheck StreamEnd::interrupt_check() noexcept {
  return InterruptCheck(
      [](void* context) noexcept {
        Locked locked(*static_cast<StreamEnd*>(context));
        return PyErr_CheckSignals() == 0;
      },
      this);
}

// Reads a descriptor as it is, or calls the object's reader with the lock taken back.
class StreamEnd::Source final : public ByteSource {
 public:
  explicit Source(StreamEnd& end) : end_(end), fd_(end.fd_, end.interrupt_check()) {}

  Expected<std::size_t, SalvageError> read(char* buffer, std::size_t capacity) override {
    if (end_.fd_ >= 0) {
      auto got = fd_.read(buffer, capacity);
      if (!got) end_.failed_ = true;
      return got;
    }
    Locked locked(end_);
    const std::optional<std::size_t> got = read_object(buffer, capacity);
    if (!got) {
      end_.failed_ = true;
      return SalvageError::interrupted();  // the exception is set
    }
    return *got;
  }
  std::optional<std::uint64_t> size_hint() const override { return end_.size_hint(); }
  int regular_file_descriptor() const override { return end_.fd_ >= 0 ? fd_.regular_file_descriptor() : -1; }
  // A file object says so by a true `truncated` (the package's decompressing reader).
  bool cut_off() override {
    if (end_.fd_ >= 0) return false;
    Locked locked(end_);
    PyRef truncated(PyObject_GetAttrString(end_.object_.get(), "truncated"));
    const int cut = truncated ? PyObject_IsTrue(truncated.get()) : 0;
    if (PyErr_Occurred() != nullptr) PyErr_Clear();
    return cut == 1;
  }
  // A descriptor of a regular file goes back by seeking, and so does a file object that
  // says it can (a file, BytesIO; a decompressor reads its start again): their bytes need
  // not be kept aside.
  bool mark_start() override {
    if (end_.fd_ >= 0) return fd_.mark_start();
    Locked locked(end_);
    PyRef seekable(PyObject_CallMethod(end_.object_.get(), "seekable", nullptr));
    const int can = seekable ? PyObject_IsTrue(seekable.get()) : -1;
    if (can == 1) start_ = PyRef(PyObject_CallMethod(end_.object_.get(), "tell", nullptr));
    // Whatever fails here (no such method, a closed file) only means the bytes are kept.
    if (PyErr_Occurred() != nullptr) PyErr_Clear();
    return can == 1 && start_;
  }
  std::optional<SalvageError> rewind() override {
    if (end_.fd_ >= 0) {
      auto error = fd_.rewind();
      if (error) end_.failed_ = true;
      return error;
    }
    Locked locked(end_);
    PyRef done(PyObject_CallMethod(end_.object_.get(), "seek", "O", start_.get()));
    if (!done) {
      end_.failed_ = true;
      return SalvageError::interrupted();  // the exception is set
    }
    return std::nullopt;
  }

 private:
  std::optional<std::size_t> read_object(char* buffer, std::size_t capacity) {
    // The reader may not keep the buffer: it is the engine's, and the view is released
    // before the engine uses the bytes.
    capacity = std::min<std::size_t>(capacity, PY_SSIZE_T_MAX);
    if (end_.read_returns_bytes_) {
      PyRef bytes(PyObject_CallFunction(end_.read_method_.get(), "n", static_cast<Py_ssize_t>(capacity)));
      if (!bytes) return std::nullopt;
      Py_buffer view;
      if (PyObject_GetBuffer(bytes.get(), &view, PyBUF_SIMPLE) < 0) return std::nullopt;
      const auto n = static_cast<std::size_t>(view.len);
      if (n > capacity) {
        PyBuffer_Release(&view);
        PyErr_SetString(PyExc_ValueError, "read() returned more bytes than were asked for");
        return std::nullopt;
      }
      std::memcpy(buffer, view.buf, n);
      PyBuffer_Release(&view);
      return n;
    }
    PyRef memory(PyMemoryView_FromMemory(buffer, static_cast<Py_ssize_t>(capacity), PyBUF_WRITE));
    if (!memory) return std::nullopt;
    PyRef result(PyObject_CallOneArg(end_.read_method_.get(), memory.get()));
    {
      // The view goes whatever the reader did; an exception it raised is kept meanwhile.
      PyObject *type, *value, *traceback;
      PyErr_Fetch(&type, &value, &traceback);
      PyRef released(PyObject_CallMethod(memory.get(), "release", nullptr));
      if (type != nullptr) {
        PyErr_Restore(type, value, traceback);
      } else if (!released) {
        return std::nullopt;
      }
    }
    if (!result) return std::nullopt;
    if (result.get() == Py_None) {
      PyErr_SetString(PyExc_BlockingIOError, "the source has no data ready (non-blocking file objects are not read)");
      return std::nullopt;
    }
    const Py_ssize_t n = PyLong_AsSsize_t(result.get());
    if (n == -1 && PyErr_Occurred()) return std::nullopt;
    if (n < 0 || static_cast<std::size_t>(n) > capacity) {
      PyErr_SetString(PyExc_ValueError, "readinto() returned an impossible count");
      return std::nullopt;
    }
    return static_cast<std::size_t>(n);
  }

  StreamEnd& end_;
  FdSource fd_;
  PyRef start_;  // where a file object stood when it was first read
};

// Writes a descriptor as it is, or calls the object's write with the lock taken back.
class StreamEnd::Sink final : public ByteSink {
 public:
  explicit Sink(StreamEnd& end) : end_(end), fd_(end.fd_, end.interrupt_check()) {}

  Expected<std::size_t, SalvageError> write(std::span<const iovec> pieces) override {
    if (end_.fd_ >= 0) {
      auto n = fd_.write(pieces);
      if (!n) end_.failed_ = true;
      return n;
    }
    Locked locked(end_);
    const std::optional<std::size_t> n = write_object(pieces);
    if (!n) {
      end_.failed_ = true;
      return SalvageError::interrupted();  // the exception is set
    }
    return *n;
  }
  int regular_file_descriptor() const override { return end_.fd_ >= 0 ? fd_.regular_file_descriptor() : -1; }
  SalvageError failed_elsewhere(int error_number) override {
    end_.failed_ = true;
    return SalvageError::from_errno(error_number);
  }

 private:
  std::optional<std::size_t> write_object(std::span<const iovec> pieces) {
    // One call for all the pieces: a Python call per piece would cost more than the copy.
    std::size_t total = 0;
    for (const iovec& piece : pieces) total += piece.iov_len;
    PyRef bytes(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total)));
    if (!bytes) return std::nullopt;
    char* out = PyBytes_AS_STRING(bytes.get());
    for (const iovec& piece : pieces) {
      if (piece.iov_len != 0) std::memcpy(out, piece.iov_base, piece.iov_len);
      out += piece.iov_len;
    }
    PyRef result(PyObject_CallMethod(end_.object_.get(), "write", "O", bytes.get()));
    if (!result) return std::nullopt;
    // Raw files say how much they took; buffered ones take everything (some say None).
    if (result.get() == Py_None) return total;
    const Py_ssize_t n = PyLong_AsSsize_t(result.get());
    if (n == -1 && PyErr_Occurred()) return std::nullopt;
    if (n < 0 || static_cast<std::size_t>(n) > total) {
      PyErr_SetString(PyExc_ValueError, "write() returned an impossible count");
      return std::nullopt;
    }
    return static_cast<std::size_t>(n);
  }

  StreamEnd& end_;
  FdSink fd_;
};

bool StreamEnd::bind(PyObject* object, PyObject* name, bool for_reading) {
  name_ = PyRef(Py_NewRef(name));
  if (PyLong_Check(object)) {
    const long fd = PyLong_AsLong(object);
    if (fd == -1 && PyErr_Occurred()) return false;
    if (fd < 0 || fd > INT_MAX) {
      PyErr_SetString(PyExc_ValueError, "not a file descriptor");
      return false;
    }
    fd_ = static_cast<int>(fd);
    return true;
  }
  object_ = PyRef(Py_NewRef(object));
  if (!for_reading) {
    if (PyObject_HasAttrString(object, "write")) return true;
    PyErr_Format(PyExc_TypeError, "'%.200s' object has no write() method", Py_TYPE(object)->tp_name);
    return false;
  }
  for (const char* method : {"readinto1", "readinto"}) {
    if (PyObject_HasAttrString(object, method)) {
      read_method_ = PyRef(PyObject_GetAttrString(object, method));
      return static_cast<bool>(read_method_);
    }
  }
  if (PyObject_HasAttrString(object, "read")) {
    read_method_ = PyRef(PyObject_GetAttrString(object, "read"));
    read_returns_bytes_ = true;
    return static_cast<bool>(read_method_);
  }
  PyErr_Format(PyExc_TypeError, "'%.200s' object has no readinto() or read() method", Py_TYPE(object)->tp_name);
  return false;
}

ByteSource& StreamEnd::source() {
  if (!source_) source_ = std::make_unique<Source>(*this);
  return *source_;
}

ByteSink& StreamEnd::sink() {
  if (!sink_) sink_ = std::make_unique<Sink>(*this);
  return *sink_;
}

std::optional<std::uint64_t> StreamEnd::size_hint() const {
  if (fd_ < 0) return std::nullopt;
  return FdSource(fd_).size_hint();
}

std::optional<SalvageError> ProgressMonitor::on_progress(std::uint64_t bytes_read) {
  const auto now = std::chrono::steady_clock::now();
  const bool progress_due =
      progress_ != nullptr && progress_ != Py_None && now - last_ >= std::chrono::milliseconds(100);
  if (!progress_due && now - checked_ < kSignalCheck) return std::nullopt;
  UnlockedInterpreter::Relock locked(unlocked_);
  checked_ = std::chrono::steady_clock::now();  // the lock may have taken a while to come back
  if (PyErr_CheckSignals() < 0) return SalvageError::interrupted();
  if (!progress_due) return std::nullopt;
  last_ = now;
  PyRef total(total_ ? PyLong_FromUnsignedLongLong(*total_) : Py_NewRef(Py_None));
  if (!total) return SalvageError::interrupted();
  PyRef result(PyObject_CallFunction(progress_, "KO", static_cast<unsigned long long>(bytes_read), total.get()));
  if (!result) return SalvageError::interrupted();
  return std::nullopt;
}

void raise_stream_error(const SalvageError& error, const StreamEnd* failed_end) {
  if (error.is_interrupted() && PyErr_Occurred()) return;
  if (error.os_error() != 0) {
    // Python builds the OSError subclass that matches the number, with .errno, .strerror
    // and .filename set, as its own file functions do.
    errno = error.os_error();
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, failed_end != nullptr ? failed_end->name() : nullptr);
    return;
  }
  PyRef name(failed_end != nullptr ? PyObject_Str(failed_end->name()) : nullptr);
  if (name) {
    PyErr_Format(PyExc_OSError, "%s: %U", error.message().c_str(), name.get());
  } else {
    PyErr_SetString(PyExc_OSError, error.message().c_str());
  }
}

}  // namespace rowmender::binding
