// The kura tool with BLOB and memo fields, run as real processes: several
// appenders at once with values from files, then cat, dump, verify and
// repair; the files they leave pass the independent reader.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

#include "tests/storage/blob/blob_format_reader.h"
#include "tests/storage/blob/blob_test_util.h"
#include "db/storage/blob/blob_buffer.h"
#include "db/storage/table/data_table.h"

namespace kura {
namespace {

using kura::test::ValueBytes;

struct TToolRun {
  int status = -1;
  std::string out;
  std::string err;
};

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Spit(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

class BlobToolTest : public ::testing::Test {
 protected:
  pid_t Start(const std::vector<std::string>& args, const std::string& input,
              const std::string& tag) {
    Spit(dir_.File(tag + ".in"), input);
    const std::string tool = std::string(KIROBAKU_TOOLS_DIR) + "/kura";
    std::vector<std::string> store = {tool};
    store.insert(store.end(), args.begin(), args.end());
    const std::string in = dir_.File(tag + ".in"), out = dir_.File(tag + ".out"),
                      err = dir_.File(tag + ".err");
    const pid_t pid = fork();
    if (pid == 0) {
      dup2(open(in.c_str(), O_RDONLY), 0);
      dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
      dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
      std::vector<char*> argv;
      for (auto& a : store)
        argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(tool.c_str(), argv.data());
      _exit(127);
    }
    return pid;
  }
  TToolRun Finish(pid_t pid, const std::string& tag) {
    int status = 0;
    waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, Slurp(dir_.File(tag + ".out")),
            Slurp(dir_.File(tag + ".err"))};
  }
  TToolRun Kura(const std::vector<std::string>& args, const std::string& input = "") {
    return Finish(Start(args, input, "run"), "run");
  }
  void CreateTable() {
    const TToolRun r = Kura({"create", dir_.Path(), "T", "ID:integer", "NOTE:memo", "PIC:blob"});
    ASSERT_EQ(r.status, 0) << r.err;
  }
  std::string ValueFile(std::int32_t id, std::size_t size) {
    const auto bytes = ValueBytes(size, id);
    const std::string path = dir_.File("v" + std::to_string(id));
    Spit(path, std::string(bytes.begin(), bytes.end()));
    return path;
  }
  static std::size_t SizeOf(std::int32_t id) { return id % 7 == 0 ? 0 : (id * 7919) % 90000; }

  kura::test::ScratchDir dir_;
};

TEST_F(BlobToolTest, ConcurrentAppendersLeaveSoundChains) {
  CreateTable();
  constexpr int kWriters = 3, kRows = 30;
  std::vector<pid_t> pids;
  for (int w = 0; w < kWriters; ++w) {
    std::string rows;
    for (int i = 0; i < kRows; ++i) {
      const std::int32_t id = w * 1000 + i + 1;
      rows += std::to_string(id) + "\tnote " + std::to_string(id) + " 碁\t@" +
              ValueFile(id, SizeOf(id)) + "\n";
    }
    pids.push_back(Start({"append", dir_.Path(), "T"}, rows, "w" + std::to_string(w)));
  }
  for (int w = 0; w < kWriters; ++w) {
    const TToolRun r = Finish(pids[static_cast<std::size_t>(w)], "w" + std::to_string(w));
    ASSERT_EQ(r.status, 0) << r.err;
  }
  const TToolRun verify = Kura({"verify", dir_.Path(), "T"});
  EXPECT_EQ(verify.status, 0) << verify.err;

  TDataTable t(dir_.Path(), "T", TStorageSettings{});
  t.Open(true);
  TDataFile& d = t.Data();
  ASSERT_EQ(d.SlotCount(), kWriters * kRows);
  std::vector<std::pair<std::int32_t, std::int32_t>> refs;
  for (std::int32_t n = 1; n <= d.SlotCount(); ++n) {
    TRecordPin r = d.GetRecord(n);
    std::uint8_t id_bytes[4];
    ASSERT_TRUE(d.GetField(r->Data(), *d.FieldByName("ID"), id_bytes));
    const auto id = static_cast<std::int32_t>(DecodeFixed32(id_bytes));
    EXPECT_EQ(ReadBlobField(*t.Blobs(), d, r->Data(), *d.FieldByName("PIC")),
              ValueBytes(SizeOf(id), id));
    const auto note = ReadBlobField(*t.Blobs(), d, r->Data(), *d.FieldByName("NOTE"));
    EXPECT_EQ(std::string(note.begin(), note.end()),
              "note " + std::to_string(id) + " \x8c\xe9");  // 碁 in CP932
    for (const char* f : {"NOTE", "PIC"}) {
      const TBlobRef ref = GetBlobRef(r->Data(), *d.FieldByName(f));
      if (ref.first_block) refs.push_back({ref.first_block, ref.stamp});
    }
  }
  t.Close();
  std::vector<std::string> problems;
  const auto image = kura::test::ReadBlobImage(dir_.File("T.BLB"), 0, false, problems);
  int unowned = -1;
  const auto more = kura::test::CheckBlobFile(image, refs, &unowned);
  problems.insert(problems.end(), more.begin(), more.end());
  EXPECT_TRUE(problems.empty()) << problems.front();
  EXPECT_EQ(unowned, 0);
}

TEST_F(BlobToolTest, CatAndDumpShowTheValueAndItsChain) {
  CreateTable();
  const std::string path = ValueFile(5, 1000);
  ASSERT_EQ(Kura({"append", dir_.Path(), "T"}, "1\t\\N\t@" + path + "\n2\tmemo text\t\n").status,
            0);
  const TToolRun cat = Kura({"cat", dir_.Path(), "T", "1", "PIC"});
  EXPECT_EQ(cat.status, 0) << cat.err;
  EXPECT_EQ(cat.out, Slurp(path));
  EXPECT_EQ(Kura({"cat", dir_.Path(), "T", "2", "NOTE"}).out, "memo text");
  EXPECT_EQ(Kura({"cat", dir_.Path(), "T", "2", "PIC"}).out, "");
  const TToolRun dump = Kura({"dump", dir_.Path(), "T", "--records"});
  EXPECT_NE(dump.out.find("blob:1 stamp:1 length:1000 chain:1-3"), std::string::npos) << dump.out;
  EXPECT_NE(dump.out.find("blob:4 stamp:2 length:9 chain:4"), std::string::npos) << dump.out;
}

TEST_F(BlobToolTest, BadArgumentsAndUnreadableFilesAreRefused) {
  CreateTable();
  EXPECT_EQ(Kura({"append", dir_.Path(), "T"}, "1\t\\N\t@" + dir_.File("missing") + "\n").status,
            2);
  EXPECT_EQ(Kura({"cat", dir_.Path(), "T", "x", "PIC"}).status, 2);
  EXPECT_EQ(Kura({"cat", dir_.Path(), "T", "1"}).status, 2);
  const TToolRun missing = Kura({"cat", dir_.Path(), "T", "1", "PIC"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("8710"), std::string::npos);
  ASSERT_EQ(Kura({"append", dir_.Path(), "T"}, "1\t\\N\t\\N\n").status, 0);
  const TToolRun not_blob = Kura({"cat", dir_.Path(), "T", "1", "ID"});
  EXPECT_EQ(not_blob.status, 1);
  EXPECT_NE(not_blob.err.find("10753"), std::string::npos);
  EXPECT_EQ(Kura({"repair", dir_.Path()}).status, 2);
}

TEST_F(BlobToolTest, RepairMendsWhatVerifyReports) {
  CreateTable();
  ASSERT_EQ(Kura({"append", dir_.Path(), "T"}, "1\tone\t\\N\n2\ttwo\t\\N\n").status, 0);
  // An append that died before its header was written.
  const std::int64_t end = kura::test::FileSize(dir_.File("T.DAT"));
  kura::test::PatchFile(dir_.File("T.DAT"), end, std::vector<std::uint8_t>(40, 0));  // record size 32
  const TToolRun bad = Kura({"verify", dir_.Path(), "T"});
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.err.find("8961"), std::string::npos) << bad.err;
  const TToolRun repair = Kura({"repair", dir_.Path(), "T"});
  EXPECT_EQ(repair.status, 0) << repair.err;
  EXPECT_NE(repair.out.find("unfinished appends removed: 1"), std::string::npos) << repair.out;
  EXPECT_TRUE(std::filesystem::exists(dir_.File("T.IBK")));
  EXPECT_EQ(Kura({"verify", dir_.Path(), "T"}).out, "ok\n");
  EXPECT_EQ(Kura({"cat", dir_.Path(), "T", "2", "NOTE"}).out, "two");
}

}  // namespace
}  // namespace kura
