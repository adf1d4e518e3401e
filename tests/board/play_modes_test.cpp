#include <gtest/gtest.h>

#include "board/game_state.h"
#include "support/board_fixture.h"

namespace kirobaku {
namespace {

using test::DrawBoard;
using test::FakeBoardView;
using test::Sgf;

class PlayModesTest : public test::BoardTest {
 protected:
  void Click(const char* xy, MouseButton b = MouseButton::kLeft, bool shift = false,
             bool ctrl = false) {
    game.ClickPoint(Sgf(xy), PointerState{b, shift, ctrl, false, false});
  }
  std::string Captions() const {
    std::string out;
    for (const auto& [p, c] : view.ShownCaptions())
      out += std::to_string(p) + ":" + c + " ";
    return out;
  }
};

TEST_F(PlayModesTest, StoneCorrectionMovesTheRecordEntryWithoutANumber) {
  Play({"dd", "pp", "dp"});
  Click("pp", MouseButton::kLeft, true);
  EXPECT_EQ(view.questions.back(), "間違えた石を除去しますか？\r\n\r\n");
  EXPECT_EQ(game.Board[Sgf("pp")], kEmpty);
  EXPECT_EQ(game.MovingEntry, 2);
  EXPECT_EQ(view.status[0], "移動先でシフトキーを押しながら、右クリックしてください。");
  Click("qq", MouseButton::kRight, true);
  EXPECT_EQ(game.MovingEntry, 0);
  EXPECT_EQ(game.Board[Sgf("qq")], kWhite);
  EXPECT_EQ(view.captions[Sgf("qq")], "");
  EXPECT_EQ(game.MoveRecord[2], (MoveEntry{2, kWhite, Sgf("qq")}));
  game.ReplayTo(0, 1);
  EXPECT_EQ(game.Board[Sgf("qq")], kWhite);
  EXPECT_EQ(game.Board[Sgf("pp")], kEmpty);
}

TEST_F(PlayModesTest, StoneCorrectionCancelledOrPendingAcrossAReset) {
  Play({"dd", "pp"});
  view.answers = {false};
  Click("dd", MouseButton::kLeft, true);
  EXPECT_EQ(game.Board[Sgf("dd")], kBlack);
  EXPECT_EQ(view.status[0], "");
  EXPECT_EQ(game.MovingEntry, 0);
  // Shift-right with nothing pending is a normal move.
  Click("cc", MouseButton::kRight, true);
  EXPECT_EQ(game.MoveRecord[3], (MoveEntry{3, kBlack, Sgf("cc")}));
  Click("dd", MouseButton::kLeft, true);
  game.ResetGame();
  Click("ee", MouseButton::kRight, true);
  EXPECT_EQ(game.MoveRecord[1], (MoveEntry{0, 0, Sgf("ee")}));
  EXPECT_EQ(game.Board[Sgf("ee")], kEmpty);  // the emptied entry has no colour
}

TEST_F(PlayModesTest, ShiftWithCtrlOrDoubleClickFallsThroughToTheMode) {
  game.Mode = kModeFree;
  game.PlaceFree(Sgf("dd"), MouseButton::kRight);
  game.ClickPoint(Sgf("dd"), PointerState{MouseButton::kLeft, true, true, false, false});
  EXPECT_EQ(game.Board[Sgf("dd")], kBlack);
  game.ClickPoint(Sgf("dd"), PointerState{MouseButton::kLeft, true, false, false, true});
  EXPECT_TRUE(view.questions.empty());
}

TEST_F(PlayModesTest, FreePlacementRecordsSetupStonesAndCaptures) {
  game.Mode = kModeFree;
  Click("dd");
  Click("dd", MouseButton::kRight);
  EXPECT_EQ(game.MoveRecord[1], (MoveEntry{0, kBlack, Sgf("dd")}));
  EXPECT_EQ(game.MoveRecord[2], (MoveEntry{0, kWhite, Sgf("dd")}));
  EXPECT_EQ(game.Board[Sgf("dd")], kWhite);
  Click("aa", MouseButton::kRight);
  Click("ba");
  Click("ab");  // takes the white corner stone's last liberty
  EXPECT_EQ(game.Board[Sgf("aa")], kEmpty);
  EXPECT_EQ(game.CapturedWhite, 1);
  EXPECT_EQ(view.edit1, "1");
  EXPECT_TRUE(view.ShownCaptions().empty());
  EXPECT_TRUE(view.sounds.empty());
  Click("aa", MouseButton::kMiddle);  // no liberty of its own: still placed
  EXPECT_EQ(game.Board[Sgf("aa")], kWhite);
}

TEST_F(PlayModesTest, SteppingBackAPlacementOverAStoneShowsThatStoneAgain) {
  game.Mode = kModeFree;
  Click("dd");
  Click("dd", MouseButton::kRight);
  game.StepBack();
  EXPECT_EQ(game.Board[Sgf("dd")], kBlack);
  EXPECT_EQ(view.images[Sgf("dd")], kBlack);
  EXPECT_EQ(game.Position, 1);
  game.StepBack();
  EXPECT_EQ(game.Board[Sgf("dd")], kEmpty);
}

TEST_F(PlayModesTest, GomokuAlternatesOnTheBoardOnlyAndLeavesTheRecord) {
  Play({"dd", "pp"});
  game.SelectGomoku();
  for (const char* p : {"aa", "ba", "ab", "bb", "ac", "bc", "ad", "bd", "ae", "be"})
    Click(p);
  EXPECT_EQ(game.Board[Sgf("aa")], kBlack);
  EXPECT_EQ(game.Board[Sgf("ba")], kWhite);
  EXPECT_EQ(game.Board[Sgf("ae")], kBlack);
  EXPECT_EQ(game.MoveNumber, 12);
  EXPECT_EQ(game.MoveRecord[2], (MoveEntry{2, kWhite, Sgf("pp")}));
  EXPECT_EQ(game.MoveRecord[3], MoveEntry{});
  EXPECT_EQ(game.Position, 2);
}

TEST_F(PlayModesTest, DeadGroupMarkedThenRemovedAndCounted) {
  game.Mode = kModeFree;
  for (const char* p : {"cc", "cd", "dc", "dd"})
    Click(p);
  Click("pp", MouseButton::kRight);
  view.answers = {true};
  game.SelectEndMode();
  ASSERT_EQ(game.Mode, kModeEnd);
  Click("cc");
  EXPECT_EQ(Captions(), "41:* 42:* 60:* 61:* ");
  Click("pp");  // another stone: nothing
  Click("ee");  // empty point: nothing
  EXPECT_EQ(game.DeadState, 1);
  Click("dd");
  EXPECT_EQ(game.CapturedBlack, 4);
  EXPECT_EQ(view.edit2, "4");
  EXPECT_EQ(game.Board[Sgf("cc")], kEmpty);
  EXPECT_EQ(game.Board[Sgf("pp")], kWhite);
  EXPECT_EQ(game.CaptureCount(), 0);
  EXPECT_EQ(game.DeadState, 0);
}

TEST_F(PlayModesTest, AGroupCoveringTheWholeBoardIsMarkedAndRemoved) {
  for (PointIndex p = 1; p <= kPointCount; ++p)
    game.Board[p] = kBlack;
  game.Mode = kModeEnd;
  game.MarkDeadGroup(200);
  EXPECT_EQ(game.DeadCount(), kPointCount);
  EXPECT_EQ(view.ShownCaptions().size(), 361u);
  game.MarkDeadGroup(1);
  EXPECT_EQ(game.CapturedBlack, 361);
  EXPECT_EQ(DrawBoard(game.Board), DrawBoard({}));
}

TEST_F(PlayModesTest, AMarkedPointEmptiedMeanwhileCountsForNobody) {
  game.Mode = kModeFree;
  Click("aa", MouseButton::kRight);
  Click("ba", MouseButton::kRight);
  game.Mode = kModeEnd;
  Click("aa");  // marks both white stones
  game.Mode = kModeFree;
  Click("ab");
  Click("ca");
  Click("bb");  // captures the marked group
  ASSERT_EQ(game.CapturedWhite, 2);
  game.Mode = kModeEnd;
  game.Board[Sgf("ba")] = kWhite;  // one point holds a stone again
  Click("ba");
  EXPECT_EQ(game.CapturedWhite, 3);
  EXPECT_EQ(game.CapturedBlack, 0);
  EXPECT_EQ(game.DeadState, 0);
}

TEST_F(PlayModesTest, CancelTakesTheMarksAwayButNotTheNumbers) {
  Play({"dd", "pp", "dc"});
  view.answers = {true};
  game.SelectEndMode();
  Click("dd");
  game.CancelCount();
  EXPECT_TRUE(view.ShownCaptions().empty());
  EXPECT_EQ(game.Board[Sgf("dd")], kBlack);
  Click("pp");  // a fresh marking works
  EXPECT_EQ(Captions(), std::to_string(Sgf("pp")) + ":* ");
}

TEST_F(PlayModesTest, LeavingEndModeBringsRemovedGroupsBack) {
  Play({"dd", "pp", "dc", "pq", "ss"});
  const std::string before = DrawBoard(game.Board);
  view.answers = {false};
  game.SelectEndMode();
  EXPECT_EQ(game.Mode, kModeGame);
  game.SelectEndMode();
  ASSERT_EQ(game.Mode, kModeEnd);
  Click("dd");
  Click("dc");
  Click("pp");
  Click("pq");
  EXPECT_EQ(game.CapturedBlack + game.CapturedWhite, 4);
  game.SelectGameOrFree(kModeGame);
  EXPECT_EQ(game.Mode, kModeGame);
  EXPECT_EQ(DrawBoard(game.Board), before);
  EXPECT_EQ(game.CapturedBlack + game.CapturedWhite, 0);
  EXPECT_EQ(view.ShownCaptions(), (std::map<PointIndex, std::string>{{Sgf("ss"), "5"}}));
  EXPECT_EQ(game.ToPlay, kWhite);
  Click("aa");
  EXPECT_EQ(game.MoveRecord[6], (MoveEntry{6, kWhite, Sgf("aa")}));
}

TEST_F(PlayModesTest, VariationNumbersFromOneAndReturnsToTheGame) {
  Play({"dd", "pp", "dp", "pd"});
  game.StartVariation();
  EXPECT_EQ(view.status[1], "変化手順の検討中");
  Play({"qq", "cc", "qc"});
  EXPECT_TRUE(view.questions.empty());
  EXPECT_EQ(Captions(), std::to_string(Sgf("qc")) + ":3 ");
  view.answers = {false};
  game.ReturnFromVariation();
  EXPECT_EQ(view.questions.back(), "変化手順の検討を続けますか？");
  EXPECT_EQ(game.Position, 4);
  EXPECT_TRUE(view.ShownCaptions().empty());
  EXPECT_EQ(view.status[1], "");
  EXPECT_EQ(game.VariationActive, 0);
  EXPECT_EQ(game.Board[Sgf("qq")], kEmpty);
  game.StartVariation();
  view.answers = {true};
  game.ReturnFromVariation();
  EXPECT_EQ(game.VariationActive, 1);
  Play({"jj"});
  EXPECT_EQ(game.MoveRecord[5], (MoveEntry{1, kBlack, Sgf("jj")}));
}

TEST_F(PlayModesTest, ClearThenBringBackShowsTheNewestNumber) {
  Play({"dd", "pp", "dp", "pd"});
  game.ClearGame();
  EXPECT_EQ(DrawBoard(game.Board), DrawBoard({}));
  game.BringBackSaved();
  EXPECT_EQ(game.Position, 4);
  EXPECT_EQ(Captions(), std::to_string(Sgf("pd")) + ":4 ");
  // A saved position of 0 replays the whole record.
  game.ReplayTo(1, 1);
  game.StepBack();
  game.StartVariation();
  game.ReturnFromVariation();
  EXPECT_EQ(game.Position, 4);
}

}  // namespace
}  // namespace kirobaku
