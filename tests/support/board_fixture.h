// The fixture of the board model's tests: a game on a fake view, reset before
// each test, with moves played by their SGF coordinates.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>

#include "board/game_state.h"
#include "support/fake_board_view.h"

namespace kirobaku::test {

class BoardTest : public ::testing::Test {
 protected:
  FakeBoardView view;
  GameState game{view};

  void SetUp() override { game.ResetGame(); }

  // Plays the moves in order; every one must be accepted.
  void Play(std::initializer_list<const char*> moves) {
    for (const char* m : moves) {
      const int before = game.Position;
      game.PlayMove(Sgf(m));
      ASSERT_EQ(game.Position, before + 1) << "move " << m << " refused";
    }
  }
  // Puts a stone straight onto the board (a setup for a rule test).
  void Put(const char* xy, StoneColour c) { game.Board[Sgf(xy)] = c; }
};

}  // namespace kirobaku::test
