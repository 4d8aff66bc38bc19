#pragma once
// The shape every kept row is brought to: the delimiter and the width, from the options or
// worked out from the first rows of the input.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "heuristics/field_count_sample.h"
#include "salvage/records.h"

namespace rowmender {

struct TableShape {
  std::uint8_t delimiter;
  std::uint64_t width;   // 0: rows keep whatever width they have
  Dialect dialect = {};  // the options' own, or what the cleanup rules told from the head
};

// Works the shape out from a text read a window at a time (a stream's head), counting the
// fields of the rows it samples without keeping them: it needs of the text only the rows
// it has yet to read, whatever came before (runs of blank lines, long rows).
class ShapeSettler {
 public:
  explicit ShapeSettler(const SalvageOptions& options);

  // Reads on over `window`, the text from the same offset as the last window less the bytes
  // dropped since (`at_end` when it runs to the text's end): the shape once the rows read
  // settle it as the whole text would, nullopt until then.
  std::optional<TableShape> read(std::string_view window, bool at_end);
  // How many bytes at the front of the window just read no sample will read again.
  std::size_t done_with() const noexcept;
  // The window's first `bytes` bytes are dropped before the next window: offsets shift.
  void drop_front(std::size_t bytes) noexcept;

 private:
  SalvageOptions options_;
  Dialect dialect_;
  bool dialect_told_ = false;  // whether the head was looked at for the quoting style yet
  std::optional<std::uint8_t> delimiter_;
  // While sniffing, one sample per candidate delimiter; then the delimiter's own, counted on
  // for the width.
  std::vector<FieldCountSample> samples_;
  bool started_ = false;
};

// From the whole input, which must not be empty.
TableShape settle_shape(std::string_view input, const SalvageOptions& options);

// From the first part of the input (a stream's head, `at_end` when it is the whole input):
// nullopt until the head holds every row inference samples, so that the answer is the one
// the whole input gives.
std::optional<TableShape> settle_shape_from_head(std::string_view head, const SalvageOptions& options, bool at_end);

}  // namespace rowmender
