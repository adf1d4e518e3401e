// What the SGF writer writes, the program's reader reads back as stored:
// every game of the test data, and random records with passes and comments
// holding the characters SGF escapes.
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace kirobaku
