#pragma once
// The kernels for one kind of processor, as a table of functions ("an implementation"), and
// the one the engine uses. Each kernel is written once (simd/*_kernel.h) and compiled once
// per target (simd/scalar, simd/neon, simd/sse, simd/avx2); the engine picks the best table
// the processor runs the first time it needs one, so that a call costs one indirect call and
// never asks the processor again.
//
// ROWMENDER_KERNELS=scalar|neon|sse|avx2 in the environment picks a table instead, for tests
// and benchmarks. A name that is unknown, or whose instructions this processor lacks, is
// ignored: the best table is used, as if the variable were not set.

#include <cstddef>
#include <span>
#include <string_view>

#include "simd/line_map.h"

namespace rowmender::simd {

struct Implementation {
  const char* name;  // as ROWMENDER_KERNELS spells it
  // Fills `map` for the line of `input` that starts at `begin` and ends before the first CR
  // or LF, or at the end of the input. False when the line has LineMap::kMaxBytes or more.
  bool (*map_line)(const char* input, std::size_t begin, std::size_t input_size, char delimiter, char quote,
                   LineMap& map) noexcept;
  // True when the bytes are well-formed UTF-8 throughout (no truncated sequence at the end).
  bool (*is_valid_utf8)(const char* data, std::size_t size) noexcept;
  // Index of the first byte in [from, end) equal to a, b, c or d; `end` when there is none.
  std::size_t (*find_first_of4)(const char* data, std::size_t from, std::size_t end, char a, char b, char c,
                                char d) noexcept;
};

// The implementations this processor runs, best first; scalar, the last, runs anywhere.
std::span<const Implementation* const> implementations() noexcept;

// The implementation named `requested` when this processor runs it; otherwise (no name, an
// unknown one, or one the processor lacks) the best.
const Implementation& choose_implementation(std::string_view requested) noexcept;

// choose_implementation for the name ROWMENDER_KERNELS holds, if any.
const Implementation& choose_from_environment() noexcept;

// The implementation the engine uses, chosen once, on first use, from the environment.
inline const Implementation& active() noexcept {
  static const Implementation& chosen = choose_from_environment();
  return chosen;
}

}  // namespace rowmender::simd
