#include "io/head_replay.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace rowmender {
namespace {

// An unnamed file in $TMPDIR or /tmp, gone with its descriptor; -1 with errno set.
int open_unnamed_file() {
  const char* folder = std::getenv("TMPDIR");
  if (folder == nullptr || *folder == '\0') folder = "/tmp";
#ifdef O_TMPFILE
  const int fd = ::open(folder, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) return fd;
#endif
  std::string path = std::string(folder) + "/.rowmender-head-XXXXXX";
  const int named = ::mkostemp(path.data(), O_CLOEXEC);
  if (named >= 0) ::unlink(path.c_str());
  return named;
}

}  // namespace

HeadReplay::~HeadReplay() { close_file(); }

void HeadReplay::close_file() noexcept {
  if (file_ >= 0) ::close(file_);
  file_ = -1;
}

std::optional<SalvageError> HeadReplay::let_go(std::string_view bytes) {
  if (rewinds_ || bytes.empty()) return std::nullopt;
  if (file_ < 0 && !file_failed_) {
    file_ = open_unnamed_file();
    file_failed_ = file_ < 0;
  }
  while (!file_failed_ && !bytes.empty()) {
    const ssize_t n = ::write(file_, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    // A full or unwritable folder costs memory, never the repair.
    if (n <= 0) {
      file_failed_ = true;
      break;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  in_memory_.append(bytes);  // throws std::bad_alloc
  return std::nullopt;
}

std::optional<SalvageError> HeadReplay::start_over(std::string_view held) {
  if (rewinds_) return source_->rewind();
  if (auto error = let_go(held)) return error;
  if (file_ >= 0 && ::lseek(file_, 0, SEEK_SET) < 0) {
    const int error_number = errno;
    return SalvageError::with_text("cannot read the input's first rows again from a temporary file: " +
                                   system_error_description(error_number));
  }
  replaying_ = true;
  return std::nullopt;
}

Expected<std::size_t, SalvageError> HeadReplay::read(char* buffer, std::size_t capacity) {
  if (!started_) {
    started_ = true;
    rewinds_ = source_->mark_start();
  }
  while (replaying_ && file_ >= 0) {
    const ssize_t n = ::read(file_, buffer, capacity);
    if (n > 0) return static_cast<std::size_t>(n);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error_number = errno;
      return SalvageError::with_text("cannot read the input's first rows again from a temporary file: " +
                                     system_error_description(error_number));
    }
    close_file();
  }
  if (replaying_) {
    const std::size_t n = std::min(capacity, in_memory_.size() - replayed_from_memory_);
    if (n != 0) {
      std::memcpy(buffer, in_memory_.data() + replayed_from_memory_, n);
      replayed_from_memory_ += n;
      return n;
    }
    replaying_ = false;
    std::string().swap(in_memory_);
  }
  return source_->read(buffer, capacity);
}

}  // namespace rowmender
