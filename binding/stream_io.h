#pragma once
// The streams of the module's streaming functions: descriptors read and written with the
// interpreter lock released, Python file objects called with it taken back, and the checks
// that let Ctrl-C and progress reach a long run.

#include "binding/py_ref.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>

#include "io/byte_stream.h"
#include "io/fd_stream.h"
#include "io/interrupt_check.h"
#include "salvage/stream_repair.h"

namespace rowmender::binding {

// Releases the interpreter lock for the engine's work; Relock takes it back for a while,
// for whatever must touch Python. Constructed and destroyed with the lock held.
class UnlockedInterpreter {
 public:
  UnlockedInterpreter() noexcept : state_(PyEval_SaveThread()) {}
  ~UnlockedInterpreter() { PyEval_RestoreThread(state_); }
  UnlockedInterpreter(const UnlockedInterpreter&) = delete;
  UnlockedInterpreter& operator=(const UnlockedInterpreter&) = delete;

  class Relock {
   public:
    explicit Relock(UnlockedInterpreter& unlocked) noexcept : unlocked_(unlocked) {
      PyEval_RestoreThread(unlocked_.state_);
    }
    ~Relock() { unlocked_.state_ = PyEval_SaveThread(); }
    Relock(const Relock&) = delete;
    Relock& operator=(const Relock&) = delete;

   private:
    UnlockedInterpreter& unlocked_;
  };

 private:
  PyThreadState* state_;
};

// One stream end: a descriptor, or a Python object with readinto/read or write. `name`
// names it in error messages (the file's path, or "<stdin>"...). Its source and sink live
// as long as the end; while an UnlockedInterpreter is lent to the end (see Lending), calls
// into Python take the lock back through it, otherwise they are made with the lock held.
class StreamEnd {
 public:
  // Takes an int (a descriptor) or a file object. False with TypeError set otherwise.
  bool bind(PyObject* object, PyObject* name, bool for_reading);

  ByteSource& source();
  ByteSink& sink();
  // The size still to be read, when the end is a regular file.
  std::optional<std::uint64_t> size_hint() const;

  PyObject* name() const noexcept { return name_.get(); }
  // Whether a read or write of this end failed.
  bool failed() const noexcept { return failed_; }

  // Lends `unlocked` to the ends for as long as the Lending lives.
  class Lending {
   public:
    Lending(UnlockedInterpreter& unlocked, std::initializer_list<StreamEnd*> ends) noexcept {
      for (StreamEnd* end : ends) {
        if (count_ < ends_.size()) ends_[count_++] = end;
        end->unlocked_ = &unlocked;
      }
    }
    ~Lending() {
      for (std::size_t i = 0; i < count_; ++i) ends_[i]->unlocked_ = nullptr;
    }
    Lending(const Lending&) = delete;
    Lending& operator=(const Lending&) = delete;

   private:
    std::array<StreamEnd*, 4> ends_{};
    std::size_t count_ = 0;
  };

 private:
  class Source;
  class Sink;
  class Locked;
  InterruptCheck interrupt_check() noexcept;

  int fd_ = -1;
  PyRef object_;
  PyRef read_method_;  // readinto1, readinto or read
  bool read_returns_bytes_ = false;
  PyRef name_;
  bool failed_ = false;
  UnlockedInterpreter* unlocked_ = nullptr;
  std::unique_ptr<ByteSource> source_;
  std::unique_ptr<ByteSink> sink_;
};

// Between windows: calls `progress(bytes_read, total)` at most ten times a second, counted
// from `last` (a stream read in many short runs carries it from one run to the next), and
// runs the signal handlers then and at most every kSignalCheck otherwise. The lock is taken
// back only for those: taking it waits for any other Python thread to let go of it, up to
// the interpreter's switch interval (5 ms), which once a window (a millisecond of work)
// would hold the engine to the pace of a thread that has nothing to do with it.
class ProgressMonitor final : public StreamMonitor {
 public:
  static constexpr std::chrono::milliseconds kSignalCheck{20};

  ProgressMonitor(UnlockedInterpreter& unlocked, PyObject* progress, std::optional<std::uint64_t> total,
                  std::chrono::steady_clock::time_point last = std::chrono::steady_clock::now()) noexcept
      : unlocked_(unlocked), progress_(progress), total_(total), last_(last) {}
  [[nodiscard]] std::optional<SalvageError> on_progress(std::uint64_t bytes_read) override;
  std::chrono::steady_clock::time_point last_call() const noexcept { return last_; }

 private:
  UnlockedInterpreter& unlocked_;
  PyObject* progress_;  // borrowed; None or nullptr for none
  std::optional<std::uint64_t> total_;
  std::chrono::steady_clock::time_point last_;
  std::chrono::steady_clock::time_point checked_ = std::chrono::steady_clock::now();
};

// Raises the exception for an engine error of a stream function: the one already set when
// the work was interrupted or a Python call failed; an OSError subclass naming the stream
// end otherwise.
void raise_stream_error(const SalvageError& error, const StreamEnd* failed_end);

}  // namespace rowmender::binding
