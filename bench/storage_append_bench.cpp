// Appending the game-record moves shape (four 32-bit integers per row) one
// insert at a time, each insert flushed as the table layer does, then reading
// every row back in physical order; the same rows through SQLite (one INSERT
// per row in autocommit, synchronous=OFF, WAL) and a full scan. Prints rows
// per second for both and the ratio (ours / SQLite; above 1 is faster).
//
// Usage: bench_storage_append_bench [ROWS] (default 1000000)
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "db/storage/coding.h"
#include "db/storage/table/data_table.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

struct TFigures {
  double append_rows_per_s;
  double scan_rows_per_s;
  long long checksum;
};

kura::TFieldDefinition IntField(const char* name) {
  kura::TFieldDefinition f;
  f.name = name;
  f.type = kura::kFieldInteger;
  return f;
}

TFigures RunKura(const std::string& dir, int rows, bool shared) {
  kura::TDataTable table(dir, shared ? "moves_shared" : "moves", kura::DefaultStorageSettings());
  table.Create({IntField("NB"), IntField("MNO"), IntField("CLR"), IntField("PNT")},
               kura::TTableOptions{});
  if (shared) {
    table.Close();
    table.Open(false);
  }
  kura::TDataFile& data = table.Data();
  const kura::TFieldDescriptor* fields[4] = {&data.Field(1), &data.Field(2), &data.Field(3),
                                             &data.Field(4)};
  std::vector<std::uint8_t> record = table.BlankRecord();
  auto start = Clock::now();
  for (int i = 0; i < rows; ++i) {
    const std::int32_t values[4] = {i / 250 + 1, i % 250 + 1, 1 + i % 2, (i * 37) % 361 + 1};
    for (int f = 0; f < 4; ++f) {
      std::uint8_t v[4];
      kura::EncodeFixed32(v, static_cast<std::uint32_t>(values[f]));
      data.PutField(record.data(), *fields[f], v);
    }
    if (shared) {
      kura::TWriteLockGuard lock(table);
      table.InsertRecord(record.data());
    } else {
      table.InsertRecord(record.data());
    }
  }
  const double append_s = Seconds(start);
  table.Close();
  table.Open(shared ? false : true);
  start = Clock::now();
  long long sum = 0;
  {
    std::uint8_t v[4];
    kura::TDataFile& d = table.Data();
    const std::int32_t slots = d.SlotCount();
    for (std::int32_t n = 1; n <= slots; ++n) {
      kura::TRecordPin r = d.GetRecord(n);
      if (r->Deleted()) continue;
      for (int f = 1; f <= 4; ++f)
        if (d.GetField(r->Data(), d.Field(f), v))
          sum += static_cast<std::int32_t>(kura::DecodeFixed32(v));
    }
  }
  const double scan_s = Seconds(start);
  return {rows / append_s, rows / scan_s, sum};
}

void Check(int rc, sqlite3* db) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    std::fprintf(stderr, "sqlite: %s\n", sqlite3_errmsg(db));
    std::exit(1);
  }
}

TFigures RunSqlite(const std::string& dir, int rows) {
  sqlite3* db = nullptr;
  Check(sqlite3_open((dir + "/moves.sqlite").c_str(), &db), db);
  Check(sqlite3_exec(db,
                     "PRAGMA synchronous=OFF; PRAGMA journal_mode=WAL;"
                     "CREATE TABLE moves(NB INTEGER, MNO INTEGER, CLR INTEGER, PNT INTEGER);",
                     nullptr, nullptr, nullptr),
        db);
  sqlite3_stmt* insert = nullptr;
  Check(sqlite3_prepare_v2(db, "INSERT INTO moves VALUES(?,?,?,?)", -1, &insert, nullptr), db);
  auto start = Clock::now();
  for (int i = 0; i < rows; ++i) {
    sqlite3_bind_int(insert, 1, i / 250 + 1);
    sqlite3_bind_int(insert, 2, i % 250 + 1);
    sqlite3_bind_int(insert, 3, 1 + i % 2);
    sqlite3_bind_int(insert, 4, (i * 37) % 361 + 1);
    Check(sqlite3_step(insert), db);
    sqlite3_reset(insert);
  }
  const double append_s = Seconds(start);
  sqlite3_finalize(insert);
  sqlite3_stmt* scan = nullptr;
  Check(sqlite3_prepare_v2(db, "SELECT NB, MNO, CLR, PNT FROM moves", -1, &scan, nullptr), db);
  start = Clock::now();
  long long sum = 0;
  while (sqlite3_step(scan) == SQLITE_ROW)
    for (int c = 0; c < 4; ++c)
      sum += sqlite3_column_int(scan, c);
  const double scan_s = Seconds(start);
  sqlite3_finalize(scan);
  sqlite3_close(db);
  return {rows / append_s, rows / scan_s, sum};
}

}  // namespace

int main(int argc, char** argv) {
  const int rows = argc > 1 ? std::atoi(argv[1]) : 1'000'000;
  char pattern[] = "/tmp/kura-bench-XXXXXX";
  const char* made = mkdtemp(pattern);
  if (made == nullptr || rows <= 0) return 1;
  const std::string dir = made;
  const TFigures kura_excl = RunKura(dir, rows, false);
  const TFigures kura_shared = RunKura(dir, rows, true);
  const TFigures lite = RunSqlite(dir, rows);
  std::filesystem::remove_all(dir);
  if (kura_excl.checksum != lite.checksum || kura_shared.checksum != lite.checksum) {
    std::fprintf(stderr, "checksums differ\n");
    return 1;
  }
  std::printf("rows: %d\n", rows);
  std::printf("%-34s %14s %14s\n", "", "append rows/s", "scan rows/s");
  std::printf("%-34s %14.0f %14.0f\n", "kura (exclusive)", kura_excl.append_rows_per_s,
              kura_excl.scan_rows_per_s);
  std::printf("%-34s %14.0f %14.0f\n", "kura (shared, write lock per row)",
              kura_shared.append_rows_per_s, kura_shared.scan_rows_per_s);
  std::printf("%-34s %14.0f %14.0f\n", "sqlite (autocommit, WAL, sync off)", lite.append_rows_per_s,
              lite.scan_rows_per_s);
  std::printf("ratio kura exclusive / sqlite: append %.2f, scan %.2f\n",
              kura_excl.append_rows_per_s / lite.append_rows_per_s,
              kura_excl.scan_rows_per_s / lite.scan_rows_per_s);
  std::printf("ratio kura shared / sqlite:    append %.2f, scan %.2f\n",
              kura_shared.append_rows_per_s / lite.append_rows_per_s,
              kura_shared.scan_rows_per_s / lite.scan_rows_per_s);
  return 0;
}
