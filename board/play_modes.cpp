// The click dispatch of the board, stone correction, the play modes, dead-group
// marking, and the commands that put the game aside and bring it back.
#include <algorithm>

#include "board/game_state.h"

namespace kirobaku {

void GameState::ClickPoint(PointIndex p, const PointerState& state) {
  View->SetStatusText(0, "");
  if (!IsPoint(p)) return;
  if (state.IsShiftOnly(MouseButton::kLeft) && Board[p] > 0) {
    LiftStone(p);
    return;
  }
  if (state.IsShiftOnly(MouseButton::kRight) && MovingEntry > 0) {
    DropStone(p);
    return;
  }
  switch (Mode) {
    case kModeGame:
      PlayMove(p);
      break;
    case kModeFree:
      PlaceFree(p, state.button);
      break;
    case kModeEnd:
      if (Board[p] > 0) MarkDeadGroup(p);
      break;
    case kModeGomoku:
      PlaceGomoku(p);
      break;
    default:
      break;
  }
}

void GameState::LiftStone(PointIndex p) {
  if (!View->AskYesCancel("間違えた石を除去しますか？\r\n\r\n")) return;
  ClearPoint(p);
  for (std::int32_t i = kRecordSize; i >= 1; --i) {
    if (MoveRecord[i].point == p) {
      MovingEntry = i;
      break;
    }
  }
  View->SetStatusText(0, "移動先でシフトキーを押しながら、右クリックしてください。");
}

void GameState::DropStone(PointIndex p) {
  if (MovingEntry < 1 || MovingEntry > kRecordSize) {
    MovingEntry = 0;
    return;
  }
  MoveEntry& e = MoveRecord[MovingEntry];
  e.point = p;
  MovingEntry = 0;
  // A lifted entry may come from an untrusted record; only a stone colour is
  // put on the board.
  if (!IsStoneColour(e.colour)) return;
  Board[p] = e.colour;
  ShowStone(e.move, e.colour, p, 0);
}

void GameState::PlaceFree(PointIndex p, MouseButton button) {
  if (Board[p] > 0 && YoseState != 0) {
    MarkDeadGroup(p);
    return;
  }
  if (Position >= kRecordSize) {
    View->PlaySound(kSoundRefusal);
    return;
  }
  Position += 1;
  MoveNumber = 0;
  ToPlay = button == MouseButton::kLeft ? kBlack : kWhite;
  Board[p] = ToPlay;
  MoveRecord[Position] = {0, ToPlay, p};
  CheckCaptures(p);
  RemoveCaptured(0);
  ShowStone(0, ToPlay, p, 0);
  ToPlay = OtherColour(ToPlay);
}

void GameState::PlaceGomoku(PointIndex p) {
  MoveNumber += 1;
  Board[p] = ToPlay;
  ShowStone(MoveNumber, ToPlay, p, 0);
  ToPlay = OtherColour(ToPlay);
}

void GameState::MarkDeadGroup(PointIndex p) {
  if (!IsPoint(p)) return;
  auto inList = [this](PointIndex q) {
    return std::find(DeadList.begin(), DeadList.end(), q) != DeadList.end() ||
           std::find(DeadList.begin(), DeadList.end(), -q) != DeadList.end();
  };
  if (DeadState == 0) {
    if (!IsStoneColour(Board[p])) return;
    DeadList.assign(1, p);
    // Every point enters the list once, so the walk ends after at most 361 slots.
    for (std::size_t k = 0; k < DeadList.size(); ++k) {
      const PointIndex q = DeadList[k];
      DeadList[k] = -q;
      for (const Neighbour& n : GetNeighbours(q)) {
        if (n.colour == Board[q] && !inList(n.point)) DeadList.push_back(n.point);
      }
    }
    // The mark contrasts with its stone, as move numbers do.
    for (std::int32_t slot : DeadList) {
      View->SetLabelColour(-slot, Board[-slot] == kBlack ? kLabelWhite : kLabelBlack);
      View->SetLabelCaption(-slot, "*");
    }
    DeadState = 1;
    return;
  }
  if (std::find(DeadList.begin(), DeadList.end(), -p) == DeadList.end()) return;
  for (std::int32_t slot : DeadList) {
    const PointIndex q = -slot;
    const StoneColour c = Board[q];
    View->ShowImage(q, kEmpty);
    View->SetLabelCaption(q, "");
    // A marked point emptied since (by a placement in another mode) counts
    // for nobody.
    if (c == kBlack) {
      CapturedBlack += 1;
      ShowCounter(kBlack);
    } else if (c == kWhite) {
      CapturedWhite += 1;
      ShowCounter(kWhite);
    }
    Board[q] = kEmpty;
  }
  DeadState = 0;
}

void GameState::SelectGameOrFree(std::int32_t mode) {
  if (Mode == kModeEnd) {
    while (MoveNumber != 0 && Position > 0)
      StepBack();
    RestoreLine();
    Position = SavedPosition;
    ReplayTo(EntryAt(Position).move, mode == kModeGame ? 1 : 0);
    if (Position > 0) {
      const MoveEntry& e = EntryAt(Position);
      if (IsStoneColour(e.colour)) ToPlay = OtherColour(e.colour);
      MoveNumber = e.move;
      if (IsPoint(e.point)) View->SetLabelCaption(e.point, std::to_string(MoveNumber));
    }
  }
  Mode = mode;
}

void GameState::SelectEndMode() {
  if (!View->AskYesNo("必要な手入れは終わりましたか？")) return;
  Mode = kModeEnd;
  SaveLine();
}

void GameState::StartVariation() {
  SaveLine();
  VariationActive = 1;
  MoveNumber = 0;
  View->SetStatusText(1, "変化手順の検討中");
}

void GameState::ReturnFromVariation() {
  RestoreLine();
  View->SetEditText(1, std::to_string(CapturedWhite));
  View->SetEditText(2, std::to_string(CapturedBlack));
  if (View->AskYesNo("変化手順の検討を続けますか？")) {
    MoveNumber = 0;
  } else {
    VariationActive = 0;
    View->SetStatusText(1, "");
  }
}

void GameState::ClearGame() {
  SaveLine();
  ResetGame();
}

void GameState::BringBackSaved() {
  RestoreLine();
  const std::int32_t at = std::clamp(SavedPosition, 0, kRecordSize);
  ReplayTo(at == 0 ? 0 : SavedRecord[at].move, 1);
}

}  // namespace kirobaku
