// The ceiling for any repair of a file on disk: read the whole file, make one memchr pass
// over it counting line feeds, and write it unchanged to another path. No parsing, no
// decoding, no per-row work. bench_salvage.py runs it next to salvage_file so the repair's
// speed can be read against what the disk and memory allow on the same machine.
//
// Usage: rowmender_floor INPUT OUTPUT
// Prints "<seconds> <line feeds> <bytes> <peak RSS bytes> <read s> <scan s> <write s>" on
// one line; the total time covers open, read, scan, write and close, not the process start.
// The peak RSS is this process's own high-water mark (0 where /proc is missing).

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

namespace {

bool fail(const char* what, const char* path) {
  std::fprintf(stderr, "rowmender_floor: %s %s: %s\n", what, path, std::strerror(errno));
  return false;
}

// Reads the whole file into `buffer`, growing it as needed; sized from fstat when possible
// so a regular file is read in one allocation.
bool read_file(const char* path, std::unique_ptr<char[]>& buffer, std::size_t& size) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail("cannot open", path);
  std::size_t capacity = 1 << 20;
  const off_t end = ::lseek(fd, 0, SEEK_END);
  if (end > 0) capacity = static_cast<std::size_t>(end) + 1;
  ::lseek(fd, 0, SEEK_SET);
  buffer.reset(new char[capacity]);
  size = 0;
  for (;;) {
    if (size == capacity) {
      std::unique_ptr<char[]> bigger(new char[capacity * 2]);
      std::memcpy(bigger.get(), buffer.get(), size);
      buffer = std::move(bigger);
      capacity *= 2;
    }
    const ssize_t got = ::read(fd, buffer.get() + size, capacity - size);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      ::close(fd);
      return fail("cannot read", path);
    }
    if (got == 0) break;
    size += static_cast<std::size_t>(got);
  }
  ::close(fd);
  return true;
}

bool write_file(const char* path, const char* data, std::size_t size) {
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return fail("cannot create", path);
  while (size > 0) {
    const ssize_t put = ::write(fd, data, size);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      ::close(fd);
      return fail("cannot write", path);
    }
    data += put;
    size -= static_cast<std::size_t>(put);
  }
  return ::close(fd) == 0 || fail("cannot close", path);
}

std::size_t count_line_feeds(const char* data, std::size_t size) {
  std::size_t count = 0;
  const char* end = data + size;
  for (const char* p = data; p < end; ++count, ++p) {
    p = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
    if (p == nullptr) break;
  }
  return count;
}

// VmHWM of /proc/self/status: unlike getrusage, it starts afresh at exec, so it does not
// include the memory of the process that started this one.
std::size_t peak_rss_bytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("VmHWM:")) return std::stoull(line.substr(6)) * 1024;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s INPUT OUTPUT\n", argv[0]);
    return 2;
  }
  using Clock = std::chrono::steady_clock;
  const auto seconds = [](Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
  };
  const auto start = Clock::now();
  std::unique_ptr<char[]> buffer;
  std::size_t size = 0;
  if (!read_file(argv[1], buffer, size)) return 1;
  const auto read_done = Clock::now();
  const std::size_t line_feeds = count_line_feeds(buffer.get(), size);
  const auto scan_done = Clock::now();
  if (!write_file(argv[2], buffer.get(), size)) return 1;
  const auto end = Clock::now();
  std::printf("%.6f %zu %zu %zu %.6f %.6f %.6f\n", seconds(start, end), line_feeds, size, peak_rss_bytes(),
              seconds(start, read_done), seconds(read_done, scan_done), seconds(scan_done, end));
  return 0;
}
