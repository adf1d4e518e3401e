// Game-record benchmark: the data module's own operations on a real `kifu`
// database (kifulist with its primary index on NB, kifudata with its
// secondary index "NB"), against SQLite holding the same rows, side by side:
//
//   P4 load one game  LoadGame(k) through the dataset layer (the moves query
//                     reopened on "Where NB = :NB", its rows walked and read
//                     by position) for LOOKUPS random k of GAMES stored games
//                     of 250 moves; SQLite: SELECT * FROM kifudata WHERE NB = ?
//                     with its rows walked, prepared once per game (as the
//                     module prepares its query text again per load) and,
//                     for reference, prepared once for all
//   P6 store games    StoreImportedGame for STORES real games read from the
//                     SGF files of the test data (repeated to make up the
//                     number) into a fresh database, one transaction each;
//                     SQLite: per game one transaction of the lowest free
//                     number (the same walk over the ordered list), the list
//                     row and the game's rows, at its default durability
//                     (synchronous FULL, rollback journal), as the module
//                     flushes its files at every commit
//
// Prints times and kura/sqlite ratios (above 1: the engine is slower).
// Usage: bench_records_bench [GAMES [LOOKUPS [STORES [DIR]]]]   (STORES 0 skips P6)
//   DIR: where the databases go (default a fresh folder under /tmp).
#include <sqlite3.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "board/game_state.h"
#include "db/storage/coding.h"
#include "db/storage/storage_settings.h"
#include "db/storage/table/data_table.h"
#include "records/data_module.h"
#include "records/record_file.h"

namespace {

using Clock = std::chrono::steady_clock;
using kirobaku::MoveEntry;
using kirobaku::Record;
constexpr int kMovesPerGame = 250;
constexpr double kLoadSeconds = 30;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// A game of 250 moves on random points, alternating from black.
Record RandomGame(std::mt19937& rng) {
  Record r{};
  for (int m = 1; m <= kMovesPerGame; ++m)
    r[static_cast<std::size_t>(m)] = {m, m % 2 ? 1 : 2, static_cast<std::int32_t>(rng() % 361) + 1};
  return r;
}

struct Game {
  std::string comment;
  Record record{};
};

// Sums of what a load read, so both sides are seen to read the same rows.
struct Walked {
  std::int64_t rows = 0, sum = 0;
  void Add(std::int32_t mno, std::int32_t clr, std::int32_t pnt) {
    ++rows;
    sum += mno * 7 + clr * 3 + pnt;
  }
};

void Check(int rc, sqlite3* db, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    std::fprintf(stderr, "sqlite: %s: %s\n", what, sqlite3_errmsg(db));
    std::exit(1);
  }
}

sqlite3* OpenSqlite(const std::string& file, const char* pragmas) {
  sqlite3* db = nullptr;
  Check(sqlite3_open(file.c_str(), &db), db, "open");
  Check(sqlite3_exec(db, pragmas, nullptr, nullptr, nullptr), db, "pragmas");
  Check(sqlite3_exec(db,
                     "CREATE TABLE kifulist(NB INTEGER NOT NULL PRIMARY KEY, CMT VARCHAR(250));"
                     "CREATE TABLE kifudata(NB INTEGER, MNO INTEGER, CLR INTEGER, PNT INTEGER);"
                     "CREATE INDEX kifudata_nb ON kifudata(NB);",
                     nullptr, nullptr, nullptr),
        db, "create");
  return db;
}

// One game in SQLite: the list row and its moves, without a transaction of
// its own (the caller brackets).
void SqliteStore(sqlite3* db, sqlite3_stmt* list, sqlite3_stmt* moves, std::int32_t nb,
                 const Game& g) {
  sqlite3_bind_int(list, 1, nb);
  sqlite3_bind_text(list, 2, g.comment.data(), static_cast<int>(g.comment.size()), SQLITE_STATIC);
  Check(sqlite3_step(list), db, "insert list");
  sqlite3_reset(list);
  for (std::size_t i = 1; i <= kirobaku::kRecordSize && g.record[i].colour > 0; ++i) {
    const MoveEntry& e = g.record[i];
    sqlite3_bind_int(moves, 1, nb);
    sqlite3_bind_int(moves, 2, e.move);
    sqlite3_bind_int(moves, 3, e.colour);
    sqlite3_bind_int(moves, 4, e.point);
    Check(sqlite3_step(moves), db, "insert moves");
    sqlite3_reset(moves);
  }
}

struct Statements {
  sqlite3_stmt* list = nullptr;
  sqlite3_stmt* moves = nullptr;
  sqlite3_stmt* numbers = nullptr;
  explicit Statements(sqlite3* db) {
    Check(sqlite3_prepare_v2(db, "INSERT INTO kifulist VALUES(?, ?)", -1, &list, nullptr), db,
          "prepare");
    Check(sqlite3_prepare_v2(db, "INSERT INTO kifudata VALUES(?, ?, ?, ?)", -1, &moves, nullptr),
          db, "prepare");
    Check(sqlite3_prepare_v2(db, "SELECT NB FROM kifulist WHERE NB > 0 ORDER BY NB", -1, &numbers,
                             nullptr),
          db, "prepare");
  }
  ~Statements() {
    sqlite3_finalize(list);
    sqlite3_finalize(moves);
    sqlite3_finalize(numbers);
  }
};

// The lowest free game number, walked as the module walks its list.
std::int32_t SqliteNextFree(sqlite3_stmt* numbers) {
  std::int32_t k = 1;
  while (sqlite3_step(numbers) == SQLITE_ROW && sqlite3_column_int(numbers, 0) == k)
    ++k;
  sqlite3_reset(numbers);
  return k;
}

// ------------------------------------------------------------------ P4 ---

// The module creates the database (both tables, their indexes); the rows go
// into the table files as two bulk appends (each one commit through the
// journal, the indexes built from their sorted keys): storing 10,000 games
// one by one is what P6 measures on 1,000.
void BuildKifu(const std::string& kifu, const std::vector<Game>& games) {
  { kirobaku::TDataModule1 create(kifu); }
  using kura::TDataTable;
  TDataTable list(kifu, "kifulist", kura::DefaultStorageSettings());
  TDataTable moves(kifu, "kifudata", kura::DefaultStorageSettings());
  list.Open(false);
  moves.Open(false);
  const std::size_t ls = static_cast<std::size_t>(list.Data().RecordSize());
  const std::size_t ms = static_cast<std::size_t>(moves.Data().RecordSize());
  std::vector<std::uint8_t> rows(games.size() * ls, 0);
  std::vector<std::uint8_t> stones;
  stones.reserve(games.size() * kMovesPerGame * ms);
  auto put = [](TDataTable& t, std::uint8_t* rec, int field, std::int32_t v) {
    std::uint8_t b[4];
    kura::EncodeFixed32(b, static_cast<std::uint32_t>(v));
    t.Data().PutField(rec, t.Data().Field(field), {b, 4});
  };
  for (std::size_t g = 0; g < games.size(); ++g) {
    const auto nb = static_cast<std::int32_t>(g + 1);
    std::uint8_t* row = &rows[g * ls];
    put(list, row, 1, nb);
    list.Data().PutString(row, list.Data().Field(2), games[g].comment);
    for (std::size_t i = 1; i <= kirobaku::kRecordSize && games[g].record[i].colour > 0; ++i) {
      const MoveEntry& e = games[g].record[i];
      stones.resize(stones.size() + ms, 0);
      std::uint8_t* move = &stones[stones.size() - ms];
      put(moves, move, 1, nb);
      put(moves, move, 2, e.move);
      put(moves, move, 3, e.colour);
      put(moves, move, 4, e.point);
    }
  }
  list.BulkAppend(rows.data(), games.size(), true);
  moves.BulkAppend(stones.data(), stones.size() / ms, true);
  list.Close();
  moves.Close();
}

void LoadBenchmark(const std::string& dir, int games, std::size_t lookups) {
  std::mt19937 rng(20261209);
  std::vector<Game> stored(static_cast<std::size_t>(games));
  for (std::size_t i = 0; i < stored.size(); ++i) {
    stored[i].comment = "game " + std::to_string(i + 1);
    stored[i].record = RandomGame(rng);
  }
  std::vector<std::int32_t> keys;
  for (std::size_t i = 0; i < lookups; ++i)
    keys.push_back(static_cast<std::int32_t>(rng() % static_cast<unsigned>(games)) + 1);

  const std::string kifu = dir + "/p4-kifu";
  auto start = Clock::now();
  BuildKifu(kifu, stored);
  const double kura_build = Seconds(start);

  sqlite3* db = OpenSqlite(dir + "/p4.sqlite", "PRAGMA synchronous=OFF;");
  start = Clock::now();
  {
    Statements s(db);
    Check(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db, "begin");
    for (std::size_t i = 0; i < stored.size(); ++i)
      SqliteStore(db, s.list, s.moves, static_cast<std::int32_t>(i + 1), stored[i]);
    Check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db, "commit");
  }
  const double sqlite_build = Seconds(start);
  std::printf("P4: %d games x %d moves stored: kura %.1f s (two bulk appends), sqlite %.1f s\n",
              games, kMovesPerGame, kura_build, sqlite_build);

  // A fresh module, as after a restart of the program: nothing cached but
  // what the first loads bring in. The loads stop after kLoadSeconds when
  // they are slow; the same games are then read from SQLite.
  Walked kura_walk;
  double kura_load = 0;
  std::size_t loaded = 0;
  {
    kirobaku::TDataModule1 module(kifu);
    Record r{};
    start = Clock::now();
    for (; loaded < keys.size() && (loaded < 3 || Seconds(start) < kLoadSeconds); ++loaded) {
      const std::int32_t n = module.LoadGame(keys[loaded], r);
      for (std::size_t i = 1; i <= static_cast<std::size_t>(n); ++i)
        kura_walk.Add(r[i].move, r[i].colour, r[i].point);
    }
    kura_load = Seconds(start) / static_cast<double>(loaded);
  }
  keys.resize(loaded);

  const char* select = "SELECT * FROM kifudata WHERE NB = ?";
  Walked per_game_walk, once_walk;
  auto walk = [&](sqlite3_stmt* s, std::int32_t k, Walked& w) {
    sqlite3_bind_int(s, 1, k);
    while (sqlite3_step(s) == SQLITE_ROW)
      w.Add(sqlite3_column_int(s, 1), sqlite3_column_int(s, 2), sqlite3_column_int(s, 3));
    sqlite3_reset(s);
  };
  start = Clock::now();
  for (std::int32_t k : keys) {
    sqlite3_stmt* s = nullptr;
    Check(sqlite3_prepare_v2(db, select, -1, &s, nullptr), db, "prepare select");
    walk(s, k, per_game_walk);
    sqlite3_finalize(s);
  }
  const double sqlite_per_game = Seconds(start) / static_cast<double>(keys.size());
  sqlite3_stmt* once = nullptr;
  Check(sqlite3_prepare_v2(db, select, -1, &once, nullptr), db, "prepare select");
  start = Clock::now();
  for (std::int32_t k : keys)
    walk(once, k, once_walk);
  const double sqlite_once = Seconds(start) / static_cast<double>(keys.size());
  sqlite3_finalize(once);
  sqlite3_close(db);

  const bool same = kura_walk.rows == per_game_walk.rows && kura_walk.sum == per_game_walk.sum &&
                    once_walk.sum == per_game_walk.sum;
  std::printf("P4 load one game (%zu random games of %d, %lld rows read)%s\n", keys.size(), games,
              static_cast<long long>(kura_walk.rows), same ? "" : "  (rows differ!)");
  std::printf("  kura LoadGame                         %8.1f us a game   (goal <= 1000 us)\n",
              kura_load * 1e6);
  std::printf("  sqlite prepare + walk + finalize      %8.1f us a game   kura/sqlite %6.2f\n",
              sqlite_per_game * 1e6, kura_load / sqlite_per_game);
  std::printf("  sqlite walk, prepared once for all    %8.1f us a game   kura/sqlite %6.2f\n",
              sqlite_once * 1e6, kura_load / sqlite_once);
}

// ------------------------------------------------------------------ P6 ---

std::vector<Game> ReadRealGames(std::size_t count) {
  std::vector<std::filesystem::path> files;
  for (const auto& entry :
       std::filesystem::recursive_directory_iterator(KIROBAKU_TEST_DATA "/sgf")) {
    if (entry.is_regular_file() &&
        kirobaku::FormatOfFileName(entry.path()) != kirobaku::RecordFormat::kUnknown)
      files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  std::vector<Game> games;
  if (files.empty()) return games;
  for (std::size_t i = 0; i < count; ++i) {
    Game g;
    g.comment = kirobaku::ReadGameRecord(files[i % files.size()], g.record);
    games.push_back(std::move(g));
  }
  return games;
}

void StoreBenchmark(const std::string& dir, std::size_t stores) {
  auto start = Clock::now();
  const std::vector<Game> games = ReadRealGames(stores);
  const double read = Seconds(start);
  if (games.empty()) {
    std::fprintf(stderr, "no game records under %s\n", KIROBAKU_TEST_DATA "/sgf");
    std::exit(1);
  }
  std::int64_t rows = 0;
  for (const Game& g : games)
    rows += kirobaku::CountEntries(g.record);

  double kura = 0;
  {
    kirobaku::TDataModule1 module(dir + "/p6-kifu");
    module.OpenList(kirobaku::TDataModule1::kListedGames);
    start = Clock::now();
    for (const Game& g : games)
      module.StoreImportedGame(g.comment, g.record);
    kura = Seconds(start);
  }

  sqlite3* db = OpenSqlite(dir + "/p6.sqlite", "PRAGMA synchronous=FULL;");
  double sqlite = 0;
  {
    Statements s(db);
    start = Clock::now();
    for (const Game& g : games) {
      Check(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db, "begin");
      SqliteStore(db, s.list, s.moves, SqliteNextFree(s.numbers), g);
      Check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db, "commit");
    }
    sqlite = Seconds(start);
  }
  sqlite3_close(db);

  const double n = static_cast<double>(games.size());
  std::printf("P6 store imported games (%zu games read from files in %.2f s, %lld rows)\n",
              games.size(), read, static_cast<long long>(rows));
  std::printf("  kura StoreImportedGame                %8.0f games/s   (goal >= 1000)\n", n / kura);
  std::printf("  sqlite one transaction a game         %8.0f games/s   kura/sqlite (time) %6.2f\n",
              n / sqlite, kura / sqlite);
}

}  // namespace

int main(int argc, char** argv) {
  const int games = argc > 1 ? std::atoi(argv[1]) : 10000;
  const std::size_t lookups = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1000;
  const std::size_t stores = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 1000;
  if (games < 1 || lookups < 1) return 2;
  std::string dir;
  if (argc > 4) {
    dir = std::string(argv[4]) + "/records-bench";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
  } else {
    char pattern[] = "/tmp/records-bench-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    if (!made) return 2;
    dir = made;
  }
  try {
    if (stores > 0) StoreBenchmark(dir, stores);
    LoadBenchmark(dir, games, lookups);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "records bench: %s\n", e.what());
    std::filesystem::remove_all(dir);
    return 1;
  }
  std::filesystem::remove_all(dir);
  return 0;
}
