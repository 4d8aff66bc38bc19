#pragma once
// The engine's InterruptCheck for calls made from the interpreter.

#include "binding/py_ref.h"

#include "io/interrupt_check.h"

namespace rowmender::binding {

// Runs the interpreter's signal handlers when a system call of the engine is interrupted,
// as the interpreter's own I/O does: the call is retried unless a handler raised (Ctrl-C's
// KeyboardInterrupt), and then the engine gives up with the exception left set. Handlers run
// on the main thread only; elsewhere the call is simply retried.
//
// The caller must hold the interpreter lock while the engine runs, as every call from this
// module does. An engine call made with the lock released needs a check that takes the lock
// back around PyErr_CheckSignals instead.
inline InterruptCheck run_signal_handlers_on_interrupt() noexcept {
  return InterruptCheck([](void*) noexcept { return PyErr_CheckSignals() == 0; }, nullptr);
}

}  // namespace rowmender::binding
