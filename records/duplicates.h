// Duplicate games: a game is a duplicate of a stored one when their move
// lists are equal: the same moves (move number, colour, point, in record
// order, setup stones left out), at least one of them. Comments do not count,
// so the same game imported from two files with different headers is one
// game.
//
// TGameIndex holds, for every listed game, a 64-bit digest of its move list,
// read in one walk over kifudata in physical order (no query per game). Two
// games with one digest are compared by their full move lists before they
// are called equal, so a digest collision never makes a game a duplicate.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "board/game_state.h"
#include "records/data_module.h"

namespace kirobaku {

// The digest of a move list, built one move at a time.
class TMovesDigest {
 public:
  void Add(std::int32_t move, std::int32_t colour, std::int32_t point);
  std::uint64_t Value() const { return value_; }
  std::int32_t Moves() const { return moves_; }

 private:
  std::uint64_t value_ = 14695981039346656037ull;  // FNV-1a offset basis
  std::int32_t moves_ = 0;
};

TMovesDigest DigestOf(const Record& entries);

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
  std::unordered_multimap<std::uint64_t, std::int32_t> by_digest_;
  std::size_t games_ = 0;
};

}  // namespace kirobaku
