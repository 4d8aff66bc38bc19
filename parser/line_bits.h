#pragma once
// Where the quotes and the delimiters of one physical line are, as bitmaps: bit i % 64 of
// word i / 64 stands for byte i of the line. One SIMD pass (the line-map kernel of the
// active implementation, simd/implementation.h) finds the line's end and fills the maps;
// questions about the line's structure are then answered with bit operations on whole
// words instead of byte by byte.

#include <cstddef>
#include <cstdint>

#include "simd/implementation.h"
#include "simd/line_map.h"

namespace rowmender {

class LineBits {
 public:
  // Lines of this many bytes or more are not mapped; the maps live on the stack.
  static constexpr std::size_t kMaxBytes = simd::LineMap::kMaxBytes;
  static constexpr std::size_t kMaxWords = simd::LineMap::kMaxWords;

  // Maps the line of `input` that starts at `begin` and ends before the first CR or LF, or
  // at the end of the input. False when the line has kMaxBytes bytes or more.
  bool map(const char* input, std::size_t begin, std::size_t input_size, char delimiter, char quote) noexcept {
    return simd::active().map_line(input, begin, input_size, delimiter, quote, map_);
  }

  std::size_t size() const noexcept { return map_.size; }
  // Words in the maps: size() / 64 + 1 (the last one may map no byte).
  std::size_t words() const noexcept { return map_.words; }
  bool has_non_ascii() const noexcept { return map_.non_ascii; }
  std::uint64_t quotes(std::size_t word) const noexcept { return map_.quotes[word]; }
  std::uint64_t delimiters(std::size_t word) const noexcept { return map_.delimiters[word]; }

 private:
  simd::LineMap map_{};
};

}  // namespace rowmender
