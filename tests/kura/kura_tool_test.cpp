// The kura executable as users run it: real processes, exit statuses, one
// line of error text, and several appenders working on one table at once.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include "db/storage/table/data_table.h"
#include "tests/storage/storage_test_support.h"

namespace kura {
namespace {

using test::ReadFileBytes;
using test::TempDir;
using test::WriteFileBytes;

struct TRun {
  int status = -1;
  std::string out;
  std::string err;
};

std::string ReadText(const std::string& path) {
  const auto b = ReadFileBytes(path);
  return std::string(b.begin(), b.end());
}

// Starts kura with stdin from a file and stdout/stderr to files.
pid_t Start(const TempDir& dir, const std::vector<std::string>& args, const std::string& input,
            const std::string& tag) {
  const std::string in = dir / (tag + ".in"), out = dir / (tag + ".out"),
                    err = dir / (tag + ".err");
  WriteFileBytes(in, std::vector<std::uint8_t>(input.begin(), input.end()));
  const std::string tool = std::string(KIROBAKU_TOOLS_DIR) + "/kura";
  std::vector<std::string> argv_store = {tool};
  argv_store.insert(argv_store.end(), args.begin(), args.end());
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int fd_in = ::open(in.c_str(), O_RDONLY);
    const int fd_out = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int fd_err = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(fd_in, 0);
    ::dup2(fd_out, 1);
    ::dup2(fd_err, 2);
    std::vector<char*> argv;
    for (auto& a : argv_store)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(tool.c_str(), argv.data());
    ::_exit(127);
  }
  return pid;
}

TRun Finish(const TempDir& dir, pid_t pid, const std::string& tag) {
  TRun r;
  int status = 0;
  ::waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = ReadText(dir / (tag + ".out"));
  r.err = ReadText(dir / (tag + ".err"));
  return r;
}

class KuraToolTest : public ::testing::Test {
 protected:
  TRun Kura(const std::vector<std::string>& args, const std::string& input = "") {
    return Finish(dir_, Start(dir_, args, input, "run"), "run");
  }
  int CountLines(const std::string& text, const std::string& prefix) {
    std::istringstream in(text);
    int n = 0;
    for (std::string line; std::getline(in, line);)
      if (line.rfind(prefix, 0) == 0) ++n;
    return n;
  }
  TempDir dir_;
};

TEST_F(KuraToolTest, HelpDocumentsEveryCommand) {
  const TRun r = Kura({"--help"});
  EXPECT_EQ(r.status, 0);
  for (const char* word : {"kura create", "kura append", "kura delete", "kura dump", "kura verify",
                           "--records", "--locale", "--blob-block-size", "\\N"})
    EXPECT_NE(r.out.find(word), std::string::npos) << word;
  EXPECT_EQ(Kura({"dump", "--help"}).status, 0);
}

TEST_F(KuraToolTest, BadUsageExitsTwo) {
  const std::string d = dir_.path();
  for (const auto& args :
       std::vector<std::vector<std::string>>{{},
                                             {"frobnicate"},
                                             {"create", d, "t"},
                                             {"create", d, "t", "A:nosuchtype"},
                                             {"create", d, "t", "A:string:x"},
                                             {"create", d, "t", "A:integer", "--locale", "Klingon"},
                                             {"create", d, "t", "A:integer", "--bogus"},
                                             {"append", d},
                                             {"delete", d, "t", "zero"},
                                             {"dump", d, "t", "--everything"},
                                             {"verify", d, "a/b"}}) {
    const TRun r = Kura(args);
    EXPECT_EQ(r.status, 2) << ::testing::PrintToString(args);
    EXPECT_EQ(CountLines(r.err, "kura: "), 1) << r.err;
  }
  EXPECT_FALSE(std::filesystem::exists(dir_ / "t.DAT"));
}

TEST_F(KuraToolTest, EngineErrorsAreOneLineAndExitOne) {
  const std::string d = dir_.path();
  TRun r = Kura({"dump", d, "nothere"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Kura Engine Error # 11010 Table 'nothere' does not exist: file " + d +
                       "/nothere.DAT is missing\n");
  ASSERT_EQ(Kura({"create", d, "t", "A:integer"}).status, 0);
  r = Kura({"create", d, "T", "A:integer"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Kura Engine Error # 13060 The table 'T' already exists\n");
  r = Kura({"create", d, "u", "A:string:251"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("# 10000 "), std::string::npos);
  r = Kura({"delete", d, "t", "1"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("# 8710 "), std::string::npos);
}

TEST_F(KuraToolTest, BadRowStopsTheAppendBeforeItsBatchIsWritten) {
  const std::string d = dir_.path();
  ASSERT_EQ(Kura({"create", d, "t", "A:integer", "S:string:4"}).status, 0);
  // Every row of a batch is checked before any is written: the good rows
  // before the bad one are not appended either.
  TRun r = Kura({"append", d, "t"}, "1\tab\n2\t\\N\n\n3\ttoolong\n4\tx\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("line 4"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("field S"), std::string::npos) << r.err;
  EXPECT_NE(Kura({"dump", d, "t"}).out.find("live records: 0\n"), std::string::npos);
  ASSERT_EQ(Kura({"append", d, "t"}, "1\tab\n2\t\\N\n").status, 0);
  r = Kura({"append", d, "t"}, "5\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("expected 2 values"), std::string::npos) << r.err;
  r = Kura({"dump", d, "t", "--records"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(CountLines(r.out, "  1 live"), 1);
  EXPECT_EQ(CountLines(r.out, "  2 live"), 1);
  EXPECT_EQ(CountLines(r.out, "  3 "), 0);
  EXPECT_NE(r.out.find("1\tab\n"), std::string::npos);
  EXPECT_NE(r.out.find("2\t\\N\n"), std::string::npos);
  EXPECT_EQ(Kura({"verify", d, "t"}).out, "ok\n");
  // Characters CP932 lacks are refused, not stored as "?".
  ASSERT_EQ(Kura({"create", d, "m", "A:integer", "M:memo"}).status, 0);
  for (const std::string table : {"t", "m"}) {
    r = Kura({"append", d, table}, "7\t\xE3\x81\x82\n8\ta\xF0\x9F\x98\x80\n");
    EXPECT_EQ(r.status, 1) << table;
    EXPECT_NE(r.err.find("line 2: field " + std::string(table == "t" ? "S" : "M") +
                         ": a character has no CP932 form"),
              std::string::npos)
        << r.err;
    EXPECT_NE(
        Kura({"dump", d, table}).out.find(table == "t" ? "live records: 2\n" : "live records: 0\n"),
        std::string::npos);
  }
}

TEST_F(KuraToolTest, VerifyReportsDamagedFilesWithoutChangingThem) {
  const std::string d = dir_.path();
  ASSERT_EQ(Kura({"create", d, "t", "A:integer"}).status, 0);
  ASSERT_EQ(Kura({"append", d, "t"}, "1\n2\n3\n").status, 0);
  auto bytes = ReadFileBytes(dir_ / "t.DAT");
  bytes.pop_back();
  WriteFileBytes(dir_ / "t.DAT", bytes);
  TRun r = Kura({"verify", d, "t"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Kura Engine Error # 8961 Header information corrupt in the table 't'\n");
  EXPECT_EQ(ReadFileBytes(dir_ / "t.DAT"), bytes);
  bytes[8] = 7;
  WriteFileBytes(dir_ / "t.DAT", bytes);
  r = Kura({"dump", d, "t"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("# 12035 "), std::string::npos);
}

// Every file of a directory with its bytes.
std::map<std::string, std::vector<std::uint8_t>> Snapshot(const std::string& dir) {
  std::map<std::string, std::vector<std::uint8_t>> files;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    files[e.path().filename().string()] = ReadFileBytes(e.path().string());
  return files;
}

// Inspecting commands report a missing file (naming it) and write nothing:
// a missing index file is not recreated, so its definitions survive.
TEST_F(KuraToolTest, InspectingCommandsReportMissingFilesAndWriteNothing) {
  const std::string d = dir_ / "db";
  std::filesystem::create_directory(d);
  ASSERT_EQ(Kura({"create", d, "t", "A:integer", "M:memo", "--primary", "A"}).status, 0);
  ASSERT_EQ(Kura({"append", d, "t"}, "1\tone\n2\ttwo\n").status, 0);
  const auto index = ReadFileBytes(d + "/t.IDX");
  for (const char* gone : {"t.IDX", "t.BLB"}) {
    const auto whole = Snapshot(d);
    std::filesystem::remove(d + "/" + gone);
    const auto before = Snapshot(d);
    for (const auto& args : std::vector<std::vector<std::string>>{{"verify", d, "t"},
                                                                  {"dump", d, "t"},
                                                                  {"dump", d, "t", "--records"},
                                                                  {"find", d, "t", "primary", "1"},
                                                                  {"cat", d, "t", "1", "M"}}) {
      const TRun r = Kura(args);
      EXPECT_EQ(r.status, 1) << args[0] << " " << gone;
      EXPECT_NE(r.err.find("# 11010 "), std::string::npos) << r.err;
      EXPECT_NE(r.err.find(std::string("file ") + d + "/" + gone + " is missing"),
                std::string::npos)
          << r.err;
      EXPECT_EQ(Snapshot(d), before) << args[0] << " " << gone;
    }
    for (const auto& [name, bytes] : whole)
      WriteFileBytes(d + "/" + name, bytes);
  }
  EXPECT_EQ(ReadFileBytes(d + "/t.IDX"), index);
  EXPECT_EQ(Kura({"verify", d, "t"}).out, "ok\n");
  const TRun r = Kura({"verify", d + "/nodir", "t"});
  EXPECT_NE(r.err.find("directory " + d + "/nodir does not exist"), std::string::npos) << r.err;
}

// kura repair mends a data file shorter than its header and a BLOB file
// shorter than its header's block count; two live records with one primary
// key are refused with the files left byte for byte as they were.
TEST_F(KuraToolTest, RepairMendsShortFilesAndRefusesDuplicateKeysLeavingTheFiles) {
  const std::string d = dir_ / "db";
  std::filesystem::create_directory(d);
  ASSERT_EQ(Kura({"create", d, "t", "A:integer", "M:memo", "--primary", "A"}).status, 0);
  const std::string rows =
      "1\t" + std::string(1500, 'a') + "\n2\tshort\n3\t" + std::string(1500, 'c') + "\n";
  ASSERT_EQ(Kura({"append", d, "t"}, rows).status, 0);
  const auto sound = Snapshot(d);
  const auto blob = ReadFileBytes(d + "/t.BLB");

  // Slot 2 deleted, then the last slot and part of slot 2 are missing.
  ASSERT_EQ(Kura({"delete", d, "t", "2"}).status, 0);
  const auto less = ReadFileBytes(d + "/t.DAT");
  const std::ptrdiff_t record_size = [&] {
    TDataTable t(d, "t", TStorageSettings{});
    t.Open(false, true);
    return t.Data().RecordSize();
  }();
  WriteFileBytes(d + "/t.DAT",
                 std::vector<std::uint8_t>(less.begin(), less.end() - record_size - 20));
  EXPECT_EQ(Kura({"verify", d, "t"}).status, 1);
  TRun r = Kura({"repair", d, "t"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("missing slots added as deleted: 2"), std::string::npos) << r.out;
  EXPECT_EQ(Kura({"verify", d, "t"}).out, "ok\n");
  EXPECT_NE(Kura({"dump", d, "t"}).out.find("live records: 1\n"), std::string::npos);

  // The BLOB file lost its last two blocks: record 3's value is lost.
  for (const auto& [name, bytes] : sound)
    WriteFileBytes(d + "/" + name, bytes);
  WriteFileBytes(d + "/t.BLB", std::vector<std::uint8_t>(blob.begin(), blob.end() - 2 * 512));
  r = Kura({"repair", d, "t"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("blob blocks missing from the file: 2"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("blob values lost: 1"), std::string::npos) << r.out;
  EXPECT_EQ(Kura({"verify", d, "t"}).out, "ok\n");
  EXPECT_EQ(Kura({"cat", d, "t", "1", "M"}).out, std::string(1500, 'a'));

  // Record 2 takes record 1's key behind the index's back.
  for (const auto& [name, bytes] : sound)
    WriteFileBytes(d + "/" + name, bytes);
  {
    TDataTable t(d, "t", TStorageSettings{});
    t.Open(true);
    const TFieldDescriptor& a = *t.Data().FieldByName("A");
    std::uint8_t one[4];
    ASSERT_TRUE(t.Data().GetField(t.Data().GetRecord(1)->Data(), a, one));
    TRecordPin rec = t.Data().GetRecord(2);
    t.Data().PutField(rec->Data(), a, one);
    rec->SetDirty(true);
    rec.Release();
    t.Data().FlushRecords();
    t.Close(true);
  }
  for (const char* backup : {"t.DBK", "t.IBK", "t.BBK"})
    std::filesystem::remove(d + "/" + backup);
  const auto broken = Snapshot(d);
  r = Kura({"repair", d, "t"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("# 9729 "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("record 2 "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("as they were"), std::string::npos) << r.err;
  auto after = Snapshot(d);
  for (const char* backup : {"t.DBK", "t.IBK", "t.BBK"})
    EXPECT_EQ(after.erase(backup), 1u) << backup;
  EXPECT_EQ(after, broken);
  EXPECT_NE(Kura({"dump", d, "t"}).out.find("live records: 3\n"), std::string::npos);
}

TEST_F(KuraToolTest, FourAppendersLeaveTwoThousandDistinctRecords) {
  const std::string d = dir_.path();
  ASSERT_EQ(Kura({"create", d, "moves", "ID:autoinc", "P:integer", "N:integer"}).status, 0);
  std::vector<pid_t> pids;
  for (int p = 0; p < 4; ++p) {
    std::string rows;
    for (int i = 0; i < 500; ++i)
      rows += "\\N\t" + std::to_string(p) + "\t" + std::to_string(i) + "\n";
    pids.push_back(Start(dir_, {"append", d, "moves"}, rows, "p" + std::to_string(p)));
  }
  for (int p = 0; p < 4; ++p) {
    const TRun r = Finish(dir_, pids[static_cast<std::size_t>(p)], "p" + std::to_string(p));
    EXPECT_EQ(r.status, 0) << r.err;
  }
  EXPECT_EQ(Kura({"verify", d, "moves"}).out, "ok\n");
  const TRun dump = Kura({"dump", d, "moves", "--records"});
  ASSERT_EQ(dump.status, 0);
  EXPECT_NE(dump.out.find("live records: 2000\n"), std::string::npos);
  std::istringstream in(dump.out);
  std::set<int> ids;
  std::set<std::pair<int, int>> rows;
  int live = 0;
  for (std::string line; std::getline(in, line);) {
    int slot, recno, autoinc, id, p, n;
    if (std::sscanf(line.c_str(), " %d live recno %d autoinc %d\t%d\t%d\t%d", &slot, &recno,
                    &autoinc, &id, &p, &n) != 6)
      continue;
    ++live;
    EXPECT_EQ(slot, recno);
    EXPECT_EQ(autoinc, id);
    ids.insert(id);
    rows.insert({p, n});
  }
  EXPECT_EQ(live, 2000);
  EXPECT_EQ(ids.size(), 2000u);
  EXPECT_EQ(rows.size(), 2000u);  // every row of every appender, once
}

TEST_F(KuraToolTest, FilterPrintsTheRecordsACursorLetsThrough) {
  const std::string d = dir_.path();
  ASSERT_EQ(
      Kura({"create", d, "g", "NB:integer", "MNO:integer", "CMT:string:20", "--index", "nb:NB"})
          .status,
      0);
  ASSERT_EQ(Kura({"append", d, "g"}, "3\t1\t黒\n1\t2\t白\n0\t3\t\\N\n2\t4\t黒番\n").status, 0);
  // Natural order, then the order of index nb; a NULL prints as \N.
  EXPECT_EQ(Kura({"filter", d, "g", "NB > 0"}).out, "3\t1\t黒\n1\t2\t白\n2\t4\t黒番\n");
  EXPECT_EQ(Kura({"filter", d, "g", "NB > 0", "--index", "nb"}).out,
            "1\t2\t白\n2\t4\t黒番\n3\t1\t黒\n");
  EXPECT_EQ(Kura({"filter", d, "g", "CMT IS NULL"}).out, "0\t3\t\\N\n");
  EXPECT_EQ(Kura({"filter", d, "g", "CMT LIKE '黒%'", "--count"}).out, "2\n");
  const TRun bad = Kura({"filter", d, "g", "NB >"});
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.err.find("Kura Engine Error # 10051"), std::string::npos) << bad.err;
  EXPECT_EQ(Kura({"filter", d, "g", "NB > 0", "--index", "zz"}).status, 2);
  EXPECT_EQ(Kura({"filter", d, "g"}).status, 2);
}

TEST_F(KuraToolTest, SqlShellRunsStatementsPrintsTsvAndGoesOnAfterErrors) {
  const std::string d = dir_.path();
  const TRun r = Kura({"sql", d, "--param", "2"},
                      "create table g (NB integer not null, CMT varchar(20), X float,\n"
                      "  OK boolean, primary key (NB));\n"
                      "insert into g values (1, '最初\tの', 0.1, true);\n"
                      "insert into g values (2, 'a\\b', 1e300, false);\n"
                      "select * from nowhere;\n"
                      "insert into g (NB) values (3);\n"
                      "select * from g where NB <= ? order by NB desc;\n"
                      "select count(*) as N from g");
  EXPECT_EQ(r.status, 1);  // one statement failed
  EXPECT_EQ(r.out, "NB\tCMT\tX\tOK\n2\ta\\\\b\t1e+300\tfalse\n1\t最初\\tの\t0.1\ttrue\nN\n3\n");
  EXPECT_NE(r.err.find("Kura Engine Error # 11010"), std::string::npos);
  EXPECT_NE(r.err.find("2 rows, "), std::string::npos);
  EXPECT_NE(r.err.find("1 rows affected, "), std::string::npos);
  // -c: one text, a script allowed; an engine error exits 1 with its message.
  TRun c =
      Kura({"sql", d, "-c", "update g set CMT = 'x' where NB = 3; select CMT from g where NB = 3"});
  EXPECT_EQ(c.status, 0);
  EXPECT_EQ(c.out, "CMT\nx\n");
  c = Kura({"sql", d, "-c", "select * frm g"});
  EXPECT_EQ(c.status, 1);
  EXPECT_NE(c.err.find("FROM keyword expected, instead found 'frm'"), std::string::npos);
  // The table format aligns wide characters as two columns.
  c = Kura({"sql", d, "--format", "table", "-c", "select NB, CMT from g where NB < 3 order by NB"});
  EXPECT_EQ(c.out, "NB | CMT\n---+---------\n1  | 最初\\tの\n2  | a\\\\b\n");
  EXPECT_EQ(Kura({"sql", d, "--format", "xml", "-c", "select 1 from g"}).status, 2);
  // Text CP932 lacks is refused and named, not stored as "?"; parameters
  // are counted.
  c = Kura({"sql", d, "-c", "insert into g values (90, '😀€', 1, true)"});
  EXPECT_EQ(c.status, 1);
  EXPECT_NE(c.err.find("'😀'"), std::string::npos) << c.err;
  c = Kura({"sql", d, "-c", "insert into g (NB, CMT) values (91, 'it''s' || 'x€')"});
  EXPECT_NE(c.err.find("'€', a character CP932 lacks, in the value of column 'CMT'"),
            std::string::npos)
      << c.err;
  c = Kura({"sql", d, "-c", "update g set OK = false, CMT = '東京€' where NB = 1"});
  EXPECT_NE(c.err.find("column 'CMT'"), std::string::npos) << c.err;
  EXPECT_EQ(Kura({"sql", d, "-c", "select NB from g where NB = ?", "--param", "東京😀"}).status, 2);
  c = Kura({"sql", d, "-c", "select NB from g where NB = ? or NB = ?", "--param", "1"});
  EXPECT_EQ(c.status, 1);
  EXPECT_NE(c.err.find("No value for parameter 2"), std::string::npos) << c.err;
  c = Kura({"sql", d, "-c", "select NB from g where NB = ?", "--param", "1", "--param", "2"});
  EXPECT_EQ(c.status, 1);
  EXPECT_NE(c.err.find("--param gave 2"), std::string::npos) << c.err;
  EXPECT_EQ(Kura({"sql", d, "-c", "select count(*) from g"}).out, "count(*)\n3\n");
}

}  // namespace
}  // namespace kura
