// The buffered writer: whatever mix of short and long lines goes in comes out of the file
// byte for byte, in order; the quarantine lines keep their fixed shape.

#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "fuzz_input.h"
#include "io/buffered_writer.h"
#include "salvage/output_format.h"
#include "salvage/quarantine_list.h"

using namespace rowmender;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzInput in(data, size);
  const int fd = memfd_create("writer", 0);
  if (fd < 0) return 0;
  std::string expected;
  {
    BufferedWriter writer(fd);
    std::string_view rest = in.rest();
    // Each setting byte picks the next line's length; lengths up to 20000 cross the buffer size.
    while (!rest.empty()) {
      const std::size_t length = (static_cast<std::uint8_t>(rest.front()) * 79u) % 20000u;
      rest.remove_prefix(1);
      const std::string line(length, static_cast<char>('a' + length % 26));
      expected += line;
      FUZZ_CHECK(!writer.write(line));
    }
    FUZZ_CHECK(!writer.flush());
  }
  std::string written(expected.size() + 1, '\0');
  const ssize_t got = pread(fd, written.data(), written.size(), 0);
  close(fd);
  FUZZ_CHECK(got == static_cast<ssize_t>(expected.size()));
  written.resize(static_cast<std::size_t>(got));
  FUZZ_CHECK(written == expected);

  // A quarantine line is always `number,"...","..."` and LF, every inner quote doubled: it
  // reads back as the reason and the raw content.
  const std::string_view rest = in.rest();
  const std::string_view reason = rest.substr(0, rest.size() / 2), raw = rest.substr(rest.size() / 2);
  std::string line;
  build_quarantine_line(line, 42, reason, raw);
  FUZZ_CHECK(line.rfind("42,\"", 0) == 0);
  std::size_t at = 4;
  const auto read_quoted = [&](std::string& out) {
    while (true) {
      FUZZ_CHECK(at < line.size());
      if (line[at] == '"') {
        if (at + 1 < line.size() && line[at + 1] == '"') {
          out.push_back('"');
          at += 2;
          continue;
        }
        ++at;
        return;
      }
      out.push_back(line[at++]);
    }
  };
  std::string reason_back, raw_back;
  read_quoted(reason_back);
  FUZZ_CHECK(line.compare(at, 2, ",\"") == 0);
  at += 2;
  read_quoted(raw_back);
  FUZZ_CHECK(at + 1 == line.size() && line[at] == '\n');
  FUZZ_CHECK(reason_back == reason && raw_back == raw);
  return 0;
}
