#include "error/salvage_error.h"

#include <cerrno>
#include <cstring>

namespace rowmender {
namespace {

// strerror_r comes in two flavours; overloads pick the right one at compile time.
[[maybe_unused]] const char* description_from(int result, const char* buffer) { return result == 0 ? buffer : nullptr; }
[[maybe_unused]] const char* description_from(const char* result, const char*) { return result; }

}  // namespace

std::string system_error_description(int error_number) {
  char buffer[256] = {};
  const char* text = description_from(strerror_r(error_number, buffer, sizeof buffer), buffer);
  if (text == nullptr || *text == '\0') return "Unknown error " + std::to_string(error_number);
  return text;
}

SalvageError SalvageError::from_errno(int error_number) {
  return SalvageError(error_number,
                      system_error_description(error_number) + " (os error " + std::to_string(error_number) + ")");
}

SalvageError SalvageError::with_text(std::string text) { return SalvageError(0, std::move(text)); }

SalvageError SalvageError::interrupted() {
  // Carries EINTR too, so that a caller that does not look for the interruption still
  // reports something true.
  SalvageError error = from_errno(EINTR);
  error.interrupted_ = true;
  return error;
}

}  // namespace rowmender
