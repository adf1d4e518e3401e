// TDataModule1: the game-record database `kifu` and the two queries through
// which the program reaches it, with the operations the game-record window,
// the readers' import and the adjourned game perform on them.
//
// The database is the directory given at construction (the program's
// `kifu` folder). When the directory or one of its tables is missing, it is
// created: kifulist (NB integer, required; CMT string of 250; primary index
// on NB, so game numbers are unique and the list query is live) and kifudata
// (NB, MNO, CLR, PNT integers; no primary-key fields, so rows stay in the
// order appended; a secondary index "NB" on NB).
//
//   KuraQuery1  the list query: live, no row limit, "select * from kifulist"
//   KuraQuery2  the moves query: live, no row limit,
//               "select * from kifudata" / "where NB = :NB"
//   DataSource1 the list query, for the window's grid
//   DataSource2 the moves query (no control uses it)
//
// Fields are read and written by position. Storing an imported game,
// replacing a game's moves, rotating and deleting a game each run inside one
// transaction of the database: on any error everything the operation wrote
// is rolled back, so a game is never left with part of its moves.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "board/game_state.h"
#include "db/dataset/data_source.h"
#include "db/engine/dataset/kura_query.h"
#include "db/engine/dataset/kura_table.h"
#include "db/engine/session/kura_session.h"

namespace kirobaku {

class TDataModule1 {
  // First, so that it is created before the queries and goes after them.
  kura::TKuraDatabase database_;

 public:
  // The game number of the adjourned game, never listed.
  static constexpr std::int32_t kAdjournedGame = -1;
  // Where-clause of the game-record window's list.
  static constexpr const char* kListedGames = " Where NB > 0";

  explicit TDataModule1(const std::string& directory);
  ~TDataModule1();  // DataModuleDestroy: both queries close
  TDataModule1(const TDataModule1&) = delete;
  TDataModule1& operator=(const TDataModule1&) = delete;

  kura::TKuraQuery KuraQuery1;
  kura::TKuraQuery KuraQuery2;
  kura::TDataSource DataSource1;
  kura::TDataSource DataSource2;

  // Query operations.
  void OpenList(const std::string& where);
  void OpenMoves(std::int32_t nb);
  // The smallest positive number missing from the listed numbers (the list
  // query open on kListedGames).
  std::int32_t NextFreeGameNumber();

  // Data operations. `limit` counts entries; -1 stores every entry.
  // StoreImportedGame returns the number the game was stored under.
  std::int32_t StoreImportedGame(const std::string& comment, const Record& entries);
  // Copies the game's rows into entries 1, 2, ... and returns how many.
  std::int32_t LoadGame(std::int32_t nb, Record& record);
  void ReplaceMoves(std::int32_t nb, const Record& entries, std::int32_t limit);
  void RotateGame(std::int32_t nb);
  // Deletes the list query's current row and the game's stone rows; whether
  // the game had any.
  bool DeleteGame(std::int32_t nb);

  kura::TKuraDatabase& Database() { return database_; }

 private:
  friend class TGameImport;
  void CreateMissingTables();
  // Runs `body` in one transaction of the database, rolled back on error.
  template <typename F>
  void InTransaction(F&& body);
  void AppendEntries(std::int32_t nb, const Record& entries, std::int32_t limit);
  void DeleteCurrentRows(kura::TKuraQuery& query);
  // Appends the list row and the moves of a game under n (the body of a
  // store, inside a transaction).
  void StoreGameRows(std::int32_t n, const std::string& comment, const Record& entries);
  // Cancels pending rows and rolls the open transaction back; the queries
  // are read again.
  void RollBack();

  std::string list_where_ = kListedGames;
};

// A bulk import: games stored through it are written as StoreImportedGame
// writes them, but many to a transaction. A transaction holds whole games
// only and is committed (and flushed) by CommitWhenFull once it holds
// kGamesPerCommit games, or by Commit, so a kill or a power loss leaves
// every game whole or absent; the games of a transaction are stored when its commit has returned.
// An error in a store rolls back the open transaction: the games stored since the last commit are
// absent, and the import object is done. Destroyed without Commit, the open transaction is rolled
// back.
class TGameImport {
 public:
  static constexpr int kGamesPerCommit = 200;

  explicit TGameImport(TDataModule1& data);
  ~TGameImport();
  TGameImport(const TGameImport&) = delete;
  TGameImport& operator=(const TGameImport&) = delete;

  // Stores the game under the lowest free number, in the open transaction,
  // and returns the number; the game is durable once committed.
  std::int32_t Store(const std::string& comment, const Record& entries);
  // Commits when the open transaction holds kGamesPerCommit games.
  void CommitWhenFull();
  // Commits the open transaction (a cancelled import keeps what it stored).
  void Commit();
  // How many games are committed.
  std::size_t Committed() const { return committed_; }
  // Called after each commit with the count of committed games.
  std::function<void(std::size_t committed)> AfterCommit;

 private:
  void StoreStones(std::int32_t n, const Record& entries);

  TDataModule1& data_;
  // kifudata in its natural (appended) order: the stones are appended here,
  // without the moves query's condition and its reopening per game.
  kura::TKuraTable stones_;
  std::vector<std::uint8_t> stone_images_;  // one game's rows, reused
  int pending_ = 0;  // games in the open transaction
  std::size_t committed_ = 0;
};

}  // namespace kirobaku
