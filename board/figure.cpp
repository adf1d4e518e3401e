// The printed figure of a game record: each point shows the first stone played
// there with its move number; stones played later on used points (retakes) are
// listed as text, two to a line:
//   "   ●052(017)     ○053(024)     "
// mark (● black, ○ white), move number and the record index of the first entry
// on the same point, each as the last three digits.
#include <cstdio>

#include "board/game_state.h"

namespace kirobaku {

namespace {

std::string ThreeDigits(std::int32_t n) {
  char text[8];
  std::snprintf(text, sizeof text, "%03d", ((n % 1000) + 1000) % 1000);
  return text;
}

}  // namespace

std::vector<std::string> GameState::PrepareFigure() {
  if (!FigureShown) {
    FigureToPlay = ToPlay;
    FigureMoveNumber = MoveNumber;
    FigureShown = true;
  }
  Retakes.clear();
  for (PointIndex p = 1; p <= kPointCount; ++p)
    ClearPoint(p);
  for (std::int32_t i = 1; i <= kRecordSize && MoveRecord[i].colour > 0; ++i) {
    const MoveEntry& e = MoveRecord[i];
    if (!e.IsPlaceable()) continue;
    MoveNumber = e.move;
    ToPlay = e.colour;
    if (Board[e.point] != kEmpty) {
      std::int32_t first = kRecordSize + 1;
      for (std::int32_t j = 1; j <= kRecordSize; ++j) {
        if (MoveRecord[j].point == e.point) {
          first = j;
          break;
        }
      }
      Retakes.push_back({e.colour, e.move, first});
      continue;
    }
    Board[e.point] = e.colour;
    View->ShowImage(e.point, e.colour);
    View->SetLabelColour(e.point, e.colour == kBlack ? kLabelWhite : kLabelBlack);
    View->SetLabelCaption(e.point, e.move > 0 ? std::to_string(e.move) : "");
  }
  return RetakeLines(Retakes);
}

std::vector<std::string> GameState::RetakeLines(const std::vector<RetakeRow>& rows) {
  std::vector<std::string> lines;
  std::string line = "   ";
  for (std::size_t k = 0; k < rows.size(); ++k) {
    const RetakeRow& r = rows[k];
    line += (r.colour == kBlack ? "●" : "○") + ThreeDigits(r.move) + "(" +
            ThreeDigits(r.firstEntry) + ")     ";
    if (k % 2 == 1) {
      lines.push_back(line);
      line = "   ";
    }
  }
  if (rows.size() % 2 == 1) lines.push_back(line);
  return lines;
}

void GameState::EndFigure() {
  if (Position == 0) {
    // Nothing of the record was on the board: the empty board comes back, with
    // the colour to play and the move number from before preparing.
    ReplayEntries(0, 1);
    if (FigureShown) {
      ToPlay = FigureToPlay;
      MoveNumber = FigureMoveNumber;
    }
  } else {
    // Exactly the entries on the board before preparing; a replay by move
    // number would stop early after a variation or run on past setup stones.
    ReplayEntries(Position, 1);
  }
  FigureShown = false;
}

}  // namespace kirobaku
