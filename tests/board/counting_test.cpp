#include <gtest/gtest.h>

#include "board/game_state.h"
#include "support/board_fixture.h"

namespace kirobaku {
namespace {

using test::DrawBoard;
using test::FakeBoardView;
using test::Sgf;

class CountingTest : public test::BoardTest {
 protected:
  void Column(int column, StoneColour c) {
    for (int row = 0; row < kBoardSize; ++row)
      game.Board[PointAt(column, row)] = c;
  }
  void Free(const char* xy, MouseButton b) {
    game.ClickPoint(Sgf(xy), PointerState{b, false, false, false, false});
  }
};

TEST_F(CountingTest, TerritoryCountNeedsEndModeAndConfirmation) {
  game.CountTerritory();
  EXPECT_EQ(view.messages, std::vector<std::string>{"「終局モード」に切り替えてください。"});
  game.Mode = kModeEnd;
  view.answers = {false};
  game.CountTerritory();
  EXPECT_EQ(view.questions.back(), "死石の除去は終わりましたか？");
  EXPECT_EQ(view.status[0], " ");
  game.CountTerritory();  // an empty board is all White's
  EXPECT_EQ(view.status[0], "黒 0 目、白 361 目です。");
  EXPECT_EQ(view.LastSound(), kSoundClick);
}

TEST_F(CountingTest, TwoWallsSplitTheBoardAndCapturesAreSubtracted) {
  Column(9, kBlack);
  Column(10, kWhite);
  game.Mode = kModeEnd;
  game.CountTerritory();
  EXPECT_EQ(view.status[0], "黒 171 目、白 152 目です。");
  game.CapturedBlack = 200;
  game.CapturedWhite = 1;
  game.CountTerritory();
  EXPECT_EQ(view.status[0], "黒 -29 目、白 151 目です。");
}

TEST_F(CountingTest, ClassifyPointSeesFirstStonesOnFourLines) {
  game.Board[Sgf("dc")] = kBlack;  // above "dd"
  game.Board[Sgf("ad")] = kWhite;  // left of "dd" in its row
  EXPECT_EQ(game.ClassifyPoint(Sgf("dd")), 3);
  EXPECT_EQ(game.ClassifyPoint(Sgf("da")), 1);
  EXPECT_EQ(game.ClassifyPoint(Sgf("sd")), 2);
  EXPECT_EQ(game.ClassifyPoint(Sgf("ss")), 0);
  // Bottom of column 0: "down" does not wrap into the top of column 1.
  game.Board = {};
  game.Board[Sgf("ba")] = kBlack;
  EXPECT_EQ(game.ClassifyPoint(Sgf("as")), 0);
}

TEST_F(CountingTest, YoseClassifyStaysInTheColumnAtTheBottomRow) {
  game.YoseBoard[Sgf("ba")][kYoseBlackFirst] = kWhite;  // top of the next column
  game.YoseBoard[Sgf("aa")][kYoseBlackFirst] = kBlack;  // top of the own column
  EXPECT_EQ(game.YoseClassify(Sgf("as"), kYoseBlackFirst), kBlack);
  game.YoseBoard[Sgf("ds")][kYoseBlackFirst] = kWhite;  // same bottom row
  EXPECT_EQ(game.YoseClassify(Sgf("as"), kYoseBlackFirst), 0);
  EXPECT_EQ(game.YoseClassify(Sgf("as"), kYoseWhiteFirst), 0);
}

TEST_F(CountingTest, YoseEvaluateCountsStonesCapturesAndSwings) {
  auto set = [&](const char* xy, StoneColour b, StoneColour w) {
    game.YoseBoard[Sgf(xy)] = {b, w};
  };
  // Black's two points after Black first; white stones there after White first.
  set("ba", kBlack, kBlack);
  set("aa", kEmpty, kWhite);
  set("ab", kEmpty, kWhite);
  set("bb", kBlack, kBlack);
  set("ac", kBlack, kBlack);
  EXPECT_EQ(game.YoseEvaluate(), 2);
  game.YoseCaptures = {{{3, 1}, {0, 2}}};  // Black first: 3 white, 1 black; White first: 2 black
  EXPECT_EQ(game.YoseEvaluate(), 2 + 2 + 2);
}

TEST_F(CountingTest, TerritoryThatChangesHandsIsASwingOfTwo) {
  game.YoseBoard[Sgf("ab")] = {kBlack, kWhite};
  // "aa" sees only "ab" below: Black's with Black first, White's with White first.
  const std::int32_t withSwing = game.YoseEvaluate();
  // Besides "aa", every point of column 0 sees "ab", and row 1 sees it as well.
  EXPECT_EQ(withSwing, 2 * (18 + 18));
  game.YoseBoard[Sgf("ab")] = {kWhite, kBlack};
  EXPECT_EQ(game.YoseEvaluate(), -withSwing);
}

TEST_F(CountingTest, YosePhasesPlayFromTheSavedPositionAndReport) {
  game.PlayMove(Sgf("dd"));
  game.PlayMove(Sgf("pp"));
  game.AdvanceYose();
  EXPECT_EQ(game.Mode, kModeFree);
  EXPECT_EQ(view.modeButton, kModeFree);
  EXPECT_EQ(view.yoseCaption, "黒番処理");
  EXPECT_EQ(view.status[1], "出入計算中");
  EXPECT_EQ(game.VariationActive, 1);
  Free("aa", MouseButton::kLeft);
  game.AdvanceYose();
  EXPECT_EQ(view.yoseCaption, "白番処理");
  EXPECT_EQ(game.Board[Sgf("aa")], kEmpty);
  EXPECT_EQ(game.ToPlay, kWhite);
  Free("aa", MouseButton::kRight);
  Free("pp", MouseButton::kLeft);  // on a stone while counting: marks, not places
  EXPECT_EQ(game.DeadState, 1);
  game.AdvanceYose();
  EXPECT_EQ(view.yoseCaption, "出入計算");
  EXPECT_EQ(view.status[0], "出入り　" + std::to_string(game.YoseResult) + "目です。");
  EXPECT_EQ(view.status[1], "");
  EXPECT_EQ(game.VariationActive, 0);
  EXPECT_EQ(game.Position, 2);
  EXPECT_EQ(game.Board[Sgf("aa")], kEmpty);
  EXPECT_EQ(game.YoseState, 0);
}

TEST_F(CountingTest, CancelDuringTheWhitePhaseRestoresTheStart) {
  game.PlayMove(Sgf("dd"));
  const std::string start = DrawBoard(game.Board);
  game.AdvanceYose();
  Free("aa", MouseButton::kLeft);
  game.AdvanceYose();
  Free("ab", MouseButton::kRight);
  game.CancelCount();
  EXPECT_EQ(DrawBoard(game.Board), start);
  EXPECT_EQ(view.yoseCaption, "出入計算");
  EXPECT_EQ(view.status[0], "");
  EXPECT_EQ(view.status[1], "");
  EXPECT_EQ(game.YoseState + game.VariationActive, 0);
}

}  // namespace
}  // namespace kirobaku
