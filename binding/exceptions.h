#pragma once
// Turning engine failures into Python exceptions, and keeping C++ exceptions from crossing
// into the interpreter.

#include "binding/py_ref.h"

#include <cxxabi.h>

#include <new>
#include <stdexcept>

#include "error/salvage_error.h"

namespace rowmender::binding {

// salvage_file's errors: a plain OSError built from the error's text alone.
void raise_salvage_error(const SalvageError& error);

// The reader's file errors: the OSError subclass that matches the error number, built from
// "{description} (os error {number})" alone; a bad path gives a plain OSError.
// Neither raises anything for an interrupted error whose signal handler raised (see
// signal_check.h): that handler's exception stays set.
void raise_file_error(const SalvageError& error);

// The C++ runtime keeps each thread's exception state in thread-local storage. Loaded with
// this module, after the interpreter started, the runtime gets that storage from malloc on
// each thread's first use, normally its first throw. When the throw comes because memory has
// just run out, that malloc fails too and the C library aborts the process, so MemoryError
// is never raised. Asking for the state on entry makes it while memory is still there; once
// it exists, the cost is one thread-local access.
inline void prepare_exception_state() noexcept {
  // The function is declared const, so a call whose result goes unused may be dropped.
  abi::__cxa_eh_globals* volatile state = abi::__cxa_get_globals();
  (void)state;
}

// Runs `body`, turning an allocation failure into MemoryError. Returns what `body` returns,
// or `failed` after setting the exception. Every call into the engine that may allocate or
// throw goes through here, on whatever thread it comes from; the rest (the reader's row
// accessors, the ASCII check) are noexcept and allocate nothing.
template <typename Body, typename Result>
Result call_guarded(Body&& body, Result failed) {
  prepare_exception_state();
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
