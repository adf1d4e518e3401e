// Loading many rows, each tool as a user runs it, side by side in one run:
//   1. `kura create` and `kura append DIR t < rows.tsv` against the sqlite3
//      shell's `.mode tabs` and `.import rows.tsv t` into a table made alike
//      (N rows: an integer, a string with Japanese text, a float, a date);
//   2. the same with an index on the integer and one on the string, made
//      before the load (kura: given to `kura create`; sqlite: CREATE INDEX
//      before .import);
//   3. `INSERT INTO u SELECT * FROM t` into an empty copy, through
//      `kura sql DIR -c` and through the sqlite3 shell.
// Both tools leave their rows durable (kura's commit is flushed; the shell
// keeps SQLite's default synchronous FULL). Row counts are compared, and
// kura's tables are verified. Prints seconds and sqlite/kura (1 or more: we
// are at least as fast).
//
// Usage: bench_bulk_load_bench [N [KURA [SQLITE3]]]
//   (default 1000000 rows, the build's kura, sqlite3 on the PATH)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

std::string Quote(const std::string& s) { return "'" + s + "'"; }

// Runs a shell command and returns its seconds; a failure ends the bench.
double Run(const std::string& command) {
  const auto start = Clock::now();
  const int rc = std::system(command.c_str());
  const double s = std::chrono::duration<double>(Clock::now() - start).count();
  if (rc != 0) {
    std::fprintf(stderr, "failed (%d): %s\n", rc, command.c_str());
    std::exit(1);
  }
  return s;
}

std::string Output(const std::string& command) {
  std::string out;
  if (FILE* p = ::popen((command + " 2>/dev/null").c_str(), "r")) {
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
      out.append(buf, n);
    ::pclose(p);
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

void WriteRows(const std::string& path, long rows) {
  std::ofstream out(path, std::ios::binary);
  const char* words[] = {"碁盤", "黒石", "白石", "定石", "布石", "手筋"};
  char line[128];
  for (long i = 1; i <= rows; ++i) {
    const long k = (i * 7919) % 1000003;
    const int n = std::snprintf(line, sizeof line, "%ld\t%s%ld\t%ld.%02ld\t20%02ld-%02ld-%02ld\n",
                                k, words[i % 6], i % 50000, i % 100000, i % 100, 10 + i % 16,
                                1 + i % 12, 1 + i % 28);
    out.write(line, n);
  }
}

struct TSide {
  double plain = 0, indexed = 0, insert_select = 0;
};

void Line(const char* what, double kura, double sqlite, const std::string& kura_rows,
          const std::string& sqlite_rows) {
  std::printf("%-34s kura %7.2f s   sqlite %7.2f s   sqlite/kura %5.2f   rows %s/%s%s\n", what,
              kura, sqlite, kura > 0 ? sqlite / kura : 0.0, kura_rows.c_str(),
              sqlite_rows.c_str(), kura_rows == sqlite_rows ? "" : "   ROWS DIFFER");
}

}  // namespace

int main(int argc, char** argv) {
  const long rows = argc > 1 ? std::atol(argv[1]) : 1000000;
  const std::string kura = argc > 2 ? argv[2] : std::string(KIROBAKU_BIN_DIR) + "/../tools/bin/kura";
  const std::string sqlite = argc > 3 ? argv[3] : "sqlite3";
  char pattern[] = "/tmp/kura-bulk-load-XXXXXX";
  const char* made = ::mkdtemp(pattern);
  if (!made) return 2;
  const std::string dir = made;
  const std::string tsv = dir + "/rows.tsv";
  WriteRows(tsv, rows);
  std::printf("%ld rows of integer, string, float, date (%.1f MB of text)\n", rows,
              static_cast<double>(std::filesystem::file_size(tsv)) / 1e6);
  const std::string fields = " k:integer name:string:30 price:float day:date";
  const std::string columns = "(k INTEGER, name VARCHAR(30), price REAL, day DATE)";
  const std::string count_kura = " -c 'select count(*) from t' | tail -1";

  // 1. plain tables
  const std::string kdir = dir + "/kura", sdb = dir + "/plain.sqlite";
  std::filesystem::create_directories(kdir);
  Run(kura + " create " + Quote(kdir) + " t" + fields);
  const double k_plain = Run(kura + " append " + Quote(kdir) + " t < " + Quote(tsv));
  Run(sqlite + " " + Quote(sdb) + " " + Quote("create table t" + columns));
  const double s_plain =
      Run(sqlite + " " + Quote(sdb) + " -cmd '.mode tabs' " + Quote(".import " + tsv + " t"));
  Line("kura append / sqlite .import", k_plain, s_plain,
       Output(kura + " sql " + Quote(kdir) + count_kura),
       Output(sqlite + " " + Quote(sdb) + " 'select count(*) from t'"));
  std::printf("  kura verify: %s\n", Output(kura + " verify " + Quote(kdir) + " t").c_str());

  // 2. with two indexes made before the load
  const std::string kidir = dir + "/kura-indexed", sidb = dir + "/indexed.sqlite";
  std::filesystem::create_directories(kidir);
  Run(kura + " create " + Quote(kidir) + " t" + fields + " --index by_k:k --index by_name:name");
  const double k_indexed = Run(kura + " append " + Quote(kidir) + " t < " + Quote(tsv));
  Run(sqlite + " " + Quote(sidb) + " " +
      Quote("create table t" + columns + "; create index by_k on t(k); create index by_name on t(name)"));
  const double s_indexed =
      Run(sqlite + " " + Quote(sidb) + " -cmd '.mode tabs' " + Quote(".import " + tsv + " t"));
  Line("the same, two indexes", k_indexed, s_indexed,
       Output(kura + " sql " + Quote(kidir) + count_kura),
       Output(sqlite + " " + Quote(sidb) + " 'select count(*) from t'"));
  std::printf("  kura verify: %s\n", Output(kura + " verify " + Quote(kidir) + " t").c_str());

  // 3. INSERT INTO u SELECT * FROM t, u empty
  Run(kura + " create " + Quote(kdir) + " u" + fields);
  const double k_insert =
      Run(kura + " sql " + Quote(kdir) + " -c 'insert into u select * from t' > /dev/null 2>&1");
  Run(sqlite + " " + Quote(sdb) + " " + Quote("create table u" + columns));
  const double s_insert =
      Run(sqlite + " " + Quote(sdb) + " " + Quote("insert into u select * from t"));
  Line("INSERT INTO u SELECT * FROM t", k_insert, s_insert,
       Output(kura + " sql " + Quote(kdir) + " -c 'select count(*) from u' | tail -1"),
       Output(sqlite + " " + Quote(sdb) + " 'select count(*) from u'"));
  std::printf("  kura verify: %s\n", Output(kura + " verify " + Quote(kdir) + " u").c_str());

  std::filesystem::remove_all(dir);
  return 0;
}
