#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>

#include "io/buffered_writer.h"
#include "io/file_io.h"
#include "salvage/output_format.h"
#include "salvage/quarantine_list.h"
#include "salvage/salvage_file.h"
#include "test_support.h"

namespace rowmender::test {
namespace {

namespace fs = std::filesystem;

struct FieldList {
  Fields fields;
  std::size_t size() const { return fields.size(); }
  std::string_view field(std::size_t i) const { return fields[i]; }
};

TEST(OutputFormat, FieldQuoting) {
  const struct {
    std::uint8_t delimiter, quote;
    Fields fields;
    std::string line;
  } cases[] = {
      {',', '"', {"a", "b"}, "a,b\n"},
      {',', '"', {"a,b"}, "\"a,b\"\n"},
      {',', '"', {"say \"hi\""}, "\"say \"\"hi\"\"\"\n"},
      {',', '"', {"a\nb", "\r"}, "\"a\nb\",\"\r\"\n"},
      {',', '"', {" x ", "\t"}, " x ,\t\n"},
      {',', '"', {"", "", ""}, ",,\n"},
      {';', '"', {"a,b", "c;d"}, "a,b;\"c;d\"\n"},
      {',', '\'', {"it's", "say \"x\""}, "'it''s',say \"x\"\n"},
      {'\t', '"', {"a b", "c\td"}, "a b\t\"c\td\"\n"},
      // A delimiter of 0xA6 is the character U+00A6: written as C2 A6, and only that character
      // (not a lone A6 byte inside another character, like the ellipsis E2 80 A6) needs quotes.
      {0xA6,
       '"',
       {"a",
        "b\xC2\xA6"
        "c",
        "\xE2\x80\xA6"},
       "a\xC2\xA6\"b\xC2\xA6"
       "c\"\xC2\xA6\xE2\x80\xA6\n"},
      {',', 0xA6, {"x\xC2\xA6y", "\xE2\x80\xA6"}, "\xC2\xA6x\xC2\xA6\xC2\xA6y\xC2\xA6,\xE2\x80\xA6\n"},
  };
  std::string line;
  for (const auto& c : cases) {
    OutputSyntax(c.delimiter, c.quote).build_line(line, FieldList{c.fields});
    EXPECT_EQ(line, c.line) << ::testing::PrintToString(c.fields);
  }
}

TEST(OutputFormat, LeadingByteOrderMarkQuotedOnlyAtStartOfFile) {
  // Written bare at the start of the file, U+FEFF would be read back as a byte-order mark.
  const OutputSyntax syntax(',', '"');
  const FieldList row{{"\xEF\xBB\xBFid", "\xEF\xBB\xBFx"}};
  std::string line;
  syntax.build_line(line, row, true);
  EXPECT_EQ(line, "\"\xEF\xBB\xBFid\",\xEF\xBB\xBFx\n");
  syntax.build_line(line, row, false);
  EXPECT_EQ(line, "\xEF\xBB\xBFid,\xEF\xBB\xBFx\n");
}

TEST(OutputFormat, QuarantineLines) {
  const struct {
    std::uint64_t line;
    std::string reason;
    std::string raw;
    std::string expected;
  } cases[] = {
      {4, "Row has extra columns (expected 3)", "2,Bob,likes \"tea\",extra",
       "4,\"Row has extra columns (expected 3)\",\"2,Bob,likes \"\"tea\"\",extra\"\n"},
      {3, "Row has too few columns (expected 3)", "", "3,\"Row has too few columns (expected 3)\",\"\"\n"},
      {18446744073709551615u, "r", "a\r\nb;c,d", "18446744073709551615,\"r\",\"a\r\nb;c,d\"\n"},
      // A double quote as delimiter is doubled like any other double quote.
      {1, "r", "a\"b", "1,\"r\",\"a\"\"b\"\n"},
  };
  std::string line;
  for (const auto& c : cases) {
    build_quarantine_line(line, c.line, c.reason, c.raw);
    EXPECT_EQ(line, c.expected);
  }
}

// A line spelled in place over the row's own text, its end past the room in a tail, is the
// line build_line makes; so is the raw content the fields joined.
TEST(OutputFormat, SpellingInPlaceMakesTheSameBytes) {
  const char* pieces[] = {"a", "\"", "'", ",", ";", "\n", "\r", "\xEF\xBB\xBF", "\xC2\xA7", "bc"};
  std::mt19937_64 rng(3);
  for (int iteration = 0; iteration < 20000; ++iteration) {
    const std::uint8_t delimiter = rng() % 4 == 0 ? 0xA7 : ',', quote = rng() % 4 == 0 ? 0xA7 : '"';
    const OutputSyntax syntax(delimiter, quote);
    RowTable rows;
    for (std::size_t f = 1 + rng() % 4; f > 0; --f) {
      for (std::size_t n = rng() % 4; n > 0; --n) rows.text().append(pieces[rng() % std::size(pieces)]);
      rows.end_field();
    }
    rows.end_row();
    const bool starts_file = rng() % 2;
    std::string expected_line, expected_raw;
    syntax.build_line(expected_line, rows[0], starts_file);
    for (std::size_t f = 0; f < rows.field_count(0); ++f)
      expected_raw += (f ? syntax.separator() : "") + std::string(rows.field(0, f));
    ASSERT_EQ(syntax.line_size(rows[0], starts_file), expected_line.size());
    ASSERT_EQ(syntax.raw_content_size(rows[0]), expected_raw.size());
    for (const bool line : {true, false}) {
      const std::string& expected = line ? expected_line : expected_raw;
      const std::size_t text = rows.row_text(0).size(), room = text + rng() % (expected.size() - text + 2);
      RowTable copy;  // the text at the start of a room with space to spare
      std::string region(rows.row_text(0));
      region.resize(expected.size() + 8, '#');
      copy.write_text_into(region.data(), region.size());
      copy.append_row_from(rows, 0);
      TextBuffer tail;
      tail.append("x");
      if (line) {
        syntax.spell_line_in_place(copy[0], region.data(), room, starts_file, tail);
      } else {
        syntax.spell_raw_content_in_place(copy[0], region.data(), room, tail);
      }
      const std::size_t head = std::min(room, expected.size());
      ASSERT_EQ(region.substr(0, head) + std::string(tail.view().substr(1)), expected);
    }
  }
}

class FileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::path(::testing::TempDir()) / "rowmender-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  static void write(const std::string& p, const std::string& bytes) { std::ofstream(p, std::ios::binary) << bytes; }
  static std::string read(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
  }

  fs::path dir_;
};

const std::string kWorkedInput = "\xEF\xBB\xBFid,name,note\n1,Ann\n2,Bob,likes \"tea\",extra\n\n3,\"Cy, Jr\",ok\n";
const std::string kWorkedOutput = "id,name,note\n1,Ann,\n,,\n3,\"Cy, Jr\",ok\n";
const std::string kWorkedQuarantine =
    "line,reason,raw_content\n4,\"Row has extra columns (expected 3)\",\"2,Bob,likes \"\"tea\"\",extra\"\n";

SalvageOptions worked_options(bool merge) {
  SalvageOptions o;
  o.delimiter = ',';
  o.expected_columns = 3;
  o.fill_ragged_rows = true;
  o.merge_overflow = merge;
  return o;
}

class SalvageFileTest : public FileTest {};

TEST_F(SalvageFileTest, WorkedExample) {
  ASSERT_EQ(kWorkedInput.size(), 61u);
  write(path("in.csv"), kWorkedInput);
  auto stats = salvage_file(path("in.csv"), path("out.csv"), path("q.csv"), worked_options(false));
  ASSERT_TRUE(stats) << stats.error().message();
  EXPECT_EQ(stats.value().total_rows, 5u);
  EXPECT_EQ(stats.value().quarantined_rows, 1u);
  EXPECT_EQ(read(path("out.csv")), kWorkedOutput);
  EXPECT_EQ(kWorkedOutput.size(), 37u);
  EXPECT_EQ(read(path("q.csv")), kWorkedQuarantine);
  EXPECT_EQ(kWorkedQuarantine.size(), 91u);

  ASSERT_TRUE(salvage_file(path("in.csv"), path("out.csv"), path("q.csv"), worked_options(true)));
  EXPECT_EQ(read(path("out.csv")), "id,name,note\n1,Ann,\n2,Bob,\"likes \"\"tea\"\",extra\"\n,,\n3,\"Cy, Jr\",ok\n");
  EXPECT_EQ(fs::file_size(path("out.csv")), 65u);
  EXPECT_EQ(read(path("q.csv")), std::string(kQuarantineHeader));
}

// Special files have no size to go by; reading them must grow the buffer without loss.
TEST_F(SalvageFileTest, ReadsWholeFifo) {
  ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
  std::string content;
  for (int i = 0; i < 20000; ++i) content += std::to_string(i) + ",x\n";
  std::thread feeder([&] { write(path("fifo"), content); });
  auto read_back = read_whole_file(path("fifo"));
  feeder.join();
  ASSERT_TRUE(read_back);
  EXPECT_EQ(read_back.value().bytes(), content);
}

// Every failure leaves no quarantine file; the output is either untouched (the failure came
// before it was opened) or complete (only the quarantine file failed).
TEST_F(SalvageFileTest, Failures) {
  write(path("in.csv"), kWorkedInput);
  fs::create_directory(path("sub"));
  fs::create_symlink(path("sub/out.csv"), path("link.csv"));
  const std::string nul = path("x") + std::string(1, '\0') + "y";
  const std::string no_entry = system_error_description(ENOENT) + " (os error 2)";
  const std::string nul_message = "file name contained an unexpected NUL byte";
  const std::string same = "quarantine_path names the same file as output_path";
  const std::string in = path("in.csv"), out = path("sub/out.csv"), q = path("q.csv");
  const struct {
    std::string input, output, quarantine, message;
    int os_error;
    bool output_complete;
  } cases[] = {
      {path("missing.csv"), out, q, no_entry, ENOENT, false},
      {dir_.string(), out, q, system_error_description(EISDIR) + " (os error 21)", EISDIR, false},
      {nul, out, q, nul_message, 0, false},
      {in, nul, q, nul_message, 0, false},
      {in, path("no/out.csv"), q, no_entry, ENOENT, false},
      {in, "/dev/full", q, system_error_description(ENOSPC) + " (os error 28)", ENOSPC, false},
      {in, out, nul, nul_message, 0, true},
      {in, out, "", no_entry, ENOENT, true},
      {in, out, path("no/q.csv"), no_entry, ENOENT, true},
      {in, out, out, same, 0, true},
      {in, out, path("sub/../sub/./out.csv"), same, 0, true},
      {in, out, path("link.csv"), same, 0, true},
      {in, out, "/dev/full", system_error_description(ENOSPC) + " (os error 28)", ENOSPC, true},
  };
  const bool has_full = fs::exists("/dev/full");
  for (const auto& c : cases) {
    if (!has_full && (c.output == "/dev/full" || c.quarantine == "/dev/full")) continue;
    write(out, "keep");
    auto result = salvage_file(c.input, c.output, c.quarantine, worked_options(false));
    ASSERT_FALSE(result) << c.input << " " << c.output << " " << c.quarantine;
    EXPECT_EQ(result.error().message(), c.message) << c.quarantine;
    EXPECT_EQ(result.error().os_error(), c.os_error) << c.quarantine;
    EXPECT_EQ(read(out), c.output_complete ? kWorkedOutput : "keep") << c.quarantine;
    EXPECT_FALSE(fs::exists(q));
  }
  // A hard link is the same file too.
  fs::create_hard_link(out, path("hard.csv"));
  EXPECT_FALSE(salvage_file(in, out, path("hard.csv"), worked_options(false)));
  EXPECT_EQ(read(path("hard.csv")), kWorkedOutput);
}

class BufferedWriterTest : public FileTest {};

TEST_F(BufferedWriterTest, BuffersShortLinesAndPassesLongOnes) {
  const int fd = ::open(path("w").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  std::string expected;
  const auto size_on_disk = [&] { return fs::file_size(path("w")); };
  {
    BufferedWriter writer(fd);
    // (line length, bytes on disk afterwards)
    const std::pair<std::size_t, std::size_t> steps[] = {
        {100, 0},                  // fits
        {8000, 0},                 // 8100 buffered
        {92, 8100},                // exactly the free room does not fit: buffer out, then copied
        {8192, 8100 + 92 + 8192},  // buffer out, then straight to the file
        {8191, 16384},             // copied into the emptied buffer
        {10000, 16384 + 8191 + 10000},
        {5, 34575},
    };
    char fill = 'a';
    for (const auto& [length, on_disk] : steps) {
      const std::string line(length, fill++);
      ASSERT_FALSE(writer.write(line).has_value());
      expected += line;
      EXPECT_EQ(size_on_disk(), on_disk) << "after a line of " << length;
    }
  }  // the destructor writes the last 5 bytes
  ::close(fd);
  EXPECT_EQ(read(path("w")), expected);
}

}  // namespace
}  // namespace rowmender::test
