// Duplicate games: a game is a duplicate of a stored one when their move
// lists are equal: the same moves (move number, colour, point, in record
// order, setup stones left out), at least one of them. Comments do not count,
// so the same game imported from two files with different headers is one
// game.
//
// TGameIndex holds every listed game under its key: the points of moves 20,
// 31, 40, 51, 60 and 71 (0 for one not stored). The keys are read in one
// query whose condition passes only those moves' rows, so the engine tests
// each stone row where it lies and the index costs no query per game. Games
// under one key are compared by their full move lists before they are
// called equal.
#pragma once

#include <array>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "board/game_state.h"
#include "records/data_module.h"

namespace kirobaku {

// The moves whose points make a game's key.
inline constexpr std::array<std::int32_t, 6> kKeyMoves{20, 31, 40, 51, 60, 71};
std::uint64_t KeyOf(const Record& entries);

class TGameIndex {
 public:
  // Reads the digests of every listed game (NB > 0) of the database.
  explicit TGameIndex(TDataModule1& data);

  // A stored game with the same moves as entries (the lowest number), or 0.
  std::int32_t Find(const Record& entries);
  // Takes a game just stored into the index.
  void Add(std::int32_t nb, const Record& entries);
  // Every stored game that repeats a game with a lower number, as pairs
  // (game, the lowest-numbered game equal to it), in game-number order.
  std::vector<std::pair<std::int32_t, std::int32_t>> Duplicates();
  std::size_t Games() const { return games_; }

 private:
  bool SameMoves(std::int32_t nb, const Record& entries);
  bool SameMoves(std::int32_t a, std::int32_t b);

  TDataModule1& data_;
  std::unordered_multimap<std::uint64_t, std::int32_t> by_key_;
  std::size_t games_ = 0;
};

}  // namespace kirobaku
