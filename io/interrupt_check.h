#pragma once
// What the engine asks when a system call it made is interrupted by a signal: retry it (or
// write the rest), or give up. A call is interrupted when it fails with EINTR, and a write
// also when it stops short, which is how a signal that arrives once some bytes went out
// shows. Retrying at once is right for a program with nothing to do on a signal, but an
// interpreter must run its signal handlers first, or a Ctrl-C would go unnoticed for as long
// as a read from a pipe whose writer stays open blocks. The engine knows nothing of what the
// check does; it only gives up with SalvageError::interrupted() when told to.
//
// The check runs on the thread that made the system call, before the call is retried. The
// engine holds no lock of its own then and assumes nothing about an interpreter's lock: a
// caller that runs the engine with its interpreter's lock released must give a check that
// takes the lock back around the handlers and releases it again before returning.

namespace rowmender {

class InterruptCheck {
 public:
  // Returns true to retry the interrupted call, false to give up. It must not throw: it
  // runs in the middle of the engine's I/O, where there is nothing to unwind to.
  using Function = bool (*)(void* context) noexcept;

  // Always retries, as if the signal had not happened.
  constexpr InterruptCheck() noexcept = default;
  // Calls `function(context)` on every interruption; `context` must outlive the check.
  constexpr InterruptCheck(Function function, void* context) noexcept : function_(function), context_(context) {}

  [[nodiscard]] bool allows_retry() const noexcept { return function_ == nullptr || function_(context_); }

 private:
  Function function_ = nullptr;
  void* context_ = nullptr;
};

}  // namespace rowmender
