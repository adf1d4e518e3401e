#include <gtest/gtest.h>

#include "board/game_state.h"
#include "support/board_fixture.h"

namespace kirobaku {
namespace {

using test::DrawBoard;
using test::FakeBoardView;
using test::Sgf;

class FigureTest : public test::BoardTest {};

TEST_F(FigureTest, FirstStonesStayAndRetakesAreListedTwoToALine) {
  // White "aa" (move 2) is captured by move 5; black plays there as move 7.
  Play({"ab", "aa", "ss", "sr", "ba", "sq", "aa"});
  ASSERT_EQ(game.Board[Sgf("aa")], kBlack);
  const auto lines = game.PrepareFigure();
  EXPECT_EQ(lines, std::vector<std::string>{"   ●007(002)     "});
  EXPECT_EQ(game.Board[Sgf("aa")], kWhite);
  EXPECT_EQ(view.captions[Sgf("aa")], "2");
  EXPECT_EQ(view.captions[Sgf("sq")], "6");
  EXPECT_EQ(view.colours[Sgf("ab")], kLabelWhite);
  EXPECT_EQ(game.Position, 7);
  game.EndFigure();
  EXPECT_EQ(game.Board[Sgf("aa")], kBlack);
  EXPECT_EQ(game.CapturedWhite, 1);
  EXPECT_EQ(view.ShownCaptions(), (std::map<PointIndex, std::string>{{Sgf("aa"), "7"}}));
}

TEST_F(FigureTest, RetakeLinesFormatEveryRowWithThreeDigits) {
  EXPECT_TRUE(GameState::RetakeLines({}).empty());
  const std::vector<RetakeRow> rows = {{kBlack, 52, 17}, {kWhite, 53, 24}, {kBlack, 1234, 5}};
  EXPECT_EQ(GameState::RetakeLines(rows),
            (std::vector<std::string>{"   ●052(017)     ○053(024)     ", "   ●234(005)     "}));
  // More than 76 retakes are all listed.
  EXPECT_EQ(GameState::RetakeLines(std::vector<RetakeRow>(201, {kWhite, 9, 9})).size(), 101u);
}

TEST_F(FigureTest, FirstEntryIsSearchedOverTheWholeRecord) {
  // Entries 1..364 use only points 1..300; point 350 is first used by entry
  // 365 and used again by entry 366.
  for (int i = 1; i <= 364; ++i) {
    game.MoveRecord[i] = {i, i % 2 ? kBlack : kWhite, (i - 1) % 300 + 1};
  }
  game.MoveRecord[365] = {365, kBlack, 350};
  game.MoveRecord[366] = {366, kWhite, 350};
  game.PrepareFigure();
  ASSERT_EQ(game.Retakes.size(), 64u + 1u);
  EXPECT_EQ(game.Retakes.front(), (RetakeRow{kBlack, 301, 1}));
  EXPECT_EQ(game.Retakes.back(), (RetakeRow{kWhite, 366, 365}));
  EXPECT_EQ(view.captions[350], "365");
}

TEST_F(FigureTest, CancelAtPositionZeroLeavesTheEmptyBoard) {
  Play({"dd", "pp", "dp"});
  game.ReplayTo(1, 1);
  game.StepBack();
  ASSERT_EQ(game.Position, 0);
  const StoneColour toPlay = game.ToPlay;
  game.PrepareFigure();
  EXPECT_EQ(game.Board[Sgf("dp")], kBlack);
  game.EndFigure();
  EXPECT_EQ(DrawBoard(game.Board), DrawBoard({}));
  EXPECT_EQ(game.Position, 0);
  EXPECT_EQ(game.CapturedBlack + game.CapturedWhite, 0);
  EXPECT_EQ(game.ToPlay, toPlay);
  EXPECT_TRUE(view.ShownCaptions().empty());
}

TEST_F(FigureTest, CancelInsideAVariationRestoresTheExactPosition) {
  Play({"dd", "pp", "dp", "pd"});
  game.StepBack();
  game.StartVariation();
  Play({"qq", "cc"});
  const std::string before = DrawBoard(game.Board);
  game.PrepareFigure();
  game.EndFigure();
  EXPECT_EQ(DrawBoard(game.Board), before);
  EXPECT_EQ(game.Position, 5);
}

TEST(NigiriLayoutTest, PairsFillBlocksOfTenAndAnOddHandLeavesHalfAPair) {
  std::vector<PointIndex> expected;
  for (PointIndex p = 61; p <= 70; ++p)
    expected.insert(expected.end(), {p, p + 19});
  EXPECT_EQ(GameState::NigiriLayout(20), expected);
  expected.insert(expected.end(), {118, 137, 119});
  EXPECT_EQ(GameState::NigiriLayout(23), expected);
  EXPECT_EQ(GameState::NigiriLayout(39).size(), 39u);
  for (PointIndex p : GameState::NigiriLayout(39))
    EXPECT_TRUE(IsPoint(p));
}

TEST(NigiriTest, GuessThenShowAnnouncesAndResets) {
  FakeBoardView view;
  GameState game{view};
  game.ResetGame();
  game.NigiriShowWhite(23);
  EXPECT_EQ(view.messages.back(), "「握り（黒石丁半）」を先に実行してください。");
  game.PlayMove(Sgf("dd"));
  view.answers = {true};
  game.NigiriGuessBlack();  // odd
  EXPECT_EQ(view.images[301], kBlack);
  EXPECT_EQ(view.images[320], kEmpty);
  EXPECT_EQ(view.status[0], "次に「白石表示」を実行してください。");
  EXPECT_EQ(game.Board[301], kEmpty);
  game.NigiriShowWhite(23);
  EXPECT_EQ(view.messages.back(), "黒石を置いた人が先番です。");
  EXPECT_EQ(DrawBoard(game.Board), DrawBoard({}));
  for (PointIndex p = 1; p <= kPointCount; ++p)
    ASSERT_EQ(view.images[p], kEmpty);
  EXPECT_EQ(game.NigiriGuess, 0);
  view.answers = {false};
  game.NigiriGuessBlack();  // even
  EXPECT_EQ(view.images[320], kBlack);
  game.NigiriShowWhite(23);
  EXPECT_EQ(view.messages.back(), "白石を握った人が先番です。");
}

}  // namespace
}  // namespace kirobaku
