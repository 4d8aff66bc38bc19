#pragma once
// Where the quotes and the delimiters of one physical line are, as bitmaps: bit i % 64 of
// word i / 64 stands for byte i of the line. One SIMD pass finds the line's end and fills
// the maps; questions about the line's structure are then answered with bit operations on
// whole words instead of byte by byte.

#include <cstddef>
#include <cstdint>

namespace rowmender {

class LineBits {
 public:
  // Lines of this many bytes or more are not mapped; the maps live on the stack.
  static constexpr std::size_t kMaxBytes = 4096;
  static constexpr std::size_t kMaxWords = kMaxBytes / 64;

  // Maps the line of `input` that starts at `begin` and ends before the first CR or LF, or
  // at the end of the input. False when the line has kMaxBytes bytes or more. Bytes are
  // classified 32 at a time where the processor has AVX2 (found at run time), else 16.
  bool map(const char* input, std::size_t begin, std::size_t input_size, char delimiter, char quote) noexcept;

  std::size_t size() const noexcept { return size_; }
  // Words in the maps: size() / 64 + 1 (the last one may map no byte).
  std::size_t words() const noexcept { return words_; }
  bool has_non_ascii() const noexcept { return non_ascii_; }
  std::uint64_t quotes(std::size_t word) const noexcept { return quotes_[word]; }
  std::uint64_t delimiters(std::size_t word) const noexcept { return delimiters_[word]; }

  // What one 64-byte block holds, a bit per byte.
  struct Block {
    std::uint64_t quotes, delimiters, breaks, high;
  };

  // map() with bytes classified 16 or 32 at a time, whatever the processor: each on its own,
  // for tests. map_32 needs AVX2.
  bool map_16(const char* input, std::size_t begin, std::size_t input_size, char delimiter, char quote) noexcept;
  bool map_32(const char* input, std::size_t begin, std::size_t input_size, char delimiter, char quote) noexcept;
  static bool can_map_32() noexcept;

 private:
  template <typename Classify>
  bool map_blocks(const char* input, std::size_t begin, std::size_t input_size, char delimiter, char quote,
                  Classify classify) noexcept;

  std::size_t size_ = 0;
  std::size_t words_ = 0;
  bool non_ascii_ = false;
  std::uint64_t quotes_[kMaxWords];
  std::uint64_t delimiters_[kMaxWords];
};

}  // namespace rowmender
