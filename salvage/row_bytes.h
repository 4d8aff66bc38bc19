#pragma once
// What a pass may do with the bytes of a row it is about to parse.

#include <cstddef>

namespace rowmender {

// The bytes of the row about to be parsed, [begin, end) of the window, when the sink may
// write the row's text over them, every one: the row is known to end inside the window, and
// once it is parsed nothing reads them again (the walk looks at how the row ends before).
// Empty when the text must go elsewhere.
struct RowBytes {
  std::size_t begin = 0;
  std::size_t end = 0;
  bool empty() const noexcept { return begin == end; }
};

}  // namespace rowmender
