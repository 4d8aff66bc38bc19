#pragma once
// The engine's error record. Damaged data never fails; only file access does.
// Marked [[nodiscard]], as are the functions that return one in an optional: a dropped error
// is a failure reported as success.

#include <string>

namespace rowmender {

class [[nodiscard]] SalvageError {
 public:
  // An error the operating system reported, by its error number.
  static SalvageError from_errno(int error_number);
  // A failure with a fixed text and no error number (short writes, bad paths).
  static SalvageError with_text(std::string text);
  // A system call was interrupted by a signal and the caller's InterruptCheck said to give
  // up. The caller that gave the check knows why (an interpreter's handler raised, say), so
  // this error is not reported as a file error of its own.
  static SalvageError interrupted();

  bool is_interrupted() const noexcept { return interrupted_; }
  // The error number, or 0 when the operating system reported none.
  int os_error() const noexcept { return os_error_; }
  // "{system description} (os error {number})", or the fixed text.
  const std::string& message() const noexcept { return message_; }

 private:
  SalvageError(int os_error, std::string message) : os_error_(os_error), message_(std::move(message)) {}

  int os_error_;
  std::string message_;
  bool interrupted_ = false;
};

inline constexpr const char* kNulInPathMessage = "file name contained an unexpected NUL byte";

// The platform's description of an error number.
std::string system_error_description(int error_number);

}  // namespace rowmender
