// The SQL engine against SQLite on the same data, side by side in one run:
//   1. a canned ORDER BY on a column without an index (N rows);
//   2. GROUP BY with COUNT and SUM (N rows, N / 250 groups);
//   3. the join of a games list (N / 100 rows) with its moves (2.5 N rows,
//      250 per game) on the game number;
//   4. an indexed point SELECT through one prepared statement executed
//      100,000 times with new parameters.
// Each workload reads every result row. Both engines keep their tables on
// disk in a scratch directory (SQLite: synchronous=OFF, journal in memory).
// Prints seconds for both and the ratio (SQLite time / ours; 1 or more
// means we are at least as fast).
//
// Usage: bench_sql_bench [N [WORKLOAD]] (default 1000000; WORKLOAD 1..4 runs that one)
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "db/engine/query/query_result.h"
#include "db/engine/session/data_session.h"
#include "db/engine/sql/query_statement.h"
#include "db/storage/coding.h"
#include "db/storage/index/index_file.h"
#include "db/storage/table/data_table.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace kura;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

TFieldDefinition IntField(const char* name) {
  TFieldDefinition f;
  f.name = name;
  f.type = kFieldInteger;
  return f;
}

std::int32_t Pnt(long i) {
  return static_cast<std::int32_t>((i * 7919) % 361 + 1);
}

// Creates a table of integer fields and fills it with rows(i, f).
template <typename F>
void MakeTable(const std::string& dir, const char* name, std::vector<const char*> fields, long rows,
               F value, std::vector<TIndexDefinition> indexes) {
  TDataTable t(dir, name, DefaultStorageSettings());
  std::vector<TFieldDefinition> defs;
  for (const char* f : fields)
    defs.push_back(IntField(f));
  t.Create(defs, TTableOptions{});
  TDataFile& d = t.Data();
  std::vector<std::uint8_t> rec = t.BlankRecord();
  for (long i = 0; i < rows; ++i) {
    for (std::size_t f = 0; f < fields.size(); ++f) {
      std::uint8_t v[4];
      EncodeFixed32(v, static_cast<std::uint32_t>(value(i, f)));
      d.PutField(rec.data(), d.Field(static_cast<int>(f) + 1), v);
    }
    t.InsertRecord(rec.data());
  }
  auto& index = dynamic_cast<TIndexFile&>(t.Index());
  for (const auto& def : indexes)
    index.AddSecondaryIndex(d, def);
  t.Close();
}

long long ReadAll(TQueryResult* r) {
  long long sum = 0;
  if (!r) return 0;
  TDataCursor& c = r->Cursor();
  std::vector<std::uint8_t> rec(static_cast<std::size_t>(c.RecordSize()));
  c.First();
  while (c.Next(rec.data()) == TDataCursor::kOk)
    for (int i = 1; i <= r->ColumnCount(); ++i) {
      const TExpValue v = r->Value(i, rec.data());
      sum += v.null ? 0 : v.i + static_cast<long long>(v.f);
    }
  return sum;
}

double Ours(TDataDirectory& db, const std::string& sql, long long* sum) {
  const auto start = Clock::now();
  TQueryStatement s(db);
  s.Prepare(sql);
  *sum = ReadAll(s.Execute());
  return Seconds(start);
}

double Lite(sqlite3* db, const std::string& sql, long long* sum) {
  const auto start = Clock::now();
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr);
  long long s = 0;
  while (sqlite3_step(st) == SQLITE_ROW)
    for (int i = 0; i < sqlite3_column_count(st); ++i)
      s += sqlite3_column_int64(st, i);
  sqlite3_finalize(st);
  *sum = s;
  return Seconds(start);
}

void Report(const char* what, double ours, double lite, long long a, long long b) {
  std::printf("%-44s ours %8.3f s   sqlite %8.3f s   ratio %5.2f%s\n", what, ours, lite,
              ours > 0 ? lite / ours : 0.0, a == b ? "" : "   (results differ!)");
}

void LiteExec(sqlite3* db, const std::string& sql) {
  char* e = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &e) != SQLITE_OK) {
    std::fprintf(stderr, "sqlite: %s\n", e ? e : "?");
    std::exit(1);
  }
}

template <typename F>
void LiteTable(sqlite3* db, const char* name, std::vector<const char*> fields, long rows, F value) {
  std::string ddl = std::string("create table ") + name + " (",
              ins = std::string("insert into ") + name + " values (";
  for (std::size_t f = 0; f < fields.size(); ++f) {
    ddl += std::string(f ? ", " : "") + fields[f] + " integer";
    ins += f ? ", ?" : "?";
  }
  LiteExec(db, ddl + ")");
  LiteExec(db, "begin");
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db, (ins + ")").c_str(), -1, &st, nullptr);
  for (long i = 0; i < rows; ++i) {
    for (std::size_t f = 0; f < fields.size(); ++f)
      sqlite3_bind_int(st, static_cast<int>(f) + 1, value(i, f));
    sqlite3_step(st);
    sqlite3_reset(st);
  }
  sqlite3_finalize(st);
  LiteExec(db, "commit");
}

}  // namespace

int Run(int argc, char** argv) {
  const long n = argc > 1 ? std::atol(argv[1]) : 1000000;
  int only = argc > 2 ? std::atoi(argv[2]) : 0;
  auto wanted = [only](int w) { return only == 0 || only == w; };
  const long games = std::max(1L, n / 100), moves = games * 250;
  const std::string dir =
      (std::filesystem::temp_directory_path() / ("kura-sql-bench-" + std::to_string(::getpid())))
          .string();
  std::filesystem::create_directories(dir);
  auto rows_value = [](long i, std::size_t f) -> std::int32_t {
    return f == 0   ? static_cast<std::int32_t>(i / 250 + 1)
           : f == 1 ? static_cast<std::int32_t>(i % 250 + 1)
           : f == 2 ? static_cast<std::int32_t>(i % 2 + 1)
                    : Pnt(i);
  };
  auto game_value = [](long i, std::size_t f) -> std::int32_t {
    return f == 0 ? static_cast<std::int32_t>(i + 1) : static_cast<std::int32_t>(i % 97);
  };
  TIndexDefinition by_nb;
  by_nb.name = "NB";
  by_nb.fields = {1};
  std::printf("building: %ld rows, %ld games, %ld moves\n", n, games, moves);
  MakeTable(dir, "rows1", {"NB", "MNO", "CLR", "PNT"}, n, rows_value, {});
  MakeTable(dir, "games", {"NB", "KIND"}, games, game_value, {by_nb});
  MakeTable(dir, "moves", {"NB", "MNO", "CLR", "PNT"}, moves, rows_value, {by_nb});
  sqlite3* lite = nullptr;
  sqlite3_open((dir + "/lite.db").c_str(), &lite);
  LiteExec(lite, "pragma synchronous = off");
  LiteExec(lite, "pragma journal_mode = memory");
  LiteTable(lite, "rows1", {"NB", "MNO", "CLR", "PNT"}, n, rows_value);
  LiteTable(lite, "games", {"NB", "KIND"}, games, game_value);
  LiteTable(lite, "moves", {"NB", "MNO", "CLR", "PNT"}, moves, rows_value);
  LiteExec(lite, "create index games_nb on games (NB)");
  LiteExec(lite, "create index moves_nb on moves (NB)");

  TSessionSettings settings;
  settings.private_dir = dir;
  TDataSession session(settings);
  TDataDirectory& db = session.OpenDirectory("bench", dir);
  long long a = 0, b = 0;
  double ours = 0, them = 0;
  if (wanted(1)) {
    ours = Ours(db, "select NB, PNT from rows1 order by PNT", &a);
    them = Lite(lite, "select NB, PNT from rows1 order by PNT", &b);
    Report("canned ORDER BY without index", ours, them, a, b);
  }
  if (wanted(2)) {
    ours = Ours(db, "select NB, count(*), sum(PNT) from rows1 group by NB", &a);
    them = Lite(lite, "select NB, count(*), sum(PNT) from rows1 group by NB", &b);
    Report("GROUP BY with COUNT and SUM", ours, them, a, b);
  }
  if (wanted(3)) {
    ours = Ours(db, "select g.NB, m.PNT from games g join moves m on m.NB = g.NB", &a);
    them = Lite(lite, "select g.NB, m.PNT from games g join moves m on m.NB = g.NB", &b);
    Report("join games x moves on NB", ours, them, a, b);
  }
  if (!wanted(4)) only = -1;

  const int lookups = only < 0 ? 0 : 100000;
  if (lookups) {
    auto start = Clock::now();
    TQueryStatement s(db);
    s.Prepare("select KIND from games where NB = ?");
    a = 0;
    for (int i = 0; i < lookups; ++i)
      a += ReadAll(s.Execute({TExpValue::Int(kFieldInteger, i % games + 1)}));
    ours = Seconds(start);
  }
  if (lookups) {
    auto start = Clock::now();
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(lite, "select KIND from games where NB = ?", -1, &st, nullptr);
    b = 0;
    for (int i = 0; i < lookups; ++i) {
      sqlite3_bind_int(st, 1, static_cast<int>(i % games + 1));
      while (sqlite3_step(st) == SQLITE_ROW)
        b += sqlite3_column_int64(st, 0);
      sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    them = Seconds(start);
  }
  if (lookups) Report("indexed point SELECT x 100000 (prepared)", ours, them, a, b);
  sqlite3_close(lite);
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return 0;
}

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_sql_bench: %s\n", e.what());
    return 1;
  }
}
