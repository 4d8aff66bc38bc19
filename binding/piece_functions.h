#pragma once
// One input repaired with its pieces walked by a cluster's workers: the engine's view of the
// package's object that reads the input and hands the walks out, and _walk_piece, what a
// worker calls.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "binding/py_ref.h"
#include "binding/stream_io.h"
#include "salvage/parallel_repair.h"

namespace rowmender::binding {

// A Python object with `size` and `piece_bytes` (ints), `read(offset, size) -> bytes` (all
// of them unless the input ends first) and `walk(plan, ranges)`, which starts the walks of
// `ranges`, a list of (begin, end, at_end) tuples, and returns an iterator of their results
// in order. Its calls take the lock back through the UnlockedInterpreter lent to it; an
// exception they raise stops the repair and is raised by it.
class PythonPieces final : public RangeReader, public PieceWalks {
 public:
  // False with the exception set when `object` lacks what is needed.
  bool bind(PyObject* object);
  std::uint64_t size() const noexcept { return size_; }
  std::size_t piece_bytes() const noexcept { return piece_bytes_; }
  void lend(UnlockedInterpreter* unlocked) noexcept { unlocked_ = unlocked; }

  [[nodiscard]] Expected<std::size_t, SalvageError> read_at(char* buffer, std::size_t size,
                                                            std::uint64_t offset) override;
  [[nodiscard]] std::optional<SalvageError> start(std::string_view plan, std::span<const Range> ranges) override;
  [[nodiscard]] Expected<std::string_view, SalvageError> next() override;

 private:
  PyRef object_;
  PyRef read_;
  PyRef results_;
  PyRef current_;  // the last walk handed to the engine
  std::uint64_t size_ = 0;
  std::size_t piece_bytes_ = 0;
  UnlockedInterpreter* unlocked_ = nullptr;
};

PyMethodDef& walk_piece_definition();

}  // namespace rowmender::binding
