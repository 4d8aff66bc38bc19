#pragma once
// Finding the next byte that matters. The parser's rules look at only a handful of byte
// values; everything between them is copied in bulk. The scan is the kernel of the active
// implementation (simd/implementation.h): 8, 16 or 32 bytes at a time.

#include <cstddef>

#include "simd/implementation.h"

namespace rowmender {

// Scans of fewer bytes than this are done here: most fields are that short, and for them the
// call to a kernel would cost more than the scan.
inline constexpr std::size_t kShortScan = 16;

// A long scan looks at this many bytes here first: where the bytes that matter come close
// together (a line of stray quotes), the next one is found without a call.
inline constexpr std::size_t kFirstLook = 4;

// Index of the first byte in [from, end) equal to a, b, c or d; `end` when there is none.
inline std::size_t find_first_of4(const char* data, std::size_t from, std::size_t end, char a, char b, char c,
                                  char d) noexcept {
  if (end - from >= kShortScan) {
    for (const std::size_t first = from + kFirstLook; from < first; ++from) {
      const char x = data[from];
      if (x == a || x == b || x == c || x == d) return from;
    }
    return simd::active().find_first_of4(data, from, end, a, b, c, d);
  }
  for (; from < end; ++from) {
    const char x = data[from];
    if (x == a || x == b || x == c || x == d) return from;
  }
  return end;
}

inline std::size_t find_first_of3(const char* data, std::size_t from, std::size_t end, char a, char b,
                                  char c) noexcept {
  return find_first_of4(data, from, end, a, b, c, c);
}

inline std::size_t find_first_of2(const char* data, std::size_t from, std::size_t end, char a, char b) noexcept {
  return find_first_of3(data, from, end, a, b, b);
}

inline std::size_t find_byte(const char* data, std::size_t from, std::size_t end, char a) noexcept {
  return find_first_of3(data, from, end, a, a, a);
}

}  // namespace rowmender
