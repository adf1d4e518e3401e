// One statement in a process of its own: `kura sql DIR -c` against the sqlite3
// shell on the same table (N rows: id, k with an index, name), both on disk:
//   1. an indexed "=" count;
//   2. LIKE, a range of the indexed k and ORDER BY k DESC with the first 10.
// Each is run R times as a new process (output to /dev/null); the medians are
// printed side by side with the ratio (sqlite / ours; 1 or more means we are
// at least as fast). Then where a kura process's time goes, measured in this
// process: the bare process (`kura --help`), the session and database, the
// statement's parsing, the first run (which opens the table), a second run
// (table open, statement prepared), and the expression evaluator with the
// language tables of a locale.
//
// Usage: bench_sql_startup_bench [N [R [KURA [SQLITE3 [keep]]]]]
//   (default 1000000 rows, 50 runs, the build's kura, sqlite3 on the PATH;
//   "keep" leaves the tables in the scratch directory for a closer look)
#include <fcntl.h>
#include <sqlite3.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "db/engine/expression/expression.h"
#include "db/engine/query/query_result.h"
#include "db/engine/session/data_session.h"
#include "db/engine/sql/query_statement.h"
#include "db/storage/coding.h"
#include "db/storage/index/index_file.h"
#include "db/storage/table/data_table.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace kura;

double Ms(Clock::time_point since) {
  return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

const char* kWords[] = {"ab", "ac", "ba", "bb", "ca", "abc", "xy", "za"};

std::string Name(long i) {
  return std::string(kWords[(i * 31) % 8]) + std::to_string(i % 100000);
}
std::int32_t Key(long i) {
  return static_cast<std::int32_t>((i * 7919) % 1000003);
}

void MakeOurs(const std::string& dir, long rows) {
  TDataTable t(dir, "t", DefaultStorageSettings());
  TFieldDefinition id, k, name;
  id.name = "id";
  id.type = kFieldInteger;
  k.name = "k";
  k.type = kFieldInteger;
  name.name = "name";
  name.type = kFieldString;
  name.length = 20;
  t.Create({id, k, name}, TTableOptions{});
  TDataFile& d = t.Data();
  std::vector<std::uint8_t> rec = t.BlankRecord();
  for (long i = 0; i < rows; ++i) {
    std::uint8_t v[4];
    EncodeFixed32(v, static_cast<std::uint32_t>(i));
    d.PutField(rec.data(), d.Field(1), v);
    EncodeFixed32(v, static_cast<std::uint32_t>(Key(i)));
    d.PutField(rec.data(), d.Field(2), v);
    const std::string n = Name(i);
    d.PutField(rec.data(), d.Field(3),
               std::span(reinterpret_cast<const std::uint8_t*>(n.data()), n.size()));
    t.InsertRecord(rec.data());
  }
  TIndexDefinition byk;
  byk.name = "ByK";
  byk.fields = {2};
  dynamic_cast<TIndexFile&>(t.Index()).AddSecondaryIndex(d, byk);
  t.Close();
}

void LiteExec(sqlite3* db, const std::string& sql) {
  char* e = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &e) != SQLITE_OK) {
    std::fprintf(stderr, "sqlite: %s\n", e ? e : "?");
    std::exit(1);
  }
}

void MakeLite(const std::string& file, long rows) {
  sqlite3* db = nullptr;
  sqlite3_open(file.c_str(), &db);
  LiteExec(db, "create table t (id integer, k integer, name varchar(20))");
  LiteExec(db, "begin");
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db, "insert into t values (?, ?, ?)", -1, &st, nullptr);
  for (long i = 0; i < rows; ++i) {
    const std::string n = Name(i);
    sqlite3_bind_int64(st, 1, i);
    sqlite3_bind_int64(st, 2, Key(i));
    sqlite3_bind_text(st, 3, n.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_step(st);
    sqlite3_reset(st);
  }
  sqlite3_finalize(st);
  LiteExec(db, "commit");
  LiteExec(db, "create index ByK on t (k)");
  sqlite3_close(db);
}

// Wall time of one run of `argv` with its output to /dev/null, in ms. The
// process is spawned without copying this one's (large) address space.
double RunOnce(const std::vector<std::string>& argv) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<char*> args;
  for (const auto& a : argv)
    args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const auto start = Clock::now();
  pid_t pid = 0;
  const int spawned = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  int status = 0;
  if (spawned == 0) ::waitpid(pid, &status, 0);
  const double ms = Ms(start);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "%s failed (status %d)\n", argv[0].c_str(), status);
    std::exit(1);
  }
  return ms;
}

double Median(const std::vector<std::string>& argv, int runs) {
  std::vector<double> t;
  RunOnce(argv);  // warms the page cache
  for (int i = 0; i < runs; ++i)
    t.push_back(RunOnce(argv));
  std::sort(t.begin(), t.end());
  return t[t.size() / 2];
}

// The first line of a process's output.
std::string FirstLine(const std::string& command) {
  std::string out;
  if (FILE* p = ::popen(command.c_str(), "r")) {
    char buf[256];
    if (std::fgets(buf, sizeof buf, p)) out = buf;
    ::pclose(p);
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
    out.pop_back();
  return out;
}

void Phases(const std::string& dir, const std::string& sql) {
  auto start = Clock::now();
  TDataSession session;
  TDataDirectory& db = session.OpenDirectory("bench", dir);
  const double open = Ms(start);
  start = Clock::now();
  TQueryStatement s(db);
  s.Prepare(sql);
  const double prepare = Ms(start);
  auto run = [&] {
    const auto t0 = Clock::now();
    TQueryResult* r = s.Execute();
    TDataCursor& c = r->Cursor();
    std::vector<std::uint8_t> rec(static_cast<std::size_t>(c.RecordSize()));
    c.First();
    while (c.Next(rec.data()) == TDataCursor::kOk) {
    }
    return Ms(t0);
  };
  const double first = run(), second = run();
  std::printf("    session %.2f ms, parse %.2f ms, first run %.2f ms, second run %.2f ms\n", open,
              prepare, first, second);
}

}  // namespace

int main(int argc, char** argv) {
  const long rows = argc > 1 ? std::atol(argv[1]) : 1000000;
  const int runs = argc > 2 ? std::atoi(argv[2]) : 50;
  const std::string kura =
      argc > 3 ? argv[3] : std::string(KIROBAKU_BIN_DIR) + "/../tools/bin/kura";
  const std::string lite = argc > 4 ? argv[4] : "sqlite3";
  const std::string dir = std::filesystem::temp_directory_path() /
                          ("kura_startup_bench_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string file = dir + "/lite.db";
  std::printf("building %ld rows ...\n", rows);
  MakeOurs(dir, rows);
  MakeLite(file, rows);

  struct TQuery {
    const char* what;
    std::string ours, lite;
  };
  const std::vector<TQuery> queries = {
      {"indexed = count", "select count(*) from t where k = 4321",
       "select count(*) from t where k = 4321"},
      {"LIKE + range + ORDER BY k DESC, first 10",
       "select id, name from t where name like 'ab%' and k between 1000 and 200000 "
       "order by k desc top 10",
       "select id, name from t where name like 'ab%' and k between 1000 and 200000 "
       "order by k desc limit 10"}};
  std::printf("one statement per process, median of %d runs:\n", runs);
  for (const TQuery& q : queries) {
    const std::string a =
        FirstLine(kura + " sql " + dir + " -c \"" + q.ours + "\" 2>/dev/null | tail -n +2 | md5sum");
    const std::string b =
        FirstLine(lite + " " + file + " \"" + q.lite + "\" | tr '|' '\\t' | md5sum");
    const double ours = Median({kura, "sql", dir, "-c", q.ours}, runs);
    const double theirs = Median({lite, file, q.lite}, runs);
    std::printf("%-44s ours %7.2f ms   sqlite %7.2f ms   ratio %5.2f%s\n", q.what, ours, theirs,
                theirs / ours, a == b ? "" : "   (results differ!)");
  }
  std::printf("where a kura process's time goes:\n");
  std::printf("    bare process (kura --help) %.2f ms; sqlite3 -version %.2f ms\n",
              Median({kura, "--help"}, runs), Median({lite, "-version"}, runs));
  for (const TQuery& q : queries) {
    std::printf("  %s:\n", q.what);
    Phases(dir, q.ours);
  }
  // The language tables: the first string comparison under a locale loads
  // them (an evaluator loads them only then).
  for (std::uint32_t locale : {0x0411u, 0x0409u}) {
    const auto start = Clock::now();
    TExpressionEvaluator ev(TExpressionContext{11949, "", "WHERE clause"}, nullptr, locale);
    ev.Compare(TExpValue::Str(kFieldString, "a"), TExpValue::Str(kFieldString, "b"));
    std::printf("    language tables of locale 0x%04x: %.3f ms\n", locale, Ms(start));
  }
  if (argc > 5 && std::string(argv[5]) == "keep")
    std::printf("tables kept in %s\n", dir.c_str());
  else
    std::filesystem::remove_all(dir);
  return 0;
}
