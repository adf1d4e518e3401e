// Counting: the territory count after dead groups are removed, and the yose
// count, which plays an endgame area out with Black first and with White first
// and compares the two results.
#include "board/game_state.h"

namespace kirobaku {

namespace {

// The colour of the first stone on the board from p stepping by `step`, while
// `inLine` accepts the next point; 0 when the line ends first.
template <typename Board, typename InLine>
StoneColour FirstStone(const Board& colourAt, PointIndex p, int step, InLine inLine) {
  for (PointIndex q = p + step; IsPoint(q) && inLine(q); q += step) {
    const StoneColour c = colourAt(q);
    if (IsStoneColour(c)) return c;
  }
  return kEmpty;
}

// The first stones seen from p up, down, left and right (0 for none).
template <typename Board>
std::array<StoneColour, 4> LinesFrom(const Board& colourAt, PointIndex p) {
  const int column = ColumnOf(p);
  auto sameColumn = [column](PointIndex q) { return ColumnOf(q) == column; };
  auto anywhere = [](PointIndex) { return true; };
  return {FirstStone(colourAt, p, -1, sameColumn), FirstStone(colourAt, p, 1, sameColumn),
          FirstStone(colourAt, p, -kBoardSize, anywhere),
          FirstStone(colourAt, p, kBoardSize, anywhere)};
}

}  // namespace

std::int32_t GameState::ClassifyPoint(PointIndex p) const {
  int n = 0;
  int s = 0;
  for (StoneColour c : LinesFrom([this](PointIndex q) { return Board[q]; }, p)) {
    if (c == kEmpty) continue;
    n += 1;
    s += c;
  }
  if (n == 0) return 0;
  if (s % n != 0) return 3;
  return s / n;
}

void GameState::CountTerritory() {
  if (Mode != kModeEnd) {
    View->ShowMessage("「終局モード」に切り替えてください。");
    return;
  }
  if (!View->AskYesNo("死石の除去は終わりましたか？")) return;
  int black = 0;
  int white = 0;
  int pending = 0;
  int last = 0;
  for (PointIndex p = 1; p <= kPointCount; ++p) {
    if (Board[p] != kEmpty) continue;
    switch (ClassifyPoint(p)) {
      case 0:
        pending += 1;
        break;
      case 1:
        black += pending + 1;
        pending = 0;
        last = 1;
        break;
      case 2:
        white += pending + 1;
        pending = 0;
        last = 2;
        break;
      default:
        break;  // seen by both colours: nobody's
    }
  }
  if (pending > 0) (last == 1 ? black : white) += pending;
  View->SetStatusText(0, "黒 " + std::to_string(black - CapturedBlack) + " 目、白 " +
                             std::to_string(white - CapturedWhite) + " 目です。");
  View->PlaySound(kSoundClick);
}

std::int32_t GameState::YoseClassify(PointIndex p, int phase) const {
  bool black = false;
  bool white = false;
  for (StoneColour c : LinesFrom([this, phase](PointIndex q) { return YoseBoard[q][phase]; }, p)) {
    black = black || c == kBlack;
    white = white || c == kWhite;
  }
  if (black == white) return 0;
  return black ? kBlack : kWhite;
}

std::int32_t GameState::YoseEvaluate() {
  int sum = 0;
  for (PointIndex p = 1; p <= kPointCount; ++p) {
    std::array<std::int32_t, 2> c{};
    for (int phase : {kYoseBlackFirst, kYoseWhiteFirst}) {
      c[phase] = IsStoneColour(YoseBoard[p][phase]) ? 3 : YoseClassify(p, phase);
    }
    const std::int32_t b = c[kYoseBlackFirst];
    const std::int32_t w = c[kYoseWhiteFirst];
    if ((b == 1 && w == 3) || (b == 3 && w == 2)) sum += 1;
    if ((b == 2 && w == 3) || (b == 3 && w == 1)) sum -= 1;
    // Territory that changes hands with the first move is worth two points.
    if (b == 1 && w == 2) sum += 2;
    if (b == 2 && w == 1) sum -= 2;
  }
  const auto& bf = YoseCaptures[kYoseBlackFirst];  // {white removed, black removed}
  const auto& wf = YoseCaptures[kYoseWhiteFirst];
  YoseResult = (bf[0] - bf[1]) + (wf[1] - wf[0]) + sum;
  return YoseResult;
}

void GameState::AdvanceYose() {
  Mode = kModeFree;
  View->SelectModeButton(kModeFree);
  auto zeroCounters = [this] {
    CapturedBlack = 0;
    CapturedWhite = 0;
    View->SetEditText(1, "0");
    View->SetEditText(2, "0");
  };
  auto keepPhase = [this](int phase) {
    YoseCaptures[phase] = {CapturedWhite, CapturedBlack};
    for (PointIndex p = 1; p <= kPointCount; ++p)
      YoseBoard[p][phase] = Board[p];
  };
  if (YoseState == 0) {
    SaveLine();
    VariationActive = 1;
    MoveNumber = 0;
    YoseState = 1;
    ToPlay = kBlack;
    zeroCounters();
    View->SetYoseCaption("黒番処理");
    View->SetStatusText(
        0, "黒番のヨセをダメ詰めまで打ち、\r\n「黒番処理」ボタンをクリックしてください。");
    View->SetStatusText(1, "出入計算中");
  } else if (YoseState == 1) {
    keepPhase(kYoseBlackFirst);
    RestoreLine();
    zeroCounters();
    YoseState = 2;
    MoveNumber = 0;
    ToPlay = kWhite;
    View->SetYoseCaption("白番処理");
    View->SetStatusText(
        0, "白番のヨセをダメ詰めまで打ち、\r\n「白番処理」ボタンをクリックしてください。");
  } else {
    keepPhase(kYoseWhiteFirst);
    YoseState = 0;
    YoseEvaluate();
    YoseCaptures = {};
    YoseBoard = {};
    CapturedBlack = 0;
    CapturedWhite = 0;
    RestoreLine();
    View->SetYoseCaption("出入計算");
    View->SetStatusText(0, "出入り　" + std::to_string(YoseResult) + "目です。");
    View->SetStatusText(1, "");
    VariationActive = 0;
  }
}

void GameState::CancelCount() {
  if (YoseState > 0) {
    RestoreLine();
    View->SetYoseCaption("出入計算");
    View->SetStatusText(0, "");
    View->SetStatusText(1, "");
    VariationActive = 0;
    YoseState = 0;
  }
  if (DeadState > 0) {
    DeadState = 0;
    for (std::int32_t slot : DeadList) {
      if (slot < 0) View->SetLabelCaption(-slot, "");
    }
  }
}

}  // namespace kirobaku
