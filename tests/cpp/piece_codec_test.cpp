// A piece walked by a cluster's worker comes back as bytes: a message cut short or damaged
// on the way must be refused, never read as another piece.

#include "salvage/piece_codec.h"

#include <gtest/gtest.h>

#include <string>

#include "salvage/parallel_repair.h"

namespace rowmender::test {
namespace {

struct Walked {
  std::string plan;
  std::string message;
  std::optional<RowScreen> screen;
};

// The second piece of a small damaged table with the cleanup rules on: a screen, changes,
// quarantined rows and output all go into the message.
Walked walk_second_piece(const std::string& input, std::size_t cut, const SalvageOptions& options) {
  Walked walked;
  HeadProfile profile;
  profile.header = {"id", "name", "amount"};
  profile.header_begin = 0;
  walked.plan = encode_walk_plan({TableShape{',', 3}, profile, false, true, std::nullopt});
  walked.screen.emplace(options, profile, 3);
  Piece piece;
  piece.begin = cut;
  piece.end = input.size();
  piece.at_end = true;
  piece.bytes.assign(input.begin() + static_cast<std::ptrdiff_t>(cut), input.end());
  auto message = walk_piece_by_plan(walked.plan, piece, piece.bytes.size(), options);
  EXPECT_TRUE(message.has_value());
  walked.message.resize(message.value().size());
  message.value().copy_to(walked.message.data());
  return walked;
}

TEST(PieceCodec, AMessageCutShortOrDamagedIsRefused) {
  const std::string input = "id,name,amount\n1,a,2\n2,\"b\nc\",3\n\n\nTotal,,5\n4,d,5,6\nx\"y,z\n";
  SalvageOptions options;
  options.cleanup = CleanupRules(CleanupRules::kAll);
  options.fill_ragged_rows = false;
  options.merge_overflow = false;
  const Walked walked = walk_second_piece(input, 15, options);
  Piece piece;
  ASSERT_FALSE(decode_piece(walked.message, piece, walked.screen));
  EXPECT_EQ(piece.begin, 15u);
  EXPECT_EQ(piece.end, input.size());
  EXPECT_FALSE(piece.changes.empty());
  EXPECT_FALSE(piece.quarantined.empty());
  for (std::size_t size = 0; size < walked.message.size(); ++size) {
    EXPECT_TRUE(decode_piece(std::string_view(walked.message).substr(0, size), piece, walked.screen)) << size;
  }
  EXPECT_TRUE(decode_piece(walked.message + "x", piece, walked.screen));
  // Any byte changed: refused, or read as a piece that still holds together (a count or a
  // byte of the output); never a read past the message (the sanitizers watch).
  for (std::size_t at = 0; at < walked.message.size(); ++at) {
    std::string damaged = walked.message;
    damaged[at] = static_cast<char>(damaged[at] ^ 0xA5);
    (void)decode_piece(damaged, piece, walked.screen);
  }
  // Without the screen its walk had, or with a plan from another version.
  EXPECT_TRUE(decode_piece(walked.message, piece, std::nullopt));
  EXPECT_TRUE(decode_walk_plan(walked.plan).has_value());
  std::string older = walked.plan;
  older[older.find("plan-") + 5] = '1';
  EXPECT_FALSE(decode_walk_plan(older).has_value());
}

}  // namespace
}  // namespace rowmender::test
