#pragma once
// A value or an error, for engine operations whose failures are values.

#include <utility>
#include <variant>

namespace rowmender {

// Marked [[nodiscard]]: a failure that is dropped unread is a failure reported as success.
template <typename T, typename E>
class [[nodiscard]] Expected {
 public:
  Expected(T value) : content_(std::in_place_index<0>, std::move(value)) {}
  Expected(E error) : content_(std::in_place_index<1>, std::move(error)) {}

  bool has_value() const noexcept { return content_.index() == 0; }
  explicit operator bool() const noexcept { return has_value(); }

  T& value() & { return std::get<0>(content_); }
  T&& value() && { return std::get<0>(std::move(content_)); }
  E& error() & { return std::get<1>(content_); }
  E&& error() && { return std::get<1>(std::move(content_)); }

 private:
  std::variant<T, E> content_;
};

}  // namespace rowmender
