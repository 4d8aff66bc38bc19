#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "salvage/buffered_writer.h"
#include "salvage/file_io.h"
#include "salvage/output_format.h"
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

Row make_row(const Fields& fields) {
  std::string text;
  std::vector<std::uint64_t> ends;
  for (const std::string& f : fields) ends.push_back((text += f).size());
  return Row(std::move(text), std::move(ends));
}

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
      {0xA6, '"', {"a", "b\xC2\xA6" "c", "\xE2\x80\xA6"}, "a\xC2\xA6\"b\xC2\xA6" "c\"\xC2\xA6\xE2\x80\xA6\n"},
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
    QuarantineRecord record;
    std::string separator;
    std::string line;
  } cases[] = {
      {{4, "Row has extra columns (expected 3)", make_row({"2", "Bob", "likes \"tea\"", "extra"})}, ",",
       "4,\"Row has extra columns (expected 3)\",\"2,Bob,likes \"\"tea\"\",extra\"\n"},
      {{3, "Row has too few columns (expected 3)", make_row({""})}, ",",
       "3,\"Row has too few columns (expected 3)\",\"\"\n"},
      {{18446744073709551615u, "r", make_row({"a\r\nb", "c,d"})}, ";", "18446744073709551615,\"r\",\"a\r\nb;c,d\"\n"},
      {{1, "r", make_row({"a", "b"})}, "\xC2\xA6", "1,\"r\",\"a\xC2\xA6" "b\"\n"},
      // A double quote as delimiter is doubled like any other double quote.
      {{1, "r", make_row({"a", "b"})}, "\"", "1,\"r\",\"a\"\"b\"\n"},
  };
  std::string line;
  for (const auto& c : cases) {
    build_quarantine_line(line, c.record, c.separator);
    EXPECT_EQ(line, c.line);
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

  static void write(const std::string& p, const std::string& bytes) {
    std::ofstream(p, std::ios::binary) << bytes;
  }
  static std::string read(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
  }

  fs::path dir_;
};

const std::string kWorkedInput =
    "\xEF\xBB\xBFid,name,note\n1,Ann\n2,Bob,likes \"tea\",extra\n\n3,\"Cy, Jr\",ok\n";
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

TEST_F(SalvageFileTest, EmptyInputGivesEmptyOutputAndHeaderOnlyQuarantine) {
  write(path("in.csv"), "");
  write(path("out.csv"), "old content");
  auto stats = salvage_file(path("in.csv"), path("out.csv"), path("q.csv"), SalvageOptions{});
  ASSERT_TRUE(stats);
  EXPECT_EQ(stats.value().inferred_columns, 0u);
  EXPECT_EQ(read(path("out.csv")), "");
  EXPECT_EQ(read(path("q.csv")), "line,reason,raw_content\n");
}

TEST_F(SalvageFileTest, InputMayBeTheOutput) {
  write(path("data.csv"), kWorkedInput);
  ASSERT_TRUE(salvage_file(path("data.csv"), path("data.csv"), std::nullopt, worked_options(false)));
  EXPECT_EQ(read(path("data.csv")), kWorkedOutput);
}

TEST_F(SalvageFileTest, MissingInputLeavesOutputUntouched) {
  write(path("out.csv"), "keep");
  auto result = salvage_file(path("missing.csv"), path("out.csv"), path("q.csv"), SalvageOptions{});
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().os_error(), 2);
  EXPECT_TRUE(result.error().message().ends_with(" (os error 2)")) << result.error().message();
  EXPECT_GT(result.error().message().size(), std::string(" (os error 2)").size());
  EXPECT_EQ(read(path("out.csv")), "keep");
  EXPECT_FALSE(fs::exists(path("q.csv")));
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

  auto result = salvage_file(dir_.string(), path("out.csv"), std::nullopt, SalvageOptions{});
  ASSERT_FALSE(result);  // a directory cannot be read
  EXPECT_EQ(result.error().message(), system_error_description(EISDIR) + " (os error 21)");
  EXPECT_FALSE(fs::exists(path("out.csv")));
}

TEST_F(SalvageFileTest, NulInAnyPathFails) {
  write(path("in.csv"), kWorkedInput);
  const std::string nul = path("x") + std::string(1, '\0') + "y";
  for (int which = 0; which < 3; ++which) {
    auto result = salvage_file(which == 0 ? nul : path("in.csv"), which == 1 ? nul : path("out.csv"),
                               which == 2 ? nul : path("q.csv"), worked_options(false));
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message(), "file name contained an unexpected NUL byte");
    EXPECT_EQ(result.error().os_error(), 0);
  }
  // Only the quarantine path was bad in the last call: the output is complete.
  EXPECT_EQ(read(path("out.csv")), kWorkedOutput);
  EXPECT_FALSE(fs::exists(path("q.csv")));
}

TEST_F(SalvageFileTest, MissingOutputDirectoryCreatesNothing) {
  write(path("in.csv"), kWorkedInput);
  auto result = salvage_file(path("in.csv"), path("no/out.csv"), path("q.csv"), worked_options(false));
  ASSERT_FALSE(result);
  EXPECT_TRUE(result.error().message().ends_with(" (os error 2)"));
  EXPECT_FALSE(fs::exists(path("q.csv")));
}

TEST_F(SalvageFileTest, BadQuarantinePathFailsAfterCompleteOutput) {
  write(path("in.csv"), kWorkedInput);
  for (const std::string& quarantine : {std::string(), path("no/q.csv")}) {
    fs::remove(path("out.csv"));
    auto result = salvage_file(path("in.csv"), path("out.csv"), quarantine, worked_options(false));
    ASSERT_FALSE(result);
    EXPECT_TRUE(result.error().message().ends_with(" (os error 2)")) << result.error().message();
    EXPECT_EQ(read(path("out.csv")), kWorkedOutput);
  }
}

TEST_F(SalvageFileTest, QuarantineNamingTheOutputFails) {
  write(path("in.csv"), kWorkedInput);
  fs::create_directory(path("sub"));
  fs::create_symlink(path("sub/out.csv"), path("link.csv"));
  for (const std::string& quarantine : {path("sub/out.csv"), path("sub/../sub/./out.csv"), path("link.csv")}) {
    fs::remove(path("sub/out.csv"));
    auto result = salvage_file(path("in.csv"), path("sub/out.csv"), quarantine, worked_options(false));
    ASSERT_FALSE(result) << quarantine;
    EXPECT_EQ(result.error().message(), "quarantine_path names the same file as output_path");
    EXPECT_EQ(read(path("sub/out.csv")), kWorkedOutput);
  }
  // A hard link is the same file too.
  ASSERT_TRUE(salvage_file(path("in.csv"), path("sub/out.csv"), std::nullopt, worked_options(false)));
  fs::create_hard_link(path("sub/out.csv"), path("hard.csv"));
  EXPECT_FALSE(salvage_file(path("in.csv"), path("sub/out.csv"), path("hard.csv"), worked_options(false)));
  EXPECT_EQ(read(path("hard.csv")), kWorkedOutput);
}

TEST_F(SalvageFileTest, FullDeviceReportsError) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  write(path("in.csv"), kWorkedInput);
  auto result = salvage_file(path("in.csv"), "/dev/full", path("q.csv"), worked_options(false));
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().os_error(), ENOSPC);
  EXPECT_TRUE(result.error().message().ends_with(" (os error 28)"));
  EXPECT_FALSE(fs::exists(path("q.csv")));

  result = salvage_file(path("in.csv"), path("out.csv"), "/dev/full", worked_options(false));
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().os_error(), ENOSPC);
  EXPECT_EQ(read(path("out.csv")), kWorkedOutput);
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
        {100, 0},                   // fits
        {8000, 0},                  // 8100 buffered
        {92, 8100},                 // exactly the free room does not fit: buffer out, then copied
        {8192, 8100 + 92 + 8192},   // buffer out, then straight to the file
        {8191, 16384},              // copied into the emptied buffer
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
