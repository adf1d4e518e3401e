#include "board/game_state.h"

#include <algorithm>
#include <stdexcept>

namespace kirobaku {

namespace {

const MoveEntry kEmptyEntry{};

// Flood fill over the group of colour `colour` that contains `start`. Returns
// whether the group touches an empty point; with stopAtLiberty the fill ends at
// the first liberty found. `visited` marks the stones reached.
template <typename Neighbours>
bool FillGroup(PointIndex start, StoneColour colour, bool stopAtLiberty, Neighbours neighbours,
               std::array<std::uint8_t, kPointCount + 1>& visited) {
  std::array<PointIndex, kPointCount> queue{};
  int head = 0;
  int tail = 0;
  queue[tail++] = start;
  visited[start] = 1;
  bool liberty = false;
  while (head < tail) {
    for (const Neighbour& n : neighbours(queue[head++])) {
      if (n.colour == kEmpty) {
        liberty = true;
        if (stopAtLiberty) return true;
      } else if (n.colour == colour && !visited[n.point]) {
        visited[n.point] = 1;
        queue[tail++] = n.point;
      }
    }
  }
  return liberty;
}

}  // namespace

const MoveEntry& GameState::EntryAt(std::int32_t i) const {
  if (i < 1 || i > kRecordSize) return kEmptyEntry;
  return MoveRecord[i];
}

void GameState::ClearPoint(PointIndex p) {
  View->ShowImage(p, kEmpty);
  View->SetLabelCaption(p, "");
  Board[p] = kEmpty;
}

void GameState::ShowCounter(StoneColour colour) {
  if (colour == kBlack) {
    View->SetEditText(2, std::to_string(CapturedBlack));
  } else {
    View->SetEditText(1, std::to_string(CapturedWhite));
  }
}

void GameState::ResetGame() {
  MoveNumber = 0;
  ToPlay = kBlack;
  Position = 0;
  CapturedBlack = 0;
  CapturedWhite = 0;
  KoPoint = 0;
  OverwriteConfirmed = 0;
  NigiriGuess = 0;
  YoseState = 0;
  VariationActive = 0;
  DeadState = 0;
  View->SetEditText(1, "0");
  View->SetEditText(2, "0");
  View->SetStatusText(0, " ");
  View->SetStatusText(1, " ");
  for (PointIndex p = 1; p <= kPointCount; ++p) {
    ClearPoint(p);
    CapturedFlag[p] = 0;
  }
  MoveRecord.fill(MoveEntry{});
  CaptureLog.clear();
}

NeighbourTable GameState::GetNeighbours(PointIndex p) const {
  NeighbourTable t{};
  const int column = ColumnOf(p);
  const int row = RowOf(p);
  auto at = [&](bool exists, PointIndex q) {
    return exists ? Neighbour{Board[q], q} : Neighbour{kOffBoard, 0};
  };
  t[0] = at(row > 0, p - 1);
  t[1] = at(row < kBoardSize - 1, p + 1);
  t[2] = at(column > 0, p - kBoardSize);
  t[3] = at(column < kBoardSize - 1, p + kBoardSize);
  return t;
}

bool GameState::CheckCaptures(PointIndex p) {
  Opp = OtherColour(Board[p]);
  CapturedFlag.fill(0);
  SingleCapture = 0;
  bool capturedAny = false;
  auto neighbours = [this](PointIndex q) { return GetNeighbours(q); };
  for (const Neighbour& candidate : GetNeighbours(p)) {
    if (candidate.colour != Opp || CapturedFlag[candidate.point]) continue;
    std::array<std::uint8_t, kPointCount + 1> visited{};
    if (FillGroup(candidate.point, Opp, true, neighbours, visited)) continue;
    int stones = 0;
    for (PointIndex q = 1; q <= kPointCount; ++q) {
      if (visited[q]) {
        CapturedFlag[q] = 1;
        ++stones;
      }
    }
    capturedAny = true;
    SingleCapture = stones == 1 ? candidate.point : 0;
  }
  return capturedAny;
}

PointIndex GameState::FindSuicideProbe(PointIndex p) const {
  const int column = ColumnOf(p);
  struct Direction {
    int step;
    bool sameColumn;
  };
  const Direction directions[] = {{-1, true}, {1, true}, {-kBoardSize, false}, {kBoardSize, false}};
  for (const Direction& d : directions) {
    PointIndex q = p;
    for (int steps = 0; steps < kBoardSize; ++steps) {
      q += d.step;
      if (!IsPoint(q) || (d.sameColumn && ColumnOf(q) != column)) break;
      if (Board[q] == kEmpty) break;
      if (Board[q] != ToPlay) return q;
    }
  }
  return 0;
}

bool GameState::HasLiberty(PointIndex p) const {
  std::array<std::uint8_t, kPointCount + 1> visited{};
  return FillGroup(
      p, Board[p], true, [this](PointIndex q) { return GetNeighbours(q); }, visited);
}

void GameState::RemoveCaptured(std::int32_t moveNumber) {
  int removed = 0;
  for (PointIndex q = 1; q <= kPointCount; ++q) {
    if (!CapturedFlag[q]) continue;
    ClearPoint(q);
    CaptureLog.push_back({Position, moveNumber, Opp, q});
    ++removed;
  }
  if (Opp == kBlack) {
    CapturedBlack += removed;
  } else {
    CapturedWhite += removed;
  }
  ShowCounter(Opp);
}

void GameState::ShowStone(std::int32_t moveNumber, StoneColour colour, PointIndex p,
                          int numberMode) {
  View->ShowImage(p, colour == kBlack ? kBlack : kWhite);
  if (numberMode == 1) {
    View->SetLabelCaption(p, moveNumber > 0 ? std::to_string(moveNumber) : "");
    View->SetLabelColour(p, colour == kBlack ? kLabelWhite : kLabelBlack);
    // Only the newest move shows its number; the previous one is cleared unless
    // it is this very point (its new number must stay).
    if (Position > 1 && IsPoint(LastPoint) && LastPoint != p) {
      View->SetLabelCaption(LastPoint, "");
    }
  }
  LastPoint = p;
}

void GameState::PlayMove(PointIndex p) {
  if (!IsPoint(p) || Board[p] != kEmpty || Position >= kRecordSize) {
    View->PlaySound(kSoundRefusal);
    return;
  }
  if (VariationActive == 0 && IsPoint(EntryAt(Position + 1).point) && OverwriteConfirmed == 0) {
    if (!View->AskYesNo("棋譜データに上書きしていいですか？\r\n\r\n")) return;
  }
  OverwriteConfirmed = 1;

  Position += 1;
  MoveNumber += 1;
  Board[p] = ToPlay;
  auto refuse = [&] {
    Position -= 1;
    MoveNumber -= 1;
    Board[p] = kEmpty;
    View->PlaySound(kSoundRefusal);
  };
  // A move that captures nothing is suicide when its own group is left without
  // a liberty. (The straight-line probe alone misses groups whose lines all end
  // at the edge and can blame a neighbouring group, so the group is tested.)
  if (!CheckCaptures(p) && !HasLiberty(p)) {
    refuse();
    return;
  }
  if (SingleCapture > 0 && p == KoPoint) {
    refuse();
    return;
  }
  KoPoint = SingleCapture;
  MoveRecord[Position] = {MoveNumber, ToPlay, p};
  RemoveCaptured(MoveNumber);
  ShowStone(MoveNumber, ToPlay, p, 1);
  View->PlaySound(kSoundClick);
  ToPlay = OtherColour(ToPlay);
}

void GameState::ReplayTo(std::int32_t n, int numberMode) {
  CapturedBlack = 0;
  CapturedWhite = 0;
  View->SetEditText(2, "0");
  View->SetEditText(1, "0");
  for (PointIndex p = 1; p <= kPointCount; ++p)
    ClearPoint(p);
  Position = 0;
  CaptureLog.clear();

  // n = 0 replays as far as the record goes, whatever its move numbers.
  const bool bounded = n != 0;
  std::int32_t last = 0;
  for (std::int32_t i = 1; i <= kRecordSize && (!bounded || last < n); ++i) {
    const MoveEntry& e = MoveRecord[i];
    if (e.point == 0 || e.move < last) break;
    // An entry the board cannot hold is passed over; Position still counts it
    // so that Position keeps naming the record index of the newest entry.
    Position += 1;
    if (!e.IsPlaceable()) continue;
    last = e.move;
    MoveNumber = last;
    ToPlay = e.colour;
    Board[e.point] = e.colour;
    ShowStone(MoveNumber, e.colour, e.point, numberMode);
    CheckCaptures(e.point);
    RemoveCaptured(MoveNumber);
  }
  ToPlay = OtherColour(ToPlay);
}

void GameState::SaveLine() {
  SavedPosition = Position;
  SavedCapturedBlack = CapturedBlack;
  SavedCapturedWhite = CapturedWhite;
  SavedRecord = MoveRecord;
}

void GameState::RestoreLine() {
  Position = SavedPosition;
  CapturedBlack = SavedCapturedBlack;
  CapturedWhite = SavedCapturedWhite;
  MoveRecord = SavedRecord;
  ReplayTo(Position, 0);
}

void GameState::CheckConsistency() const {
  auto fail = [](const std::string& what) { throw std::logic_error("game state: " + what); };
  for (PointIndex p = 1; p <= kPointCount; ++p) {
    if (Board[p] != kEmpty && !IsStoneColour(Board[p])) fail("bad colour at " + std::to_string(p));
  }
  if (Position < 0 || Position > kRecordSize) fail("Position out of range");
  if (MoveRecord[0] != MoveEntry{}) fail("record entry 0 is not empty");
  std::int32_t previous = 0;
  for (const CaptureEntry& c : CaptureLog) {
    if (c.position < previous || c.position > Position) fail("capture log out of order");
    if (!IsPoint(c.point) || !IsStoneColour(c.colour)) fail("bad capture log entry");
    previous = c.position;
  }
  if (CapturedBlack < 0 || CapturedWhite < 0) fail("negative capture counter");

  const bool showsRecord = (Mode == kModeGame || Mode == kModeFree) && MovingEntry == 0 &&
                           YoseState == 0 && !FigureShown;
  if (!showsRecord) return;
  // The replay runs on a copy of the record, shown nowhere.
  NullBoardView silent;
  GameState replay(silent);
  replay.MoveRecord = MoveRecord;
  for (std::int32_t i = 1; i <= Position; ++i) {
    const MoveEntry& e = MoveRecord[i];
    replay.Position = i;
    if (!e.IsPlaceable()) continue;
    replay.Board[e.point] = e.colour;
    replay.CheckCaptures(e.point);
    replay.RemoveCaptured(e.move);
  }
  for (PointIndex p = 1; p <= kPointCount; ++p) {
    if (Board[p] != replay.Board[p])
      fail("board differs from the record's replay at " + std::to_string(p));
  }
  if (CaptureLog != replay.CaptureLog) fail("capture log differs from the replay");
  if (CapturedBlack != replay.CapturedBlack || CapturedWhite != replay.CapturedWhite)
    fail("capture counters differ from the capture log");
}

}  // namespace kirobaku
