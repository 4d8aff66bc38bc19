// The ceiling for any repair of a file on disk: read the whole file, make one memchr pass
// over it counting line feeds, and write it unchanged to another path. No parsing, no
// decoding, no per-row work. bench_salvage.py runs it next to salvage_file so the repair's
// speed can be read against what the disk and memory allow on the same machine.
//
// Usage: rowmender_floor [--huge-pages | --stream] INPUT OUTPUT
// With --huge-pages the file is read into memory mapped in transparent huge pages, as
// rowmender does for large buffers; without it, into a plain heap array, as most programs
// would. On a virtual machine, where a first write to each 4 KiB page is dear, the two can
// differ severalfold. With --stream the file is read, scanned and written 1 MiB at a time
// through one block: the ceiling for a repair that streams.
// Prints "<seconds> <line feeds> <bytes> <peak RSS bytes> <read s> <scan s> <write s>" on
// one line; the total time covers open, read, scan, write and close, not the process start.
// The peak RSS is this process's own high-water mark (0 where /proc is missing).

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <new>
#include <string>

namespace {

bool fail(const char* what, const char* path) {
  std::fprintf(stderr, "rowmender_floor: %s %s: %s\n", what, path, std::strerror(errno));
  return false;
}

// Memory not zero-filled, from the heap or mapped in huge pages.
class Buffer {
 public:
  Buffer(std::size_t capacity, bool huge_pages) : capacity_(capacity), huge_pages_(huge_pages) {
    if (!huge_pages) {
      heap_ = std::make_unique_for_overwrite<char[]>(capacity);
      data_ = heap_.get();
      return;
    }
    constexpr std::size_t kHuge = std::size_t{2} << 20;
    mapped_length_ = capacity + kHuge;
    mapped_ = ::mmap(nullptr, mapped_length_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped_ == MAP_FAILED) throw std::bad_alloc();
    data_ = reinterpret_cast<char*>((reinterpret_cast<std::uintptr_t>(mapped_) + kHuge - 1) & ~(kHuge - 1));
    ::madvise(data_, capacity, MADV_HUGEPAGE);
  }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer() {
    if (huge_pages_) ::munmap(mapped_, mapped_length_);
  }
  char* data() const { return data_; }
  std::size_t capacity() const { return capacity_; }
  bool huge_pages() const { return huge_pages_; }

 private:
  std::size_t capacity_;
  bool huge_pages_;
  std::unique_ptr<char[]> heap_;
  void* mapped_ = nullptr;
  std::size_t mapped_length_ = 0;
  char* data_ = nullptr;
};

// Reads the whole file into `buffer`, growing it as needed; sized from fstat when possible
// so a regular file is read in one allocation.
bool read_file(const char* path, std::unique_ptr<Buffer>& buffer, std::size_t& size, bool huge_pages) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail("cannot open", path);
  std::size_t capacity = 1 << 20;
  const off_t end = ::lseek(fd, 0, SEEK_END);
  if (end > 0) capacity = static_cast<std::size_t>(end) + 1;
  ::lseek(fd, 0, SEEK_SET);
  buffer = std::make_unique<Buffer>(capacity, huge_pages);
  size = 0;
  for (;;) {
    if (size == buffer->capacity()) {
      auto bigger = std::make_unique<Buffer>(size * 2, huge_pages);
      std::memcpy(bigger->data(), buffer->data(), size);
      buffer = std::move(bigger);
    }
    const ssize_t got = ::read(fd, buffer->data() + size, buffer->capacity() - size);
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

// Read a block, count its line feeds, write it; until the input ends.
bool stream_file(const char* input, const char* output, std::size_t& line_feeds, std::size_t& size) {
  constexpr std::size_t kBlock = std::size_t{1} << 20;
  const auto block = std::make_unique_for_overwrite<char[]>(kBlock);
  const int in = ::open(input, O_RDONLY | O_CLOEXEC);
  if (in < 0) return fail("cannot open", input);
  const int out = ::open(output, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (out < 0) {
    ::close(in);
    return fail("cannot create", output);
  }
  bool ok = true;
  for (;;) {
    const ssize_t got = ::read(in, block.get(), kBlock);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      ok = fail("cannot read", input);
      break;
    }
    if (got == 0) break;
    line_feeds += count_line_feeds(block.get(), static_cast<std::size_t>(got));
    size += static_cast<std::size_t>(got);
    const char* data = block.get();
    for (std::size_t left = static_cast<std::size_t>(got); left > 0;) {
      const ssize_t put = ::write(out, data, left);
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) {
        ok = fail("cannot write", output);
        break;
      }
      data += put;
      left -= static_cast<std::size_t>(put);
    }
    if (!ok) break;
  }
  ::close(in);
  return (::close(out) == 0 || fail("cannot close", output)) && ok;
}

}  // namespace

int main(int argc, char** argv) {
  const bool huge_pages = argc == 4 && std::strcmp(argv[1], "--huge-pages") == 0;
  const bool streaming = argc == 4 && std::strcmp(argv[1], "--stream") == 0;
  if (argc != 3 && !huge_pages && !streaming) {
    std::fprintf(stderr, "usage: %s [--huge-pages | --stream] INPUT OUTPUT\n", argv[0]);
    return 2;
  }
  const char* input = argv[argc - 2];
  const char* output = argv[argc - 1];
  using Clock = std::chrono::steady_clock;
  const auto seconds = [](Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
  };
  const auto start = Clock::now();
  if (streaming) {
    std::size_t line_feeds = 0, size = 0;
    if (!stream_file(input, output, line_feeds, size)) return 1;
    const double total = seconds(start, Clock::now());
    std::printf("%.6f %zu %zu %zu %.6f %.6f %.6f\n", total, line_feeds, size, peak_rss_bytes(), 0.0, 0.0, 0.0);
    return 0;
  }
  std::unique_ptr<Buffer> buffer;
  std::size_t size = 0;
  if (!read_file(input, buffer, size, huge_pages)) return 1;
  const auto read_done = Clock::now();
  const std::size_t line_feeds = count_line_feeds(buffer->data(), size);
  const auto scan_done = Clock::now();
  if (!write_file(output, buffer->data(), size)) return 1;
  const auto end = Clock::now();
  std::printf("%.6f %zu %zu %zu %.6f %.6f %.6f\n", seconds(start, end), line_feeds, size, peak_rss_bytes(),
              seconds(start, read_done), seconds(read_done, scan_done), seconds(scan_done, end));
  return 0;
}
