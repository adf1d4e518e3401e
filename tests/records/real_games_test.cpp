// Every real game record of the test data, read and replayed, with the final
// position cross-checked against a small board written here from the rules
// alone, and against the same moves played one by one with PlayMove.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "records/record_test_util.h"
#include "records/sgf_reader.h"
#include "support/fake_board_view.h"

namespace kirobaku {
namespace {

using test::DrawBoard;
using test::ExpectSoundRecord;
using test::FakeBoardView;

// The rules with nothing shared with GameState: a stone is placed, then every
// neighbouring group of the other colour without a liberty is taken off. The
// record is trusted, as in a replay: no suicide or ko test.
class ReferenceBoard {
 public:
  void Place(StoneColour colour, PointIndex p) {
    at_[p] = colour;
    for (PointIndex q : Neighbours(p)) {
      if (at_[q] != OtherColour(colour)) continue;
      std::vector<PointIndex> group;
      if (!Liberty(q, group)) {
        for (PointIndex s : group)
          at_[s] = kEmpty;
        (colour == kBlack ? capturedWhite : capturedBlack) += static_cast<int>(group.size());
      }
    }
  }
  const std::array<StoneColour, kPointCount + 1>& board() const { return at_; }
  int capturedBlack = 0;
  int capturedWhite = 0;

 private:
  static std::vector<PointIndex> Neighbours(PointIndex p) {
    std::vector<PointIndex> out;
    const int column = (p - 1) / 19, row = (p - 1) % 19;
    if (row > 0) out.push_back(p - 1);
    if (row < 18) out.push_back(p + 1);
    if (column > 0) out.push_back(p - 19);
    if (column < 18) out.push_back(p + 19);
    return out;
  }
  // Whether the group at start has a liberty; group receives its stones.
  bool Liberty(PointIndex start, std::vector<PointIndex>& group) const {
    group = {start};
    for (size_t i = 0; i < group.size(); ++i) {
      for (PointIndex q : Neighbours(group[i])) {
        if (at_[q] == kEmpty) return true;
        if (at_[q] == at_[start] && std::find(group.begin(), group.end(), q) == group.end()) {
          group.push_back(q);
        }
      }
    }
    return false;
  }
  std::array<StoneColour, kPointCount + 1> at_{};
};

std::vector<std::filesystem::path> SampleGames() {
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(KIROBAKU_TEST_DATA "/sgf")) {
    if (entry.path().extension() == ".sgf") files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

TEST(RealGamesTest, EveryGameReplaysToThePositionTheRulesGive) {
  const auto files = SampleGames();
  ASSERT_GE(files.size(), 44u);
  for (const auto& file : files) {
    SCOPED_TRACE(file.filename().string());
    FakeBoardView view;
    GameState game(view);
    game.ResetGame();
    ReadSgfFile(file, game.MoveRecord);
    ExpectSoundRecord(game.MoveRecord);
    const std::int32_t n = CountEntries(game.MoveRecord);
    EXPECT_GT(n, 20);
    game.ReplayTo(0, 1);
    EXPECT_EQ(game.Position, n);
    EXPECT_EQ(game.MoveNumber, game.MoveRecord[n].move);
    EXPECT_EQ(game.ToPlay, OtherColour(game.MoveRecord[n].colour));
    game.CheckConsistency();

    ReferenceBoard reference;
    for (std::int32_t i = 1; i <= n; ++i) {
      reference.Place(game.MoveRecord[i].colour, game.MoveRecord[i].point);
    }
    EXPECT_EQ(DrawBoard(game.Board), DrawBoard(reference.board()));
    EXPECT_EQ(game.CapturedBlack, reference.capturedBlack);
    EXPECT_EQ(game.CapturedWhite, reference.capturedWhite);
    EXPECT_EQ(view.edit1, std::to_string(reference.capturedWhite));
    EXPECT_EQ(view.edit2, std::to_string(reference.capturedBlack));
  }
}

// Real games break no rule, so PlayMove accepts every move of the record and
// ends in the position and record the replay gives.
TEST(RealGamesTest, PlayingTheMovesAgreesWithTheReplay) {
  for (const auto& file : SampleGames()) {
    SCOPED_TRACE(file.filename().string());
    FakeBoardView view;
    GameState replayed(view);
    replayed.ResetGame();
    ReadSgfFile(file, replayed.MoveRecord);
    replayed.ReplayTo(0, 0);

    GameState played(view);
    played.ResetGame();
    const std::int32_t n = CountEntries(replayed.MoveRecord);
    for (std::int32_t i = 1; i <= n; ++i) {
      const MoveEntry& e = replayed.MoveRecord[i];
      if (e.move == 0) {  // a setup stone, as free mode places it
        played.Board[e.point] = e.colour;
        played.MoveRecord[++played.Position] = e;
        continue;
      }
      played.ToPlay = e.colour;  // after a pass the same colour plays again
      played.MoveNumber = e.move - 1;
      played.PlayMove(e.point);
      ASSERT_EQ(played.Position, i) << "move " << e.move << " refused";
    }
    EXPECT_EQ(DrawBoard(played.Board), DrawBoard(replayed.Board));
    EXPECT_EQ(played.CapturedBlack, replayed.CapturedBlack);
    EXPECT_EQ(played.CapturedWhite, replayed.CapturedWhite);
    EXPECT_EQ(played.MoveRecord, replayed.MoveRecord);
    EXPECT_EQ(played.CaptureLog, replayed.CaptureLog);
  }
}

// Games another Go program played against itself, each with that program's
// own final position and prisoner counts beside it (NAME.final, drawn as kifu
// show draws them): a check of the replay by a board that shares no code.
TEST(RealGamesTest, SelfPlayGamesEndInThePlayingProgramsPosition) {
  int games = 0;
  for (const auto& entry :
       std::filesystem::directory_iterator(KIROBAKU_TEST_DATA "/sgf/selfplay")) {
    if (entry.path().extension() != ".sgf") continue;
    SCOPED_TRACE(entry.path().filename().string());
    FakeBoardView view;
    GameState game(view);
    game.ResetGame();
    ReadSgfFile(entry.path(), game.MoveRecord);
    game.ReplayTo(0, 1);
    const std::string final =
        test::ReadWholeFile(std::filesystem::path(entry.path()).replace_extension(".final"));
    EXPECT_EQ(DrawBoard(game.Board) + "captured: black=" + std::to_string(game.CapturedBlack) +
                  " white=" + std::to_string(game.CapturedWhite) + "\n",
              final);
    games += 1;
  }
  EXPECT_GE(games, 10);
}

TEST(RealGamesTest, HandicapStonesComeFirst) {
  Record record{};
  ReadSgfFile(KIROBAKU_TEST_DATA "/sgf/9handicap.sgf", record);
  for (int i = 1; i <= 9; ++i)
    EXPECT_EQ(record[i].move, 0) << i;
  EXPECT_EQ(record[10].move, 1);
  EXPECT_EQ(record[10].colour, kWhite);
}

TEST(RealGamesTest, ShiftJisRecordGivesTheJapaneseComment) {
  Record record{};
  const std::string comment = ReadSgfFile(KIROBAKU_TEST_DATA "/sgf/honinbo51-5-sjis.sgf", record);
  EXPECT_EQ(kura::Cp932ToUtf8(comment), "第51期本因坊戦黒：趙治勲 × 白：柳時熏  白2.5目勝ち");
  // The same game with Latin names has the same moves.
  Record latin{};
  EXPECT_EQ(ReadSgfFile(KIROBAKU_TEST_DATA "/sgf/Honinbo-51-5.sgf", latin),
            "51st Honinbo" + test::Sjis("黒：") + "Cho Chikun" + test::Sjis(" × 白：") +
                "Ryu Shikun" + test::Sjis("  白2.5目勝ち"));
  EXPECT_EQ(record, latin);
}

}  // namespace
}  // namespace kirobaku
