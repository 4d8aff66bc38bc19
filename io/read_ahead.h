#pragma once
// Reading a regular file on a thread of the engine's own, one request at a time, so that the
// next chunk arrives while the engine walks the current one: on a file in the page cache,
// the copy into the window is a quarter of the work, and it overlaps the rest this way. A
// request may first write the plan of the window just walked to a regular file, from the
// buffer the read then fills: writing is another sixth of the work.
//
// The thread makes read and write calls and nothing else: it allocates nothing and throws
// nothing, so running out of memory stays the caller's thread's affair. It is born with
// every signal blocked, so signals reach the threads that ran before, as they did without
// it. Only regular files are read and written this way: their calls end promptly, so a
// caller waiting for one, or stopping the thread, never waits on a pipe's other end.
//
// A process forked while the thread exists has no such thread: in the child, requests fail
// at once (the caller reads for itself), and the object leaves the thread's state as it was,
// unfreed, since a lock or a condition the thread held at the fork can never be released.

#include <sys/uio.h>

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <span>
#include <thread>

namespace rowmender {

class ReadAhead {
 public:
  struct Result {
    std::size_t bytes = 0;    // read into the buffer, from its start
    bool at_end = false;      // the file ended
    int error = 0;            // the error number of a read that failed after `bytes`
    std::size_t written = 0;  // of the pieces to write first
    int write_error = 0;      // the error number of a write that failed after `written`
  };
  // Pieces to write to `fd` before reading, in order.
  struct Write {
    int fd = -1;
    std::span<const iovec> pieces;
  };

  // Starts a thread that reads `fd`, or gives nullptr when no thread can be started (the
  // caller then reads for itself).
  static std::unique_ptr<ReadAhead> start(int fd) noexcept;

 private:
  struct Key {  // made by start() only
    explicit Key() = default;
  };

 public:
  explicit ReadAhead(Key) noexcept {}
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;
  // Waits for a read under way to end, then stops the thread.
  ~ReadAhead();

  // Asks for `capacity` bytes into `buffer`, read until they are all there, the file ends or
  // a read fails, after writing `first` (all of it, unless a write fails). The buffer and
  // the pieces' bytes are the thread's until wait() returns.
  void request(char* buffer, std::size_t capacity, Write first) noexcept;
  void request(char* buffer, std::size_t capacity) noexcept { request(buffer, capacity, Write{}); }
  // Waits for the request's result.
  Result wait() noexcept;

 private:
  // What the two threads share.
  struct Shared {
    explicit Shared(int fd) noexcept : fd(fd) {}
    int fd;
    std::mutex mutex;
    std::condition_variable changed;
    char* buffer = nullptr;
    std::size_t capacity = 0;
    Write write;
    bool requested = false;
    bool done = false;
    bool stopping = false;
    Result result;
  };

  // Whether this process was forked since the thread started: the thread is not here.
  bool orphaned() const noexcept;
  static void run(Shared& shared) noexcept;
  static void write_all(const Write& write, Result& result) noexcept;

  std::unique_ptr<Shared> shared_;
  std::unique_ptr<std::thread> thread_;
  unsigned generation_ = 0;  // the process's fork count when the thread started
};

}  // namespace rowmender
