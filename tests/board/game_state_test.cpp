#include "board/game_state.h"

#include <gtest/gtest.h>

#include <random>

#include "support/board_fixture.h"

namespace kirobaku {
namespace {

using test::DrawBoard;
using test::FakeBoardView;
using test::Sgf;

class GameStateTest : public test::BoardTest {
 protected:
};

TEST_F(GameStateTest, ResetGameEmptiesEverythingButKeepsModeAndSavedCopy) {
  Play({"dd", "pp", "dp"});
  game.SaveLine();
  game.Mode = kModeFree;
  game.VariationActive = 1;
  game.NigiriGuess = 2;
  game.YoseState = 1;
  game.DeadState = 1;
  game.ResetGame();

  EXPECT_EQ(DrawBoard(game.Board), DrawBoard({}));
  EXPECT_EQ(game.Position, 0);
  EXPECT_EQ(game.MoveNumber, 0);
  EXPECT_EQ(game.ToPlay, kBlack);
  EXPECT_EQ(game.CaptureCount(), 0);
  EXPECT_EQ(game.MoveRecord[1], MoveEntry{});
  EXPECT_EQ(view.edit1, "0");
  EXPECT_EQ(view.edit2, "0");
  EXPECT_EQ(view.status[0], " ");
  EXPECT_EQ(view.status[1], " ");
  EXPECT_TRUE(view.ShownCaptions().empty());
  for (PointIndex p = 1; p <= kPointCount; ++p)
    ASSERT_EQ(view.images[p], kEmpty);
  EXPECT_EQ(game.Mode, kModeFree);
  EXPECT_EQ(game.VariationActive + game.NigiriGuess + game.YoseState + game.DeadState, 0);
  EXPECT_EQ(game.SavedPosition, 3);
  EXPECT_EQ(game.SavedRecord[3], (MoveEntry{3, kBlack, Sgf("dp")}));
}

TEST_F(GameStateTest, NeighboursInFixedOrderWithOffBoardMarks) {
  game.Board[2] = kBlack;
  game.Board[20] = kWhite;
  const NeighbourTable corner = game.GetNeighbours(1);
  EXPECT_EQ(corner[0].colour, kOffBoard);
  EXPECT_EQ(corner[0].point, 0);
  EXPECT_EQ(corner[1].colour, kBlack);
  EXPECT_EQ(corner[1].point, 2);
  EXPECT_EQ(corner[2].colour, kOffBoard);
  EXPECT_EQ(corner[3].colour, kWhite);
  EXPECT_EQ(corner[3].point, 20);
  const NeighbourTable bottomRight = game.GetNeighbours(361);
  EXPECT_EQ(bottomRight[0].point, 360);
  EXPECT_EQ(bottomRight[1].colour, kOffBoard);
  EXPECT_EQ(bottomRight[2].point, 342);
  EXPECT_EQ(bottomRight[3].colour, kOffBoard);
  // Point 19 is the bottom of column 0: its "down" is not point 20.
  EXPECT_EQ(game.GetNeighbours(19)[1].colour, kOffBoard);
  EXPECT_EQ(game.GetNeighbours(20)[0].colour, kOffBoard);
}

TEST_F(GameStateTest, CornerCaptureCountsLogsAndSetsKoPoint) {
  game.Board[1] = kWhite;
  game.Board[2] = kBlack;
  game.PlayMove(20);
  EXPECT_EQ(game.Board[1], kEmpty);
  EXPECT_EQ(game.CapturedWhite, 1);
  EXPECT_EQ(view.edit1, "1");
  ASSERT_EQ(game.CaptureCount(), 1);
  EXPECT_EQ(game.CaptureLog[0], (CaptureEntry{1, 1, kWhite, 1}));
  EXPECT_EQ(game.KoPoint, 1);
  EXPECT_EQ(view.LastSound(), kSoundClick);
  EXPECT_EQ(view.captions[20], "1");
  EXPECT_EQ(view.colours[20], kLabelWhite);
}

TEST_F(GameStateTest, KoRetakeRefusedAtOnceButAllowedAfterAnExchange) {
  // Black surrounds cc from three sides, white surrounds dc; a black stone
  // sits in white's mouth at dc with its last liberty at cc.
  for (const char* b : {"cb", "bc", "cd"})
    Put(b, kBlack);  // around cc from left/up/down
  for (const char* w : {"db", "ec", "dd"})
    Put(w, kWhite);   // around dc from up/right/down
  Put("dc", kBlack);  // black stone in white's mouth, liberty only at cc
  game.ToPlay = kWhite;
  game.PlayMove(Sgf("cc"));  // white captures dc
  ASSERT_EQ(game.Board[Sgf("dc")], kEmpty);
  ASSERT_EQ(game.KoPoint, Sgf("dc"));

  const std::string before = DrawBoard(game.Board);
  const int position = game.Position;
  game.PlayMove(Sgf("dc"));  // black retakes at once: refused
  EXPECT_EQ(view.LastSound(), kSoundRefusal);
  EXPECT_EQ(DrawBoard(game.Board), before);
  EXPECT_EQ(game.Position, position);
  EXPECT_EQ(game.ToPlay, kBlack);
  EXPECT_EQ(game.KoPoint, Sgf("dc"));

  game.PlayMove(Sgf("pp"));  // ko threat
  game.PlayMove(Sgf("pd"));  // answer
  game.PlayMove(Sgf("dc"));  // now the retake is allowed
  EXPECT_EQ(view.LastSound(), kSoundClick);
  EXPECT_EQ(game.Board[Sgf("cc")], kEmpty);
  EXPECT_EQ(game.Board[Sgf("dc")], kBlack);
  EXPECT_EQ(game.KoPoint, Sgf("cc"));
}

TEST_F(GameStateTest, SuicideRefusedButCapturingIntoNoLibertiesAccepted) {
  Put("ab", kWhite);
  Put("ba", kWhite);
  game.PlayMove(Sgf("aa"));  // black into the corner: no liberty, no capture
  EXPECT_EQ(view.LastSound(), kSoundRefusal);
  EXPECT_EQ(game.Board[Sgf("aa")], kEmpty);
  EXPECT_EQ(game.Position, 0);
  EXPECT_EQ(game.MoveNumber, 0);
  EXPECT_EQ(game.ToPlay, kBlack);

  // The same point captures when the white stones are in atari.
  Put("ac", kBlack);
  Put("bb", kBlack);
  Put("ca", kBlack);
  game.PlayMove(Sgf("aa"));
  EXPECT_EQ(view.LastSound(), kSoundClick);
  EXPECT_EQ(game.Board[Sgf("ab")], kEmpty);
  EXPECT_EQ(game.Board[Sgf("ba")], kEmpty);
  EXPECT_EQ(game.CapturedWhite, 2);
}

TEST_F(GameStateTest, SuicideOfALargerGroupIsRefused) {
  // Black group aa-ab with its last liberty at ac, surrounded by white.
  Put("aa", kBlack);
  Put("ba", kWhite);
  Put("bb", kWhite);
  Put("bc", kWhite);
  Put("ad", kWhite);
  game.PlayMove(Sgf("ab"));  // connects to aa: liberty at ac remains: legal
  EXPECT_EQ(view.LastSound(), kSoundClick);
  game.ToPlay = kBlack;
  game.PlayMove(Sgf("ac"));  // fills the group's last liberty
  EXPECT_EQ(view.LastSound(), kSoundRefusal);
  EXPECT_EQ(game.Board[Sgf("ac")], kEmpty);
  EXPECT_EQ(game.Position, 1);
}

TEST_F(GameStateTest, SuicideFoundWhenEveryLineEndsAtTheEdge) {
  // A black wall along the left edge whose only liberty is aa; white stones sit
  // only where no straight line from aa reaches them.
  for (int row = 1; row < kBoardSize; ++row)
    game.Board[PointAt(0, row)] = kBlack;
  for (int column = 1; column < kBoardSize; ++column)
    game.Board[PointAt(column, 0)] = kBlack;
  for (int row = 1; row < kBoardSize; ++row)
    game.Board[PointAt(1, row)] = kWhite;
  for (int column = 2; column < kBoardSize; ++column)
    game.Board[PointAt(column, 1)] = kWhite;
  EXPECT_EQ(game.FindSuicideProbe(1), 0);
  game.PlayMove(1);
  EXPECT_EQ(view.LastSound(), kSoundRefusal);
  EXPECT_EQ(game.Board[1], kEmpty);
}

TEST_F(GameStateTest, NotSuicideWhenAnotherGroupNearTheProbeLacksLiberties) {
  // A white stone q below p; a separate black stone (left by free placement)
  // touching q has no liberty. The new stone itself has liberties: legal.
  Put("cc", kWhite);  // q, probed from cb downwards
  Put("bc", kBlack);  // separate black stone next to q
  Put("ac", kWhite);
  Put("bb", kWhite);
  Put("bd", kWhite);         // bc has no liberty at all
  game.PlayMove(Sgf("cb"));  // plenty of liberties
  EXPECT_EQ(view.LastSound(), kSoundClick);
  EXPECT_EQ(game.Board[Sgf("cb")], kBlack);
}

TEST_F(GameStateTest, TwoGroupsCapturedAtOnceInPointOrder) {
  // Black plays bb capturing white ba (up... left) and ab.
  Put("ba", kWhite);
  Put("ca", kBlack);
  Put("ab", kWhite);
  Put("ac", kBlack);
  Put("aa", kBlack);  // keeps the corner filled: white ba and ab each have one liberty, bb
  game.PlayMove(Sgf("bb"));
  EXPECT_EQ(game.CapturedWhite, 2);
  ASSERT_EQ(game.CaptureCount(), 2);
  EXPECT_LT(game.CaptureLog[0].point, game.CaptureLog[1].point);
  EXPECT_EQ(game.CaptureLog[0].position, 1);
  EXPECT_EQ(game.CaptureLog[1].position, 1);
  // bb's neighbours: up ba (point 20), down bc, left ab (point 2), right cb.
  // The left group is found after the up group, so it decides SingleCapture.
  EXPECT_EQ(game.SingleCapture, Sgf("ab"));
  EXPECT_EQ(game.KoPoint, Sgf("ab"));
}

TEST_F(GameStateTest, OccupiedPointAndFullRecordRefusedWithoutChange) {
  Play({"dd"});
  game.PlayMove(Sgf("dd"));
  EXPECT_EQ(view.LastSound(), kSoundRefusal);
  EXPECT_EQ(game.Board[Sgf("dd")], kBlack);
  EXPECT_EQ(game.Position, 1);
  EXPECT_EQ(game.ToPlay, kWhite);

  game.Position = kRecordSize;
  game.PlayMove(Sgf("pp"));
  EXPECT_EQ(view.LastSound(), kSoundRefusal);
  EXPECT_EQ(game.Board[Sgf("pp")], kEmpty);
  EXPECT_EQ(game.Position, kRecordSize);
}

TEST_F(GameStateTest, OverwriteQuestionOnceAndNoLeavesEverything) {
  // A loaded game: the record is filled, nothing has been confirmed yet.
  game.MoveRecord[1] = {1, kBlack, Sgf("dd")};
  game.MoveRecord[2] = {2, kWhite, Sgf("pp")};
  game.MoveRecord[3] = {3, kBlack, Sgf("dp")};
  game.ReplayTo(1, 1);
  view.answers = {false};
  game.PlayMove(Sgf("qq"));
  ASSERT_EQ(view.questions.size(), 1u);
  EXPECT_EQ(view.questions[0], "棋譜データに上書きしていいですか？\r\n\r\n");
  EXPECT_EQ(game.Board[Sgf("qq")], kEmpty);
  EXPECT_EQ(game.MoveRecord[2].point, Sgf("pp"));

  game.PlayMove(Sgf("qq"));  // asked again, Yes
  EXPECT_EQ(view.questions.size(), 2u);
  EXPECT_EQ(game.MoveRecord[2], (MoveEntry{2, kWhite, Sgf("qq")}));
  EXPECT_EQ(game.MoveRecord[3].point, Sgf("dp"));  // later entries stay
  game.ReplayTo(2, 1);
  game.PlayMove(Sgf("cc"));  // not asked again
  EXPECT_EQ(view.questions.size(), 2u);

  game.VariationActive = 1;
  game.OverwriteConfirmed = 0;
  game.ReplayTo(1, 1);
  game.PlayMove(Sgf("cd"));  // no question while a variation is studied
  EXPECT_EQ(view.questions.size(), 2u);
}

TEST_F(GameStateTest, ReplayShowsOnlyTheNewestNumberAndSetupStones) {
  for (int i = 1; i <= 4; ++i)
    game.MoveRecord[i] = {0, kBlack, PointAt(3 * i, 3)};
  game.MoveRecord[5] = {1, kWhite, Sgf("pp")};
  game.MoveRecord[6] = {2, kBlack, Sgf("qq")};
  game.ReplayTo(1, 1);
  EXPECT_EQ(game.Position, 5);
  EXPECT_EQ(game.MoveNumber, 1);
  EXPECT_EQ(game.ToPlay, kBlack);
  for (int i = 1; i <= 4; ++i)
    EXPECT_EQ(game.Board[PointAt(3 * i, 3)], kBlack);
  EXPECT_EQ(view.ShownCaptions(), (std::map<PointIndex, std::string>{{Sgf("pp"), "1"}}));

  game.ResetGame();
  for (int i = 1; i <= 50; ++i) {
    game.MoveRecord[i] = {i, i % 2 ? kBlack : kWhite, PointAt((i - 1) % 19, (i - 1) / 19 * 3)};
  }
  game.ReplayTo(0, 1);
  EXPECT_EQ(game.Position, 50);
  EXPECT_EQ(view.ShownCaptions(),
            (std::map<PointIndex, std::string>{{game.MoveRecord[50].point, "50"}}));
  game.ReplayTo(0, 0);
  EXPECT_EQ(view.ShownCaptions().size(), 0u);
}

TEST_F(GameStateTest, ReplayStopsWhereMoveNumbersFall) {
  for (int i = 1; i <= 30; ++i)
    game.MoveRecord[i] = {i, i % 2 ? kBlack : kWhite, i};
  for (int i = 1; i <= 5; ++i)
    game.MoveRecord[30 + i] = {i, i % 2 ? kBlack : kWhite, 100 + i};
  game.ReplayTo(0, 1);
  EXPECT_EQ(game.Position, 30);
  EXPECT_EQ(game.MoveNumber, 30);
  game.ReplayTo(50, 1);
  EXPECT_EQ(game.Position, 30);
}

TEST_F(GameStateTest, ReplayWithNothingPlacedFlipsTheColourToPlay) {
  game.ReplayTo(0, 1);
  EXPECT_EQ(game.Position, 0);
  EXPECT_EQ(game.ToPlay, kWhite);
}

TEST_F(GameStateTest, ReplayPassesMoveNumbersBeyond400) {
  // Passes are not stored, so numbers run ahead of entry indices.
  for (int i = 1; i <= kRecordSize; ++i) {
    game.MoveRecord[i] = {i + 10, i % 2 ? kBlack : kWhite, (i - 1) % kPointCount + 1};
  }
  game.ReplayTo(0, 0);
  EXPECT_EQ(game.Position, kRecordSize);
  EXPECT_EQ(game.MoveNumber, kRecordSize + 10);
}

TEST_F(GameStateTest, ReplayTwiceGivesTheSameCounters) {
  Put("ba", kWhite);
  game.MoveRecord[1] = {0, kWhite, 1};
  game.MoveRecord[2] = {1, kBlack, 2};
  game.MoveRecord[3] = {2, kWhite, 100};
  game.MoveRecord[4] = {3, kBlack, 20};  // captures point 1
  game.ReplayTo(0, 1);
  const auto log = game.CaptureLog;
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(game.CapturedWhite, 1);
  game.ReplayTo(0, 1);
  EXPECT_EQ(game.CaptureLog, log);
  EXPECT_EQ(game.CapturedWhite, 1);
  EXPECT_EQ(game.CapturedBlack, 0);
  EXPECT_EQ(view.edit1, "1");
}

TEST_F(GameStateTest, UntrustedEntriesArePassedOverWithoutTouchingMemory) {
  game.MoveRecord[1] = {1, kBlack, Sgf("dd")};
  game.MoveRecord[2] = {2, kWhite, 362};
  game.MoveRecord[3] = {3, 7, Sgf("pp")};
  game.MoveRecord[4] = {4, kWhite, -5};
  game.MoveRecord[5] = {5, kWhite, Sgf("dp")};
  game.ReplayTo(0, 1);
  EXPECT_EQ(game.Position, 5);  // still the index of the newest entry
  EXPECT_EQ(game.Board[Sgf("dd")], kBlack);
  EXPECT_EQ(game.Board[Sgf("pp")], kEmpty);
  EXPECT_EQ(game.Board[Sgf("dp")], kWhite);
  game.CheckConsistency();
}

TEST_F(GameStateTest, SaveClearRestoreBringsTheGameBack) {
  Play({"dd", "pp", "dp", "pd", "qq"});
  const std::string before = DrawBoard(game.Board);
  game.SaveLine();
  game.ResetGame();
  EXPECT_EQ(DrawBoard(game.Board), DrawBoard({}));
  game.RestoreLine();
  EXPECT_EQ(DrawBoard(game.Board), before);
  EXPECT_EQ(game.Position, 5);
  EXPECT_TRUE(view.ShownCaptions().empty());  // restored without numbers
}

TEST_F(GameStateTest, CaptureLogNeverLosesEntriesOfTheMovesOnTheBoard) {
  // Fill a large area with white setup stones, then capture them all with
  // black moves so that more than 100 stones are logged.
  std::int32_t entries = 0;
  for (int column = 1; column < 8; ++column) {
    for (int row = 1; row < 18; ++row)
      game.MoveRecord[++entries] = {0, kWhite, PointAt(column, row)};
  }
  game.ReplayTo(0, 0);
  ASSERT_EQ(game.Position, entries);
  for (int row = 0; row < kBoardSize; ++row) {
    for (int column : {0, 8}) {
      game.ToPlay = kBlack;
      game.PlayMove(PointAt(column, row));
    }
  }
  for (int column = 1; column < 8; ++column) {
    game.ToPlay = kBlack;
    game.PlayMove(PointAt(column, 0));
  }
  for (int column = 1; column < 8; ++column) {
    game.ToPlay = kBlack;
    game.PlayMove(PointAt(column, 18));
  }
  EXPECT_EQ(game.CapturedWhite, 7 * 17);
  EXPECT_EQ(game.CaptureCount(), 7 * 17);
  game.CheckConsistency();
}

TEST_F(GameStateTest, ConsistencyCheckReplaysTheRecord) {
  Play({"ab", "aa", "ba"});  // black "ba" captures white "aa"
  game.CheckConsistency();
  GameState stray = game;
  stray.Board[Sgf("ss")] = kWhite;  // a stone no entry explains
  EXPECT_THROW(stray.CheckConsistency(), std::logic_error);
  GameState counted = game;
  counted.CapturedWhite = 2;  // a prisoner the log does not hold
  EXPECT_THROW(counted.CheckConsistency(), std::logic_error);
  GameState lost = game;
  lost.CaptureLog.clear();
  EXPECT_THROW(lost.CheckConsistency(), std::logic_error);
  GameState moving = stray;  // a stone in correction is off its point
  moving.MovingEntry = 3;
  EXPECT_NO_THROW(moving.CheckConsistency());
}

// Random games checked against an independent rule engine: the group and
// liberty computation below shares nothing with GameState.
class ReferenceBoard {
 public:
  std::array<StoneColour, kPointCount + 1> board{};
  std::vector<std::pair<PointIndex, StoneColour>> removed;

  std::vector<PointIndex> Neighbours(PointIndex p) const {
    std::vector<PointIndex> n;
    const int c = ColumnOf(p), r = RowOf(p);
    if (r > 0) n.push_back(p - 1);
    if (r < 18) n.push_back(p + 1);
    if (c > 0) n.push_back(p - 19);
    if (c < 18) n.push_back(p + 19);
    return n;
  }
  std::vector<PointIndex> Group(PointIndex p, bool& liberty) const {
    std::vector<PointIndex> stack{p}, group;
    std::array<bool, kPointCount + 1> seen{};
    seen[p] = true;
    liberty = false;
    while (!stack.empty()) {
      PointIndex q = stack.back();
      stack.pop_back();
      group.push_back(q);
      for (PointIndex n : Neighbours(q)) {
        if (board[n] == kEmpty) liberty = true;
        if (board[n] == board[p] && !seen[n]) {
          seen[n] = true;
          stack.push_back(n);
        }
      }
    }
    return group;
  }
  // Returns whether the move is legal (ko ignored: the caller tracks it).
  bool Play(PointIndex p, StoneColour c, int& capturedStones, PointIndex& single) {
    board[p] = c;
    capturedStones = 0;
    single = 0;
    std::vector<std::pair<PointIndex, StoneColour>> taken;
    for (PointIndex n : Neighbours(p)) {
      if (board[n] != OtherColour(c)) continue;
      bool liberty;
      auto g = Group(n, liberty);
      if (liberty) continue;
      single = g.size() == 1 ? g[0] : 0;
      for (PointIndex q : g) {
        taken.push_back({q, board[q]});
        board[q] = kEmpty;
        ++capturedStones;
      }
    }
    bool liberty;
    Group(p, liberty);
    if (taken.empty() && !liberty) {
      board[p] = kEmpty;
      return false;
    }
    removed.insert(removed.end(), taken.begin(), taken.end());
    return true;
  }
};

TEST_F(GameStateTest, RandomGamesAgreeWithAReferenceAndReplayIdentically) {
  std::mt19937 random(20261208);
  for (int gameNo = 0; gameNo < 40; ++gameNo) {
    game.ResetGame();
    ReferenceBoard reference;
    PointIndex ko = 0;
    int blackLost = 0, whiteLost = 0;
    for (int attempt = 0; attempt < 600 && game.Position < 300; ++attempt) {
      // Bias to a small area so captures, kos and suicides are frequent.
      const PointIndex p = PointAt(random() % 7, random() % 7);
      const StoneColour c = game.ToPlay;
      int captured = 0;
      PointIndex single = 0;
      bool legal = reference.board[p] == kEmpty;
      auto saved = reference.board;
      if (legal) legal = reference.Play(p, c, captured, single);
      if (legal && single > 0 && p == ko) {
        legal = false;
        reference.board = saved;
      }
      game.PlayMove(p);
      ASSERT_EQ(view.LastSound(), legal ? kSoundClick : kSoundRefusal) << "game " << gameNo;
      if (legal) {
        ko = single;
        (c == kBlack ? whiteLost : blackLost) += captured;
      }
      ASSERT_EQ(DrawBoard(game.Board), DrawBoard(reference.board));
      ASSERT_EQ(game.CapturedWhite, whiteLost);
      ASSERT_EQ(game.CapturedBlack, blackLost);
      ASSERT_NO_THROW(game.CheckConsistency());
    }
    const std::string final = DrawBoard(game.Board);
    const auto log = game.CaptureLog;
    game.ReplayTo(0, 1);
    EXPECT_EQ(DrawBoard(game.Board), final);
    EXPECT_EQ(game.CaptureLog, log);
    EXPECT_EQ(game.CapturedWhite, whiteLost);
    EXPECT_EQ(game.CapturedBlack, blackLost);
  }
}

}  // namespace
}  // namespace kirobaku
