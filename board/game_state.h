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

  // Throws std::logic_error describing the first broken invariant.
  void CheckConsistency() const;

  // Entry i of the record, or the empty entry when i is outside 1..400.
  const MoveEntry& EntryAt(std::int32_t i) const;

 private:
  void ShowCounter(StoneColour colour);
  void ClearPoint(PointIndex p);
};

}  // namespace kirobaku
