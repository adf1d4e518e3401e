#include <gtest/gtest.h>

#include <random>

#include "board/game_state.h"
#include "support/board_fixture.h"

namespace kirobaku {
namespace {

using test::DrawBoard;
using test::FakeBoardView;
using test::Sgf;

class NavigationTest : public test::BoardTest {
 protected:
  struct Snapshot {
    std::string board;
    int position, black, white, toPlay, captures;
    std::map<PointIndex, std::string> captions;
    bool operator==(const Snapshot&) const = default;
  };
  Snapshot Take() const {
    return {DrawBoard(game.Board), game.Position,       game.CapturedBlack,  game.CapturedWhite,
            game.ToPlay,           game.CaptureCount(), view.ShownCaptions()};
  }
};

TEST_F(NavigationTest, SteppingBackRestoresCapturesCountersAndTheNumberBefore) {
  // Move 7 (black "ca") captures the two white corner stones "aa" and "ba".
  Play({"ab", "aa", "bb", "ba", "ss", "sr", "ca", "sq", "sp", "so"});
  ASSERT_EQ(game.CapturedWhite, 2);
  const Snapshot end = Take();
  for (int i = 0; i < 3; ++i)
    game.StepBackward();
  EXPECT_EQ(game.CapturedWhite, 2);
  game.StepBackward();
  EXPECT_EQ(game.CapturedWhite, 0);
  EXPECT_EQ(view.edit1, "0");
  EXPECT_EQ(game.Board[Sgf("aa")], kWhite);
  EXPECT_EQ(view.images[Sgf("ba")], kWhite);
  EXPECT_EQ(view.ShownCaptions(), (std::map<PointIndex, std::string>{{Sgf("sr"), "6"}}));
  while (game.Position < 10)
    game.StepForward();
  ASSERT_EQ(Take(), end);
  std::vector<Snapshot> history;
  while (game.Position > 0) {
    history.push_back(Take());
    game.StepBackward();
    game.CheckConsistency();
  }
  EXPECT_EQ(DrawBoard(game.Board), DrawBoard({}));
  EXPECT_EQ(game.CapturedWhite + game.CapturedBlack + game.CaptureCount(), 0);
  EXPECT_EQ(view.edit1, "0");
  game.StepBackward();
  EXPECT_EQ(view.status[0], "もう戻せません。");
  EXPECT_EQ(view.LastSound(), kSoundClick);
  for (auto it = history.rbegin(); it != history.rend(); ++it) {
    game.StepForward();
    ASSERT_EQ(Take(), *it) << "at position " << game.Position;
  }
  EXPECT_EQ(Take(), end);
  game.StepForward();
  EXPECT_EQ(view.status[0], "もう進めません。");
  EXPECT_EQ(Take(), end);
}

TEST_F(NavigationTest, StepBackShowsThePreviousNumberAndKeepsColourAtTheStart) {
  Play({"dd", "pp", "dp"});
  game.StepBack();
  EXPECT_EQ(view.ShownCaptions(), (std::map<PointIndex, std::string>{{Sgf("pp"), "2"}}));
  EXPECT_EQ(view.colours[Sgf("pp")], kLabelBlack);
  EXPECT_EQ(game.ToPlay, kBlack);
  game.StepBack();
  game.StepBack();
  EXPECT_EQ(game.Position, 0);
  EXPECT_EQ(game.ToPlay, kWhite);  // left as it was before the last step
}

TEST_F(NavigationTest, ShowAllMovesStopsWhereAVariationRestartedTheNumbers) {
  for (int i = 1; i <= 50; ++i) {
    const int move = i <= 30 ? i : i <= 35 ? i - 30 : i;
    game.MoveRecord[i] = {move, i % 2 ? kBlack : kWhite, i * 7};
  }
  game.ShowAllMoves();
  EXPECT_EQ(game.Position, 30);
  game.ReplayTo(0, 1);
  EXPECT_EQ(game.Position, 30);
  game.ReplayTo(25, 1);
  EXPECT_EQ(game.Position, 25);
  EXPECT_EQ(view.ShownCaptions(), (std::map<PointIndex, std::string>{{175, "25"}}));
  game.ShowFirstMove();
  EXPECT_EQ(game.Position, 1);
}

TEST_F(NavigationTest, ReplayEntriesPlacesExactlyTheEntriesAfterAVariation) {
  Play({"dd", "pp", "dp", "pd"});
  game.StepBack();
  game.StartVariation();
  Play({"qq", "cc"});  // numbered 1 and 2 in entries 4 and 5
  game.ReplayEntries(5, 1);
  EXPECT_EQ(game.Board[Sgf("qq")], kWhite);
  EXPECT_EQ(game.Board[Sgf("cc")], kBlack);
  EXPECT_EQ(game.Board[Sgf("pd")], kEmpty);
  EXPECT_EQ(game.Position, 5);
  EXPECT_EQ(game.ToPlay, kWhite);
}

TEST_F(NavigationTest, RandomPlayAndStepsAgreeWithAFreshReplay) {
  std::mt19937 random(20261208);
  for (int step = 0; step < 3000; ++step) {
    const unsigned action = random() % 10;
    if (action < 6) {
      game.PlayMove(1 + static_cast<PointIndex>(random() % kPointCount));
    } else if (action < 8) {
      game.StepBackward();
    } else {
      game.StepForward();
    }
    ASSERT_NO_THROW(game.CheckConsistency());
    if (step % 25 != 0) continue;
    FakeBoardView otherView;
    GameState replay{otherView};
    replay.MoveRecord = game.MoveRecord;
    replay.ReplayEntries(game.Position, 1);
    ASSERT_EQ(DrawBoard(game.Board), DrawBoard(replay.Board)) << "step " << step;
    ASSERT_EQ(game.CapturedBlack, replay.CapturedBlack);
    ASSERT_EQ(game.CapturedWhite, replay.CapturedWhite);
    ASSERT_EQ(game.CaptureLog, replay.CaptureLog);
    for (PointIndex p = 1; p <= kPointCount; ++p)
      ASSERT_EQ(view.images[p], game.Board[p]);
  }
}

TEST_F(NavigationTest, StepForwardStopsAtAnEntryTheBoardCannotHold) {
  game.MoveRecord[1] = {1, kBlack, Sgf("dd")};
  game.MoveRecord[2] = {2, 3, Sgf("pp")};
  game.StepForward();
  game.StepForward();
  EXPECT_EQ(game.Position, 1);
  EXPECT_EQ(view.status[0], "もう進めません。");
}

}  // namespace
}  // namespace kirobaku
