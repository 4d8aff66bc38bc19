#pragma once
// A source that first hands out bytes already taken from another source (to look at the
// start of a stream that cannot be rewound), then the rest of that source.

#include <algorithm>
#include <cstring>
#include <string>

#include "io/byte_stream.h"

namespace rowmender {

class PrefixedSource final : public ByteSource {
 public:
  PrefixedSource(std::string prefix, ByteSource& rest) : prefix_(std::move(prefix)), rest_(rest) {}

  [[nodiscard]] Expected<std::size_t, SalvageError> read(char* buffer, std::size_t capacity) override {
    if (at_ == prefix_.size()) return rest_.read(buffer, capacity);
    const std::size_t n = std::min(capacity, prefix_.size() - at_);
    std::memcpy(buffer, prefix_.data() + at_, n);
    at_ += n;
    return n;
  }
  std::optional<std::uint64_t> size_hint() const override {
    const auto rest = rest_.size_hint();
    return rest ? std::optional<std::uint64_t>(*rest + (prefix_.size() - at_)) : std::nullopt;
  }
  int regular_file_descriptor() const override { return at_ == prefix_.size() ? rest_.regular_file_descriptor() : -1; }
  bool mark_start() override { return at_ == 0 && rest_.mark_start(); }
  bool cut_off() override { return rest_.cut_off(); }
  [[nodiscard]] std::optional<SalvageError> rewind() override {
    at_ = 0;
    return rest_.rewind();
  }

 private:
  std::string prefix_;
  std::size_t at_ = 0;
  ByteSource& rest_;
};

}  // namespace rowmender
