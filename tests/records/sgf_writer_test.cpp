// What the SGF writer writes, the program's reader reads back as stored:
// every game of the test data, and random records with passes and comments
// holding the characters SGF escapes.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>

#include "db/common/code_page.h"
#include "records/sgf_reader.h"
#include "records/sgf_writer.h"

namespace kirobaku {
namespace {

// The entries the reader can give back: the black setup stones and the moves.
std::vector<MoveEntry> Readable(const Record& record) {
  std::vector<MoveEntry> out;
  for (std::size_t i = 1; i < record.size() && record[i].colour > 0; ++i) {
    if (record[i].move > 0 || record[i].colour == kBlack) out.push_back(record[i]);
  }
  return out;
}

std::vector<MoveEntry> ReadBack(const std::string& text) {
  Record back{};
  ReadSgfText(text, back);
  return Readable(back);
}

TEST(SgfWriterTest, EveryTestGameReadsBackAsStored) {
  int games = 0;
  for (const auto& entry :
       std::filesystem::recursive_directory_iterator(KIROBAKU_TEST_DATA "/sgf")) {
    if (entry.path().extension() != ".sgf") continue;
    Record record{};
    const std::string comment = ReadSgfFile(entry.path(), record);
    const std::string text = WriteSgfText(comment, record);
    EXPECT_EQ(ReadBack(text), Readable(record)) << entry.path();
    ++games;
  }
  EXPECT_GT(games, 40);
}

TEST(SgfWriterTest, RandomRecordsWithPassesAndEscapedComments) {
  std::mt19937 random(20261209);
  for (int round = 0; round < 300; ++round) {
    Record record{};
    std::size_t n = 0;
    for (int s = static_cast<int>(random() % 4); s > 0; --s) {
      record[++n] = {0, random() % 3 == 0 ? kWhite : kBlack,
                     static_cast<PointIndex>(1 + random() % kPointCount)};
    }
    // Moves alternate by number, black on odd ones; some numbers are passes.
    for (std::int32_t move = 1; n < kRecordSize && move < 120; ++move) {
      if (random() % 6 == 0) continue;
      record[++n] = {move, move % 2 == 1 ? kBlack : kWhite,
                     static_cast<PointIndex>(1 + random() % kPointCount)};
    }
    const std::string comment = kura::Utf8ToCp932("第1局 [黒] \\ 白]") + std::to_string(round);
    const std::string text = WriteSgfText(comment, record);
    ASSERT_EQ(ReadBack(text), Readable(record)) << text;
    // The comment is one value: GC[...] with its "]" and "\" escaped.
    EXPECT_NE(text.find("GC[第1局 [黒\\] \\\\ 白\\]"), std::string::npos) << text;
  }
}

// Random games as an SGF file holds them, held against a model of what they
// are: the first move of either colour, colours alternating, passes written
// "" or "tt", points the reader cannot place (upper case), black setup
// stones. Reading the file gives the model's entries, and so does reading
// what the writer makes of them.
TEST(SgfWriterTest, RandomGamesReadBackAsTheirFiles) {
  std::mt19937 random(20261210);
  for (int round = 0; round < 500; ++round) {
    std::string text = "(;GM[1]SZ[19]";
    std::vector<MoveEntry> model;
    const auto letters = [&](char base) {
      return std::string{static_cast<char>(base + random() % 19),
                         static_cast<char>(base + random() % 19)};
    };
    if (random() % 3 == 0) {
      text += "AB";
      for (int s = 1 + static_cast<int>(random() % 9); s > 0; --s) {
        const std::string xy = letters('a');
        text += "[" + xy + "]";
        model.push_back({0, kBlack, (xy[0] - 'a') * kBoardSize + (xy[1] - 'a') + 1});
      }
    }
    StoneColour colour = random() % 2 == 0 ? kBlack : kWhite;
    // A game of one move has one colour only, which the reader reads as none.
    const int moves = std::max(2, static_cast<int>(random() % 60));
    for (std::int32_t move = 1; move <= moves; ++move, colour = OtherColour(colour)) {
      text += colour == kBlack ? ";B[" : ";W[";
      switch (random() % 8) {
        case 0:
          break;  // a pass
        case 1:
          text += "tt";
          break;
        case 2:
          text += letters('A');  // counted, not placed
          break;
        default: {
          const std::string xy = letters('a');
          text += xy;
          model.push_back({move, colour, (xy[0] - 'a') * kBoardSize + (xy[1] - 'a') + 1});
        }
      }
      text += ']';
    }
    text += ")";
    ASSERT_EQ(ReadBack(text), model) << text;
    Record record{};
    const std::string comment = ReadSgfText(text, record);
    const std::string written = WriteSgfText(comment, record);
    ASSERT_EQ(ReadBack(written), model) << text << "\n" << written;
  }
}

}  // namespace
}  // namespace kirobaku
