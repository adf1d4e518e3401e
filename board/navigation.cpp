// Move navigation: stepping through the record one entry at a time (on the
// board and the capture log) and rebuilding the board at a chosen entry.
#include "board/game_state.h"

namespace kirobaku {

void GameState::StepForward() {
  View->SetStatusText(0, "");
  const MoveEntry& e = EntryAt(Position + 1);
  if (Position >= kRecordSize || !e.IsPlaceable()) {
    View->SetStatusText(0, "もう進めません。");
    View->PlaySound(kSoundClick);
    return;
  }
  if (Position > 0 && IsPoint(LastPoint)) View->SetLabelCaption(LastPoint, "");
  Position += 1;
  MoveNumber = e.move;
  ToPlay = e.colour;
  Board[e.point] = e.colour;
  ShowStone(MoveNumber, e.colour, e.point, 1);
  CheckCaptures(e.point);
  RemoveCaptured(MoveNumber);
  ToPlay = OtherColour(ToPlay);
}

void GameState::StepBackward() {
  View->SetStatusText(0, "");
  if (Position == 0) {
    View->SetStatusText(0, "もう戻せません。");
    View->PlaySound(kSoundClick);
    return;
  }
  StepBack();
}

void GameState::StepBack() {
  if (Position <= 0) return;
  // An entry placed over a stone still on the board (free placement, stone
  // correction) hid that stone: only a replay of the entries before it shows
  // what was there. Otherwise the step is taken back in place.
  const PointIndex taken = EntryAt(Position).point;
  for (std::int32_t i = 1; i < Position && IsPoint(taken); ++i) {
    if (MoveRecord[i].point == taken && MoveRecord[i].IsPlaceable()) {
      ReplayEntries(Position - 1, 1);
      return;
    }
  }
  // The log is in removal order, so the stones of the entry taken back are its
  // tail; a stone removed by an earlier entry never carries this position.
  while (!CaptureLog.empty() && CaptureLog.back().position == Position) {
    const CaptureEntry c = CaptureLog.back();
    CaptureLog.pop_back();
    Board[c.point] = c.colour;
    View->ShowImage(c.point, c.colour);
    if (c.colour == kBlack) {
      CapturedBlack -= 1;
      ShowCounter(kBlack);
    } else {
      CapturedWhite -= 1;
      ShowCounter(kWhite);
    }
  }
  if (IsPoint(taken)) ClearPoint(taken);
  Position -= 1;
  MoveNumber -= 1;
  if (Position > 0) {
    const MoveEntry& e = EntryAt(Position);
    MoveNumber = e.move;
    if (IsPoint(e.point)) {
      View->SetLabelCaption(e.point, e.move > 0 ? std::to_string(e.move) : "");
      View->SetLabelColour(e.point, e.colour == kBlack ? kLabelWhite : kLabelBlack);
      LastPoint = e.point;
    }
    if (IsStoneColour(e.colour)) ToPlay = OtherColour(e.colour);
  }
}

void GameState::ShowAllMoves() {
  std::int32_t i = 1;
  while (i <= kRecordSize && EntryAt(i).IsPlaceable())
    ++i;
  ReplayTo(EntryAt(i - 1).move, 1);
}

void GameState::ReplayEntries(std::int32_t count, int numberMode) {
  CapturedBlack = 0;
  CapturedWhite = 0;
  View->SetEditText(2, "0");
  View->SetEditText(1, "0");
  for (PointIndex p = 1; p <= kPointCount; ++p)
    ClearPoint(p);
  Position = 0;
  CaptureLog.clear();
  for (std::int32_t i = 1; i <= count && i <= kRecordSize; ++i) {
    const MoveEntry& e = MoveRecord[i];
    Position += 1;
    if (!e.IsPlaceable()) continue;
    MoveNumber = e.move;
    ToPlay = OtherColour(e.colour);
    Board[e.point] = e.colour;
    ShowStone(MoveNumber, e.colour, e.point, numberMode);
    CheckCaptures(e.point);
    RemoveCaptured(MoveNumber);
  }
}

}  // namespace kirobaku
