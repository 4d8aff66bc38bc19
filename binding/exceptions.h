#pragma once
// Turning engine failures into Python exceptions, and keeping C++ exceptions from crossing
// into the interpreter.

#include "binding/py_ref.h"

#include <new>
#include <stdexcept>

#include "error/salvage_error.h"

namespace rowmender::binding {

// salvage_file's errors: a plain OSError built from the error's text alone.
void raise_salvage_error(const SalvageError& error);

// The reader's file errors: the OSError subclass that matches the error number, built from
// "{description} (os error {number})" alone; a bad path gives a plain OSError.
void raise_file_error(const SalvageError& error);

// Runs `body`, turning an allocation failure into MemoryError. Returns what `body` returns,
// or `failed` after setting the exception.
template <typename Body, typename Result>
Result call_guarded(Body&& body, Result failed) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
  }
  return failed;
}

}  // namespace rowmender::binding
