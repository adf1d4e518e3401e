// Index benchmark: 1,000,000 distinct random 32-bit keys inserted one record
// at a time into a table with a primary index on the key, then 100,000
// random point lookups (index seek + record read) and one full scan in key
// order; the same again on a table whose key has a secondary index instead;
// and the same workload on SQLite (a table with an index on the column, one
// autocommit INSERT per row, SELECT ... WHERE k = ?, SELECT ... ORDER BY k).
// Lookups are timed twice: fetching the row's other column, and from the
// index alone (key to record number / rowid); the scan walks the index in key
// order (key and record number / rowid). Prints the times, the ratios, the
// file sizes, the record cache's bound and use, and the peak RSS.
//
// Usage: bench_index_bench [ROWS [LOOKUPS [INDEX_BUFFER_BYTES]]]
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include "db/storage/coding.h"
#include "db/storage/index/index_file.h"
#include "db/storage/index/key_codec.h"
#include "db/storage/table/data_table.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

struct Figures {
  double insert = 0;
  double lookup = 0;  // key -> row value
  double seek = 0;    // key -> record number (index only)
  double scan = 0;    // every key in order (index only)
  std::int64_t scanned = 0;
  std::int64_t found = 0;
  std::uintmax_t bytes = 0;        // the index alone (kura's .IDX; 0 for sqlite)
  std::uintmax_t total_bytes = 0;  // table and index together
};

std::vector<std::int32_t> DistinctKeys(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::unordered_set<std::int32_t> seen;
  std::vector<std::int32_t> keys;
  keys.reserve(n);
  while (keys.size() < n) {
    const auto k = static_cast<std::int32_t>(rng());
    if (seen.insert(k).second) keys.push_back(k);
  }
  return keys;
}

long PeakRssKb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// `secondary`: the key has a (non-unique) secondary index and the table no
// primary index; otherwise the key is the primary index.
Figures RunKura(const std::string& dir, const std::vector<std::int32_t>& keys,
                const std::vector<std::int32_t>& probes, std::int32_t index_buffer,
                bool secondary) {
  using namespace kura;
  TStorageSettings settings;
  settings.index_buffer_memory = index_buffer;
  const std::string name = secondary ? "bench2" : "bench";
  TDataTable table(dir, name, settings);
  TFieldDefinition k;
  k.name = "K";
  k.type = kFieldInteger;
  TFieldDefinition v;
  v.name = "V";
  v.type = kFieldInteger;
  table.Create({k, v}, TTableOptions{}, TIndexCreateOptions{false});
  auto& index = dynamic_cast<TIndexFile&>(table.Index());
  TIndexDefinition def;
  def.fields = {1};
  if (secondary) {
    def.name = "ByK";
    index.AddSecondaryIndex(table.Data(), def);
  } else {
    def.unique = true;
    index.AddPrimaryIndex(table.Data(), def);
  }
  const int slot = secondary ? index.SlotOf("ByK") : 0;
  table.Flush();

  Figures f;
  TDataFile& data = table.Data();
  std::vector<std::uint8_t> row = table.BlankRecord();
  auto start = Clock::now();
  for (std::size_t i = 0; i < keys.size(); ++i) {
    std::uint8_t b[4];
    EncodeFixed32(b, static_cast<std::uint32_t>(keys[i]));
    data.PutField(row.data(), data.Field(1), {b, 4});
    EncodeFixed32(b, static_cast<std::uint32_t>(i));
    data.PutField(row.data(), data.Field(2), {b, 4});
    table.InsertRecord(row.data());
  }
  f.insert = Seconds(start);

  TIndexTree tree = index.Tree(data, slot);
  std::uint8_t key[5];
  std::uint8_t value[4];
  const std::int64_t hits = data.Hits(), misses = data.Misses(), reads = data.BlockReads();
  start = Clock::now();
  for (std::int32_t probe : probes) {
    key[0] = 1;
    EncodeKeyInt32(key + 1, probe);
    TIndexEntry e;
    if (tree.Seek(key, 5, e) && std::memcmp(e.key.data(), key, 5) == 0) {
      TRecordPin rec = data.GetRecord(e.record);
      if (data.GetField(rec->Data(), data.Field(2), value)) ++f.found;
    }
  }
  f.lookup = Seconds(start);
  std::printf(
      "  kura %s index: record cache %zu of capacity %zu records (bound min(%d bytes / %d, %d));"
      " lookups: %lld hits, %lld misses, %lld block reads\n",
      secondary ? "secondary" : "primary", data.CachedCount(), data.CacheCapacity(),
      settings.record_buffer_memory, data.RecordSize(), settings.record_buffer_count,
      static_cast<long long>(data.Hits() - hits), static_cast<long long>(data.Misses() - misses),
      static_cast<long long>(data.BlockReads() - reads));

  std::int64_t checksum = 0;
  start = Clock::now();
  for (std::int32_t probe : probes) {
    key[0] = 1;
    EncodeKeyInt32(key + 1, probe);
    TIndexEntry e;
    if (tree.Seek(key, 5, e)) checksum += e.record;
  }
  f.seek = Seconds(start);

  start = Clock::now();
  TIndexEntry e;
  for (bool more = tree.First(e); more; more = tree.Next(e)) {
    checksum += e.record;
    ++f.scanned;
  }
  f.scan = Seconds(start);
  (void)checksum;
  table.Close();
  f.bytes = std::filesystem::file_size(dir + "/" + name + ".IDX");
  const std::uintmax_t data_bytes = std::filesystem::file_size(dir + "/" + name + ".DAT");
  f.total_bytes = f.bytes + data_bytes;
  std::printf("  kura files: .IDX %ju bytes, .DAT %ju bytes; peak RSS so far %ld KiB\n", f.bytes,
              data_bytes, PeakRssKb());
  return f;
}

void Check(int rc, sqlite3* db, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    std::fprintf(stderr, "sqlite: %s: %s\n", what, sqlite3_errmsg(db));
    std::exit(1);
  }
}

Figures RunSqlite(const std::string& dir, const std::vector<std::int32_t>& keys,
                  const std::vector<std::int32_t>& probes) {
  const std::string path = dir + "/bench.sqlite";
  sqlite3* db = nullptr;
  Check(sqlite3_open(path.c_str(), &db), db, "open");
  // Like the engine without ForceBufferFlush: every change reaches the OS,
  // nothing is synced to the disk.
  Check(sqlite3_exec(db,
                     "PRAGMA synchronous=OFF; PRAGMA journal_mode=MEMORY;"
                     "CREATE TABLE bench(k INTEGER, v INTEGER);"
                     "CREATE INDEX bench_k ON bench(k);",
                     nullptr, nullptr, nullptr),
        db, "create");
  Figures f;
  sqlite3_stmt* insert = nullptr;
  Check(sqlite3_prepare_v2(db, "INSERT INTO bench(k, v) VALUES(?, ?)", -1, &insert, nullptr), db,
        "prepare insert");
  auto start = Clock::now();
  for (std::size_t i = 0; i < keys.size(); ++i) {
    sqlite3_bind_int(insert, 1, keys[i]);
    sqlite3_bind_int(insert, 2, static_cast<int>(i));
    Check(sqlite3_step(insert), db, "insert");
    sqlite3_reset(insert);
  }
  f.insert = Seconds(start);
  sqlite3_finalize(insert);

  sqlite3_stmt* select = nullptr;
  Check(sqlite3_prepare_v2(db, "SELECT v FROM bench WHERE k = ?", -1, &select, nullptr), db,
        "prepare select");
  start = Clock::now();
  for (std::int32_t probe : probes) {
    sqlite3_bind_int(select, 1, probe);
    if (sqlite3_step(select) == SQLITE_ROW) ++f.found;
    sqlite3_reset(select);
  }
  f.lookup = Seconds(start);
  sqlite3_finalize(select);

  // Index only: the rowid comes from the index itself.
  Check(sqlite3_prepare_v2(db, "SELECT rowid FROM bench WHERE k = ?", -1, &select, nullptr), db,
        "prepare seek");
  start = Clock::now();
  for (std::int32_t probe : probes) {
    sqlite3_bind_int(select, 1, probe);
    sqlite3_step(select);
    sqlite3_reset(select);
  }
  f.seek = Seconds(start);
  sqlite3_finalize(select);

  sqlite3_stmt* scan = nullptr;
  Check(sqlite3_prepare_v2(db, "SELECT k, rowid FROM bench ORDER BY k", -1, &scan, nullptr), db,
        "prepare scan");
  start = Clock::now();
  std::int64_t checksum = 0;
  while (sqlite3_step(scan) == SQLITE_ROW) {
    checksum += sqlite3_column_int(scan, 1);
    ++f.scanned;
  }
  f.scan = Seconds(start);
  (void)checksum;
  sqlite3_finalize(scan);
  sqlite3_close(db);
  f.total_bytes = std::filesystem::file_size(path);
  return f;
}

void Line(const char* what, double kura, double sqlite) {
  std::printf("%-28s kura %9.3f s   sqlite %9.3f s   kura/sqlite %6.2f\n", what, kura, sqlite,
              sqlite > 0 ? kura / sqlite : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t rows = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  const std::size_t lookups = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 100000;
  const std::int32_t index_buffer =
      argc > 3 ? static_cast<std::int32_t>(std::strtol(argv[3], nullptr, 10)) : 16384;
  char pattern[] = "/tmp/kura-bench-XXXXXX";
  const char* made = ::mkdtemp(pattern);
  if (!made) return 2;
  const std::string dir = made;

  const std::vector<std::int32_t> keys = DistinctKeys(rows, 20261208);
  std::mt19937 rng(7);
  std::vector<std::int32_t> probes;
  for (std::size_t i = 0; i < lookups; ++i)
    probes.push_back(keys[rng() % keys.size()]);

  std::printf("%zu random int32 keys, %zu point lookups, index buffer %d bytes\n", rows, lookups,
              index_buffer);
  const Figures kura = RunKura(dir, keys, probes, index_buffer, false);
  const Figures second = RunKura(dir, keys, probes, index_buffer, true);
  const Figures sqlite = RunSqlite(dir, keys, probes);
  std::printf("peak RSS %ld KiB\n", PeakRssKb());
  Line("insert one row at a time", kura.insert, sqlite.insert);
  Line("insert, secondary index", second.insert, sqlite.insert);
  Line("lookups, secondary index", second.lookup, sqlite.lookup);
  Line("point lookups (row value)", kura.lookup, sqlite.lookup);
  Line("point lookups (index only)", kura.seek, sqlite.seek);
  Line("full ordered scan (index)", kura.scan, sqlite.scan);
  std::printf(
      "rows found: kura %lld, secondary %lld / sqlite %lld; scanned: kura %lld / sqlite %lld\n",
      static_cast<long long>(kura.found), static_cast<long long>(second.found),
      static_cast<long long>(sqlite.found), static_cast<long long>(kura.scanned),
      static_cast<long long>(sqlite.scanned));
  // Like with like: kura's table and index files against sqlite's database,
  // which holds both.
  std::printf(
      "kura .IDX + .DAT %ju bytes (index %ju); sqlite database (table + index) %ju bytes; "
      "ratio %.2f\n",
      kura.total_bytes, kura.bytes, sqlite.total_bytes,
      sqlite.total_bytes
          ? static_cast<double>(kura.total_bytes) / static_cast<double>(sqlite.total_bytes)
          : 0.0);
  std::filesystem::remove_all(dir);
  return 0;
}
