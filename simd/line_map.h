#pragma once
// Where the quotes and the delimiters of one physical line are, as bitmaps: bit i % 64 of
// word i / 64 stands for byte i of the line. The line-map kernel fills it in one pass.

#include <cstddef>
#include <cstdint>

namespace rowmender::simd {

struct LineMap {
  // Lines of this many bytes or more are not mapped, so that the maps fit on the stack.
  static constexpr std::size_t kMaxBytes = 4096;
  static constexpr std::size_t kMaxWords = kMaxBytes / 64;

  std::size_t size;   // bytes before the line's CR or LF, or before the end of the input
  std::size_t words;  // words of the maps in use: size / 64 + 1 (the last may map no byte)
  bool non_ascii;     // whether a byte of the line is 0x80 or above
  std::uint64_t quotes[kMaxWords];
  std::uint64_t delimiters[kMaxWords];
};

}  // namespace rowmender::simd
