#pragma once
// Splits a fuzzer's bytes into settings and content.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "salvage/records.h"

namespace rowmender::fuzz {

class FuzzInput {
 public:
  FuzzInput(const std::uint8_t* data, std::size_t size) : bytes_(reinterpret_cast<const char*>(data), size) {}

  // The next setting byte, or 0 once the input runs out.
  std::uint8_t take_byte() {
    if (bytes_.empty()) return 0;
    const auto b = static_cast<std::uint8_t>(bytes_.front());
    bytes_.remove_prefix(1);
    return b;
  }
  std::string_view rest() const { return bytes_; }

  // Salvage options from the next four setting bytes: delimiter, quote, flags, width.
  SalvageOptions take_options() {
    const std::uint8_t delimiter = take_byte(), quote = take_byte(), flags = take_byte(), width = take_byte();
    SalvageOptions options;
    if (flags & 1) options.delimiter = delimiter;
    options.quote_char = quote;
    options.fill_ragged_rows = flags & 2;
    options.merge_overflow = flags & 4;
    options.repair_quotes = flags & 8;
    if (flags & 16) options.expected_columns = width % 40;
    // The quoting styles: quotes as text, a backslash escape, and the rules that tell them.
    options.dialect.quoting = (flags & 32) == 0;
    if ((flags & 64) != 0 && delimiter != '\\' && quote != '\\') options.dialect.escape = '\\';
    // Spaces skipped at field starts, on a fifth of the width byte's values.
    options.dialect.skip_initial_space = width >= 205;
    if ((flags & 128) != 0) {
      options.cleanup = CleanupRules(static_cast<std::uint16_t>(Cleanup::quoting) |
                                     static_cast<std::uint16_t>(Cleanup::one_line_rows));
    }
    return options;
  }

 private:
  std::string_view bytes_;
};

// Aborts with a message: the fuzzer records the input that broke an invariant.
#define FUZZ_CHECK(condition)                                                                 \
  do {                                                                                        \
    if (!(condition)) {                                                                       \
      std::fprintf(stderr, "invariant failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
      std::abort();                                                                           \
    }                                                                                         \
  } while (false)

}  // namespace rowmender::fuzz
