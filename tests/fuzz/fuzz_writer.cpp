// The buffered writer: whatever mix of short and long lines goes in comes out of the file
// byte for byte, in order; the quarantine lines keep their fixed shape.

#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "fuzz_input.h"
#include "io/buffered_writer.h"
#include "salvage/output_format.h"

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

  // A quarantine line is always `number,"...","..."` and LF, with every inner quote doubled.
  QuarantineRecord record{42, std::string(in.rest().substr(0, in.rest().size() / 2)), Row()};
  std::string line;
  build_quarantine_line(line, record, ",");
  FUZZ_CHECK(line.rfind("42,\"", 0) == 0);
  FUZZ_CHECK(line.size() >= 8 && line.substr(line.size() - 4) == ",\"\"\n");
  return 0;
}
