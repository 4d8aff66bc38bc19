#include "binding/exceptions.h"

#include <cerrno>

namespace rowmender::binding {
namespace {

PyObject* exception_type_for(int error_number) {
  switch (error_number) {
    case ENOENT: return PyExc_FileNotFoundError;
    case EACCES:
    case EPERM: return PyExc_PermissionError;
    case EISDIR: return PyExc_IsADirectoryError;
    case ENOTDIR: return PyExc_NotADirectoryError;
    case EEXIST: return PyExc_FileExistsError;
    case EAGAIN: return PyExc_BlockingIOError;
    case ETIMEDOUT: return PyExc_TimeoutError;
    case EINTR: return PyExc_InterruptedError;
    case EPIPE: return PyExc_BrokenPipeError;
    case ECONNREFUSED: return PyExc_ConnectionRefusedError;
    case ECONNRESET: return PyExc_ConnectionResetError;
    case ECONNABORTED: return PyExc_ConnectionAbortedError;
    case ENOMEM: return PyExc_MemoryError;
    default: return PyExc_OSError;
  }
}

// Raises `type` constructed from the message alone, so errno, strerror and filename stay None.
void raise_with_message(PyObject* type, const std::string& message) {
  PyRef text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) return;
  PyRef exception(PyObject_CallOneArg(type, text.get()));
  if (!exception) return;
  PyErr_SetObject(type, exception.get());
}

// The engine gives up on an interrupted call only when a signal handler raised; that
// exception (KeyboardInterrupt, most often) is what the caller must see.
bool handler_raised(const SalvageError& error) { return error.is_interrupted() && PyErr_Occurred() != nullptr; }

}  // namespace

void raise_salvage_error(const SalvageError& error) {
  if (handler_raised(error)) return;
  raise_with_message(PyExc_OSError, error.message());
}

void raise_file_error(const SalvageError& error) {
  if (handler_raised(error)) return;
  raise_with_message(error.os_error() != 0 ? exception_type_for(error.os_error()) : PyExc_OSError, error.message());
}

}  // namespace rowmender::binding
