// Nigiri: one player guesses odd or even with black stones, the other grabs a
// handful of white stones; the stones are pictures only, never on the Board.
#include "board/game_state.h"

namespace kirobaku {

namespace {
// Where the guess stones are shown: point 301 always, point 320 for even.
constexpr PointIndex kGuessOddPoint = 301;
constexpr PointIndex kGuessEvenPoint = 320;
}  // namespace

void GameState::NigiriGuessBlack() {
  NigiriGuess = 1;
  if (!View->AskYesNo("半は「はい」、丁は「いいえ」を選んでください。")) NigiriGuess = 2;
  if (NigiriGuess == 2) View->ShowImage(kGuessEvenPoint, kBlack);
  View->ShowImage(kGuessOddPoint, kBlack);
  View->SetStatusText(0, "次に「白石表示」を実行してください。");
}

std::vector<PointIndex> GameState::NigiriLayout(std::int32_t n) {
  // Pairs down columns 3 and 4 from row 3, ten pairs to a block; the next block
  // starts three columns to the right.
  std::vector<PointIndex> points;
  std::int32_t base = 60;
  std::int32_t j = 0;
  for (std::int32_t i = 1; i <= n && i <= kPointCount;) {
    j += 1;
    if (j > 10) {
      j = 1;
      base += 57;
    }
    if (!IsPoint(base + j + kBoardSize)) break;
    points.push_back(base + j);
    if (i >= n) break;
    i += 1;
    points.push_back(base + j + kBoardSize);
    i += 1;
  }
  return points;
}

void GameState::NigiriShowWhite(std::int32_t n) {
  View->SetStatusText(0, "");
  if (NigiriGuess == 0) {
    View->ShowMessage("「握り（黒石丁半）」を先に実行してください。");
    return;
  }
  for (PointIndex p : NigiriLayout(n))
    View->ShowImage(p, kWhite);
  const std::int32_t parity = n % 2 == 1 ? 1 : 2;
  View->ShowMessage(parity == NigiriGuess ? "黒石を置いた人が先番です。"
                                          : "白石を握った人が先番です。");
  ResetGame();
}

}  // namespace kirobaku
