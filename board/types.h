// The board's basic types and the fixed sizes of the game state.
#pragma once

#include <cstdint>

namespace kirobaku {

// An intersection, 1..361, numbered down each column first:
// point = 19 x column + row + 1, column and row 0..18 from the top-left corner.
// 0 means no point.
using PointIndex = std::int32_t;

// 0 empty, 1 black, 2 white; 3 only for a neighbour off the board.
using StoneColour = std::int32_t;

inline constexpr int kBoardSize = 19;
inline constexpr int kPointCount = kBoardSize * kBoardSize;  // 361
inline constexpr int kRecordSize = 400;                      // MoveRecord entries

inline constexpr StoneColour kEmpty = 0;
inline constexpr StoneColour kBlack = 1;
inline constexpr StoneColour kWhite = 2;
inline constexpr StoneColour kOffBoard = 3;

// The other colour of black or white (2 div k).
constexpr StoneColour OtherColour(StoneColour c) {
  return c == kBlack ? kWhite : kBlack;
}

constexpr bool IsPoint(std::int32_t p) {
  return p >= 1 && p <= kPointCount;
}
constexpr bool IsStoneColour(std::int32_t c) {
  return c == kBlack || c == kWhite;
}

constexpr int ColumnOf(PointIndex p) {
  return (p - 1) / kBoardSize;
}
constexpr int RowOf(PointIndex p) {
  return (p - 1) % kBoardSize;
}
constexpr PointIndex PointAt(int column, int row) {
  return kBoardSize * column + row + 1;
}

}  // namespace kirobaku
