// Cursor benchmark on a table shaped like the game records' moves table:
// NB, MNO, CLR, PNT (32-bit integers), GAMES games of 250 rows appended game
// by game (2,500,000 rows by default), a non-unique secondary index "NB" on
// NB; the same rows in a second table without any index. The same tables in
// SQLite (one with an index on NB, one without), side by side in one run:
//
//   game by index    NB = k through the index, its 250 rows walked with a
//                    cursor (a key range on the index "NB"; also as a filter
//                    "NB = k", which selection answers from the index), for
//                    LOOKUPS random k; SQLite: a prepared
//                    SELECT NB, MNO, CLR, PNT FROM moves WHERE NB = ?
//   game, no index   the same condition on the table without an index (a
//                    filter evaluated record by record), for SCANS random k
//   per-record filter PNT + 0 = 181 on the indexed table (no index serves
//                    it), every passing row walked, SCANS times
//
// The engine side reads through a TDataCursor opened through a database of
// an engine session (shared, not exclusive: every cursor step pays its
// begin-read and end-read, whose cost is printed on its own). Prints the
// times per operation and kura/sqlite ratios (above 1: the engine is slower).
//
// Usage: bench_cursor_bench [GAMES [LOOKUPS [SCANS [INDEX_CACHE_BYTES [RECORD_CACHE_BYTES [DIR]]]]]]
//   DIR: where the tables go, kept afterwards; tables a run left there (with
//   the same GAMES) are used again instead of being built.
#include <sqlite3.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "db/engine/cursor/data_cursor.h"
#include "db/engine/session/data_session.h"
#include "db/storage/coding.h"
#include "db/storage/index/index_file.h"
#include "db/storage/table/data_table.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRowsPerGame = 250;
constexpr int kPoint = 181;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

struct Move {
  std::int32_t nb, mno, clr, pnt;
};

std::vector<Move> MakeMoves(int games) {
  std::mt19937 rng(20261209);
  std::vector<Move> moves;
  moves.reserve(static_cast<std::size_t>(games) * kRowsPerGame);
  for (int g = 1; g <= games; ++g)
    for (int m = 1; m <= kRowsPerGame; ++m)
      moves.push_back({g, m, 2 - m % 2, static_cast<std::int32_t>(rng() % 361) + 1});
  return moves;
}

// Sums of what a walk read, so both sides are seen to read the same rows.
struct Walked {
  std::int64_t rows = 0, sum = 0;
  void Add(std::int32_t nb, std::int32_t mno, std::int32_t clr, std::int32_t pnt) {
    ++rows;
    sum += nb + mno + clr + pnt;
  }
};

struct Figures {
  double build = 0;
  double by_range = 0, by_filter = 0;  // per game, through the index
  double no_index = 0;                 // per game, no index
  double per_record = 0;               // per whole-table filter walk
  Walked range_walk, filter_walk, scan_walk, eval_walk;
};

// ---------------------------------------------------------------- engine ---

void BuildKura(const std::string& dir, const std::string& name, bool index,
               const std::vector<Move>& moves) {
  using namespace kura;
  TDataTable table(dir, name, kura::DefaultStorageSettings());
  std::vector<TFieldDefinition> fields;
  for (const char* f : {"NB", "MNO", "CLR", "PNT"}) {
    TFieldDefinition d;
    d.name = f;
    d.type = kFieldInteger;
    fields.push_back(d);
  }
  // Created open exclusively: the rows go in without the lock protocol.
  table.Create(fields, TTableOptions{}, TIndexCreateOptions{true});
  if (index) {
    TIndexDefinition def;
    def.name = "NB";
    def.fields = {1};
    dynamic_cast<TIndexFile&>(table.Index()).AddSecondaryIndex(table.Data(), def);
  }
  TDataFile& data = table.Data();
  // The rows go in as one bulk append (one commit through the journal, the
  // index built from its sorted keys), as kura append loads a table.
  const std::size_t rs = static_cast<std::size_t>(data.RecordSize());
  std::vector<std::uint8_t> images(moves.size() * rs, 0);
  for (std::size_t r = 0; r < moves.size(); ++r) {
    const Move& m = moves[r];
    const std::int32_t v[4] = {m.nb, m.mno, m.clr, m.pnt};
    for (int i = 0; i < 4; ++i) {
      std::uint8_t b[4];
      EncodeFixed32(b, static_cast<std::uint32_t>(v[i]));
      data.PutField(&images[r * rs], data.Field(i + 1), {b, 4});
    }
  }
  table.BulkAppend(images.data(), moves.size(), true);
  table.Close();
}

void Read(const kura::TDataCursor& c, const std::vector<std::uint8_t>& rec, Walked& w) {
  std::int32_t v[4];
  for (int i = 0; i < 4; ++i) {
    std::uint8_t b[4];
    c.GetField(i + 1, rec.data(), b);
    v[i] = static_cast<std::int32_t>(kura::DecodeFixed32(b));
  }
  w.Add(v[0], v[1], v[2], v[3]);
}

void WalkAll(kura::TDataCursor& c, std::vector<std::uint8_t>& rec, Walked& w) {
  c.First();
  while (c.Next(rec.data()) == 0)
    Read(c, rec, w);
}

// The first key field of index "NB" for the value k (has-value byte and the
// order-preserving integer), the prefix shared by all of game k's keys.
std::vector<std::uint8_t> GameKey(kura::TDataCursor& c, std::int32_t k) {
  std::vector<std::uint8_t> rec(static_cast<std::size_t>(c.RecordSize()));
  c.InitRecord(rec.data());
  std::uint8_t b[4];
  kura::EncodeFixed32(b, static_cast<std::uint32_t>(k));
  c.SetField(1, rec.data(), std::span<const std::uint8_t>(b, 4));
  std::vector<std::uint8_t> key = c.KeyOf(rec.data());
  key.resize(5);
  return key;
}

void RunKura(const std::string& dir, const std::vector<std::int32_t>& games,
             const std::vector<std::int32_t>& scans, Figures& f) {
  using namespace kura;
  TDataSession session;
  TDataDirectory& db = session.OpenDirectory("bench", dir);
  {
    TDataCursor c(db, "moves");
    std::vector<std::uint8_t> rec(static_cast<std::size_t>(c.RecordSize()));
    c.SetActiveIndex(c.IndexNumber("NB"));
    auto start = Clock::now();
    for (std::int32_t k : games) {
      const std::vector<std::uint8_t> key = GameKey(c, k);
      c.SetRange(key, key);
      WalkAll(c, rec, f.range_walk);
    }
    f.by_range = Seconds(start) / static_cast<double>(games.size());
    // The set-up alone (the range's bitmaps over the whole table, First).
    start = Clock::now();
    for (std::int32_t k : games) {
      const std::vector<std::uint8_t> key = GameKey(c, k);
      c.SetRange(key, key);
    }
    const double setup = Seconds(start) / static_cast<double>(games.size());
    std::printf("range set-up alone (SetRange, First): %.1f us per game\n", setup * 1e6);
    c.CancelRange();

    start = Clock::now();
    for (std::int32_t k : games) {
      auto* filter = c.AddFilter("NB = " + std::to_string(k));
      WalkAll(c, rec, f.filter_walk);
      c.RemoveFilter(filter);
    }
    f.by_filter = Seconds(start) / static_cast<double>(games.size());

    start = Clock::now();
    for (std::size_t i = 0; i < scans.size(); ++i) {
      auto* filter = c.AddFilter("PNT + 0 = " + std::to_string(kPoint));
      WalkAll(c, rec, f.eval_walk);
      c.RemoveFilter(filter);
    }
    f.per_record = Seconds(start) / static_cast<double>(scans.size());

    // Begin-read and end-read alone: the read of the current record that
    // every step makes, on a table nobody changes, against the bare read.
    c.First();
    c.Next(rec.data());
    constexpr int kSteps = 200000;
    start = Clock::now();
    for (int i = 0; i < kSteps; ++i)
      c.Current(rec.data());
    const double step = Seconds(start) / kSteps;
    TDataTable& t = c.Table();
    start = Clock::now();
    for (int i = 0; i < kSteps; ++i) {
      t.ReadLock();
      t.ReleaseReadLock();
    }
    const double lock = Seconds(start) / kSteps;
    std::printf(
        "cursor Current (begin-read, copy, end-read): %.3f us; table read lock + release: "
        "%.3f us\n",
        step * 1e6, lock * 1e6);
  }
  {
    TDataCursor c(db, "moves_plain");
    std::vector<std::uint8_t> rec(static_cast<std::size_t>(c.RecordSize()));
    auto start = Clock::now();
    for (std::int32_t k : scans) {
      auto* filter = c.AddFilter("NB = " + std::to_string(k));
      WalkAll(c, rec, f.scan_walk);
      c.RemoveFilter(filter);
    }
    f.no_index = Seconds(start) / static_cast<double>(scans.size());
  }
  session.CloseDirectory(db);
}

// ---------------------------------------------------------------- sqlite ---

void Check(int rc, sqlite3* db, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    std::fprintf(stderr, "sqlite: %s: %s\n", what, sqlite3_errmsg(db));
    std::exit(1);
  }
}

void BuildSqlite(sqlite3* db, const std::vector<Move>& moves) {
  Check(sqlite3_exec(db,
                     "PRAGMA synchronous=OFF; PRAGMA journal_mode=MEMORY;"
                     "CREATE TABLE moves(NB INTEGER, MNO INTEGER, CLR INTEGER, PNT INTEGER);"
                     "CREATE TABLE moves_plain(NB INTEGER, MNO INTEGER, CLR INTEGER, PNT INTEGER);"
                     "CREATE INDEX moves_nb ON moves(NB); BEGIN;",
                     nullptr, nullptr, nullptr),
        db, "create");
  for (const char* table : {"moves", "moves_plain"}) {
    sqlite3_stmt* insert = nullptr;
    const std::string sql = std::string("INSERT INTO ") + table + " VALUES(?, ?, ?, ?)";
    Check(sqlite3_prepare_v2(db, sql.c_str(), -1, &insert, nullptr), db, "prepare insert");
    for (const Move& m : moves) {
      sqlite3_bind_int(insert, 1, m.nb);
      sqlite3_bind_int(insert, 2, m.mno);
      sqlite3_bind_int(insert, 3, m.clr);
      sqlite3_bind_int(insert, 4, m.pnt);
      Check(sqlite3_step(insert), db, "insert");
      sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
  }
  Check(sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr), db, "commit");
}

double Query(sqlite3* db, const char* sql, const std::vector<std::int32_t>& values, Walked& w) {
  sqlite3_stmt* s = nullptr;
  Check(sqlite3_prepare_v2(db, sql, -1, &s, nullptr), db, sql);
  const auto start = Clock::now();
  for (std::int32_t v : values) {
    sqlite3_bind_int(s, 1, v);
    while (sqlite3_step(s) == SQLITE_ROW)
      w.Add(sqlite3_column_int(s, 0), sqlite3_column_int(s, 1), sqlite3_column_int(s, 2),
            sqlite3_column_int(s, 3));
    sqlite3_reset(s);
  }
  const double seconds = Seconds(start) / static_cast<double>(values.size());
  sqlite3_finalize(s);
  return seconds;
}

void RunSqlite(sqlite3* db, const std::vector<std::int32_t>& games,
               const std::vector<std::int32_t>& scans, Figures& f) {
  f.by_range = Query(db, "SELECT NB, MNO, CLR, PNT FROM moves WHERE NB = ?", games, f.range_walk);
  f.no_index =
      Query(db, "SELECT NB, MNO, CLR, PNT FROM moves_plain WHERE NB = ?", scans, f.scan_walk);
  const std::vector<std::int32_t> points(scans.size(), kPoint);
  f.per_record =
      Query(db, "SELECT NB, MNO, CLR, PNT FROM moves WHERE PNT + 0 = ?", points, f.eval_walk);
}

void Line(const char* what, double kura, double sqlite, const Walked& a, const Walked& b) {
  std::printf("%-34s kura %10.1f us   sqlite %10.1f us   kura/sqlite %7.2f   rows %lld/%lld%s\n",
              what, kura * 1e6, sqlite * 1e6, sqlite > 0 ? kura / sqlite : 0.0,
              static_cast<long long>(a.rows), static_cast<long long>(b.rows),
              a.sum == b.sum ? "" : "  (sums differ!)");
}

}  // namespace

int main(int argc, char** argv) {
  const int games = argc > 1 ? std::atoi(argv[1]) : 10000;
  const std::size_t lookups = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1000;
  const std::size_t scans = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 10;
  if (games < 1) return 2;
  const bool keep = argc > 6;
  char pattern[] = "/tmp/kura-cursor-bench-XXXXXX";
  const char* made = keep ? argv[6] : ::mkdtemp(pattern);
  if (!made) return 2;
  const std::string dir = made;
  std::filesystem::create_directories(dir);
  const std::string built_mark = dir + "/built-" + std::to_string(games);
  const bool reuse = keep && std::filesystem::exists(built_mark);

  const std::vector<Move> moves = MakeMoves(games);
  std::mt19937 rng(11);
  std::vector<std::int32_t> game_keys, scan_keys;
  for (std::size_t i = 0; i < lookups; ++i)
    game_keys.push_back(static_cast<std::int32_t>(rng() % games) + 1);
  for (std::size_t i = 0; i < scans; ++i)
    scan_keys.push_back(static_cast<std::int32_t>(rng() % games) + 1);
  std::printf("%zu rows (%d games x %d), %zu games by index, %zu scans\n", moves.size(), games,
              kRowsPerGame, lookups, scans);

  // Index pages cached up to SQLite's default page cache (2 MB); the record
  // cache keeps the engine's default bounds.
  kura::TStorageSettings& settings = kura::DefaultStorageSettings();
  if (argc > 4) settings.index_buffer_memory = std::atoi(argv[4]);
  if (argc > 5) settings.record_buffer_memory = std::atoi(argv[5]);
  std::printf("engine caches: index pages %d bytes, records %d bytes\n",
              settings.index_buffer_memory, settings.record_buffer_memory);

  Figures kura, sqlite;
  auto start = Clock::now();
  if (!reuse) {
    BuildKura(dir, "moves", true, moves);
    BuildKura(dir, "moves_plain", false, moves);
  }
  kura.build = Seconds(start);
  sqlite3* db = nullptr;
  Check(sqlite3_open((dir + "/bench.sqlite").c_str(), &db), db, "open");
  start = Clock::now();
  if (!reuse) BuildSqlite(db, moves);
  sqlite.build = Seconds(start);
  if (keep && !reuse) {
    if (std::FILE* mark = std::fopen(built_mark.c_str(), "w")) std::fclose(mark);
  }
  std::printf("build both tables: kura %.1f s, sqlite %.1f s%s\n", kura.build, sqlite.build,
              reuse ? " (tables of an earlier run)" : "");

  RunKura(dir, game_keys, scan_keys, kura);
  RunSqlite(db, game_keys, scan_keys, sqlite);
  sqlite3_close(db);

  Line("game by index (range on \"NB\")", kura.by_range, sqlite.by_range, kura.range_walk,
       sqlite.range_walk);
  Line("game by index (filter NB = k)", kura.by_filter, sqlite.by_range, kura.filter_walk,
       sqlite.range_walk);
  Line("game without index (NB = k)", kura.no_index, sqlite.no_index, kura.scan_walk,
       sqlite.scan_walk);
  Line("per-record filter (PNT + 0 = 181)", kura.per_record, sqlite.per_record, kura.eval_walk,
       sqlite.eval_walk);
  if (!keep) std::filesystem::remove_all(dir);
  return 0;
}
