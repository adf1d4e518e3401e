// The game state of the program: board, move record, capture log and counters,
// with the rules that change them. One instance lives for the program's whole
// run; tests make their own. The state talks to the screen only through the
// BoardView it is given.
//
// Invariants (checked by CheckConsistency):
//  1. Board[p] is 0, 1 or 2 for every point 1..361.
//  2. 0 <= Position <= 400; MoveRecord[0] is always the empty entry.
//  3. The capture log holds one entry per stone removed by the moves now on the
//     board, in removal order: positions are ascending and never above Position,
//     points are on the board and colours are black or white.
//  4. CapturedBlack and CapturedWhite are never negative.
//  5. While the board shows the record (game or free mode, no stone being
//     moved, no yose count, no figure shown), the board, the capture log and
//     the two capture counters are what a fresh replay of entries 1..Position
//     makes of them.
//
// The record is untrusted (it comes from files and tables): every reader skips
// an entry whose point is outside 1..361 or whose colour is not 1 or 2, and
// nothing reads past entry 400.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "board/board_view.h"
#include "board/types.h"

namespace kirobaku {

// One MoveRecord entry. DO NOT CHANGE THE FIELD ORDER: entries are stored as
// rows (move number, colour, point) in the game-record tables.
struct MoveEntry {
  std::int32_t move = 0;    // 1, 2, 3 ... for moves; 0 for a setup stone
  std::int32_t colour = 0;  // 1 black, 2 white; 0 marks an empty entry
  std::int32_t point = 0;   // PointIndex; 0 in an empty entry

  bool operator==(const MoveEntry&) const = default;
  // An entry the board can place: a point on the board and a stone colour.
  bool IsPlaceable() const { return IsPoint(point) && IsStoneColour(colour); }
};

// One stone removed from the board, logged so that stepping back restores it.
struct CaptureEntry {
  std::int32_t position = 0;  // Position when removed: the record index of the capturing move
  std::int32_t move = 0;      // move number of that move
  std::int32_t colour = 0;    // colour of the removed stone
  std::int32_t point = 0;     // point of the removed stone

  bool operator==(const CaptureEntry&) const = default;
};

// Neighbours in the fixed scan order up, down, left, right; a missing neighbour
// has colour kOffBoard and point 0.
struct Neighbour {
  StoneColour colour = kOffBoard;
  PointIndex point = 0;
};
using NeighbourTable = std::array<Neighbour, 4>;

using Record = std::array<MoveEntry, kRecordSize + 1>;  // entries 1..400; [0] stays empty

// Play modes of the main window.
inline constexpr int kModeGame = 1;
inline constexpr int kModeFree = 2;
inline constexpr int kModeEnd = 3;
inline constexpr int kModeGomoku = 4;

// The mouse button of a click on a point's label.
enum class MouseButton { kLeft, kRight, kMiddle };

// The whole shift state of a mouse press: the held modifiers, the pressed
// button and whether it was a double click.
struct PointerState {
  MouseButton button = MouseButton::kLeft;
  bool shift = false;
  bool ctrl = false;
  bool alt = false;
  bool doubleClick = false;

  // Exactly Shift with the given button: no other modifier, not a double click.
  bool IsShiftOnly(MouseButton b) const {
    return button == b && shift && !ctrl && !alt && !doubleClick;
  }
};

// Phases of the yose count; YoseBoard and YoseCaptures are indexed by them.
inline constexpr int kYoseBlackFirst = 0;
inline constexpr int kYoseWhiteFirst = 1;

// One row of the printed figure's retake list: a stone played on a point that
// an earlier entry had already used.
struct RetakeRow {
  StoneColour colour = kEmpty;
  std::int32_t move = 0;
  std::int32_t firstEntry = 0;  // record index of the first entry on that point (401: none)

  bool operator==(const RetakeRow&) const = default;
};

struct GameState {
  explicit GameState(BoardView& view) : View(&view) {}

  BoardView* View;

  // --- The board and the record ---------------------------------------------
  std::array<StoneColour, kPointCount + 1> Board{};  // [1..361]
  std::int32_t Position = 0;    // entries of MoveRecord now placed on the board
  std::int32_t MoveNumber = 0;  // move number of the newest placed entry
  StoneColour ToPlay = kBlack;
  Record MoveRecord{};
  // Stones removed by the moves on the board. It grows as needed, so stepping
  // back always finds the stones of the move it takes back.
  std::vector<CaptureEntry> CaptureLog;
  std::int32_t CapturedBlack = 0;  // black stones removed (White's prisoners), Edit2
  std::int32_t CapturedWhite = 0;  // white stones removed (Black's prisoners), Edit1
  PointIndex KoPoint = 0;
  std::int32_t OverwriteConfirmed = 0;
  PointIndex LastPoint = 0;  // the label that shows the newest move number

  // The copy made by SaveLine.
  Record SavedRecord{};
  std::int32_t SavedPosition = 0;
  std::int32_t SavedCapturedBlack = 0;
  std::int32_t SavedCapturedWhite = 0;

  // Written by CheckCaptures.
  std::array<std::uint8_t, kPointCount + 1> CapturedFlag{};
  PointIndex SingleCapture = 0;
  StoneColour Opp = kEmpty;  // colour of the groups CheckCaptures tested

  // --- State of the window's commands, cleared by ResetGame -------------------
  std::int32_t Mode = kModeGame;  // not touched by ResetGame
  std::int32_t MovingEntry = 0;   // stone correction; not touched by ResetGame
  std::int32_t NigiriGuess = 0;   // 0 none, 1 odd, 2 even
  std::int32_t YoseState = 0;     // 0 none, 1 Black-first phase, 2 White-first phase
  std::int32_t VariationActive = 0;
  std::int32_t DeadState = 0;  // 1 while a group is marked dead

  // The group marked by MarkDeadGroup: a positive value is a point still to be
  // examined, -p a point p examined (and so in the group). It holds a whole
  // group, up to every point of the board; DeadCount() is its size.
  std::vector<std::int32_t> DeadList;

  // The yose count: the boards at the end of each phase, and the white and black
  // stones removed in each phase ({white, black}).
  std::array<std::array<StoneColour, 2>, kPointCount + 1> YoseBoard{};
  std::array<std::array<std::int32_t, 2>, 2> YoseCaptures{};
  std::int32_t YoseResult = 0;

  // The printed figure: its retake rows, and the colour to play and move number
  // from before preparing (restored when Position is 0).
  std::vector<RetakeRow> Retakes;
  StoneColour FigureToPlay = kBlack;
  std::int32_t FigureMoveNumber = 0;
  bool FigureShown = false;

  std::int32_t CaptureCount() const { return static_cast<std::int32_t>(CaptureLog.size()); }

  // Empty board and record, counters zeroed, black to play. Mode, LastPoint,
  // MovingEntry and the saved copy stay.
  void ResetGame();
  // The neighbours of p in the order up, down, left, right.
  NeighbourTable GetNeighbours(PointIndex p) const;
  // Tests the groups of the other colour touching the stone at p; flags the
  // stones of every group left without a liberty. Returns whether any group
  // was captured; SingleCapture is the point of the last captured group when it
  // has one stone, else 0. Precondition: Board[p] holds a stone.
  bool CheckCaptures(PointIndex p);
  // With the stone of ToPlay on p: the first stone of the other colour met by
  // walking up, down, left and right over ToPlay's stones, or 0.
  PointIndex FindSuicideProbe(PointIndex p) const;
  // Whether the group of the stone at p has a liberty.
  bool HasLiberty(PointIndex p) const;
  // Removes the flagged stones, logs them under Position and moveNumber, and
  // updates the counters and their edits.
  void RemoveCaptured(std::int32_t moveNumber);
  // Shows the stone; with numberMode 1 also its number, clearing the previous one.
  void ShowStone(std::int32_t moveNumber, StoneColour colour, PointIndex p, int numberMode);
  // The game-mode move at p. Refused with the refusal sound: an occupied point,
  // a full record, suicide and the immediate retake of a ko.
  void PlayMove(PointIndex p);
  // Rebuilds the board from the record up to move number n (0: as far as the
  // record goes), numbers shown with numberMode 1.
  void ReplayTo(std::int32_t n, int numberMode);
  void SaveLine();
  void RestoreLine();

  // --- Click dispatch (board/play_modes.cpp) ----------------------------------
  // A mouse press on the label of p: clears panel 0, then the stone correction
  // clicks (exactly Shift with left / right), else the action of Mode.
  void ClickPoint(PointIndex p, const PointerState& state);
  // Stone correction, first click: asks, then lifts the stone at p off the board
  // and remembers the newest record entry on p in MovingEntry.
  void LiftStone(PointIndex p);
  // Stone correction, second click: entry MovingEntry moves to p, without any
  // capture test.
  void DropStone(PointIndex p);
  // Free placement: black with the left button, white otherwise; captures
  // apply, no legality test. On a stone while the yose count runs it marks.
  void PlaceFree(PointIndex p, MouseButton button);
  // Gomoku: alternate stones on the board only; the record is not touched.
  void PlaceGomoku(PointIndex p);
  // First click marks the group of p with "*"; a click on the marked group
  // removes it and counts its stones as captured. Precondition: Board[p] > 0.
  void MarkDeadGroup(PointIndex p);
  std::int32_t DeadCount() const { return static_cast<std::int32_t>(DeadList.size()); }

  // --- Modes ---------------------------------------------------------------------
  // 対局 (kModeGame) or 自由 (kModeFree): leaves end-of-game mode first.
  void SelectGameOrFree(std::int32_t mode);
  // 終局: asks; on Yes Mode 3 and the position is saved.
  void SelectEndMode();
  void SelectGomoku() { Mode = kModeGomoku; }

  // --- Navigation (board/navigation.cpp) ------------------------------------------
  // 1手進む: places the next record entry, or says that there is none.
  void StepForward();
  // 1手戻す: StepBack, or says that the start is reached.
  void StepBackward();
  // Takes the entry at Position off the board and puts back what it captured
  // (and a stone it was placed over). Precondition: Position > 0.
  void StepBack();
  // 全手表示: replays to the last recorded move.
  void ShowAllMoves();
  // 初手に戻す: setup stones and the first move.
  void ShowFirstMove() { ReplayTo(1, 1); }
  // Rebuilds the board with exactly the record entries 1..count placed.
  void ReplayEntries(std::int32_t count, int numberMode);

  // --- Variation study, clear and undo (board/play_modes.cpp) --------------------
  void StartVariation();       // 変化検討
  void ReturnFromVariation();  // 元に戻す (the button): asks whether the study goes on
  void ClearGame();            // クリア
  void BringBackSaved();       // その他 → 元に戻す

  // --- Counting (board/counting.cpp) --------------------------------------------
  // Territory of an empty point from the first stones on its four lines:
  // 0 none seen, 1 black, 2 white, 3 mixed.
  std::int32_t ClassifyPoint(PointIndex p) const;
  // 地の計算.
  void CountTerritory();
  // Territory of p on the board of a yose phase: the colour of the first stones
  // seen when they agree, else 0.
  std::int32_t YoseClassify(PointIndex p, int phase) const;
  std::int32_t YoseEvaluate();
  // 出入計算 / 黒番処理 / 白番処理: one phase of the yose count per call.
  void AdvanceYose();
  // キャンセル: ends a running yose count and takes the dead-group marks away.
  void CancelCount();

  // --- Nigiri (board/nigiri.cpp) --------------------------------------------------
  // 握り（黒石丁半）: asks odd or even and shows the guess.
  void NigiriGuessBlack();
  // 握り（白石表示） with a handful of n white stones (20..39).
  void NigiriShowWhite(std::int32_t n);
  // The points where a handful of n white stones is laid out, in order.
  static std::vector<PointIndex> NigiriLayout(std::int32_t n);

  // --- The printed figure (board/figure.cpp) ------------------------------------
  // Shows every point's first stone with its move number and fills Retakes.
  // Returns the lines of the retake list, two rows to a line.
  std::vector<std::string> PrepareFigure();
  // Puts the board back as it was before preparing.
  void EndFigure();
  static std::vector<std::string> RetakeLines(const std::vector<RetakeRow>& rows);

  // Throws std::logic_error describing the first broken invariant.
  void CheckConsistency() const;

  // Entry i of the record, or the empty entry when i is outside 1..400.
  const MoveEntry& EntryAt(std::int32_t i) const;

 private:
  void ShowCounter(StoneColour colour);
  void ClearPoint(PointIndex p);
};

}  // namespace kirobaku
