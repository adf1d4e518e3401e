// Writers killed with SIGKILL at random moments in the middle of inserts,
// updates and deletes with BLOB values. After every kill the table must open;
// it must verify, or its verification must fail with an engine error that
// RepairTable mends. Every insert that had returned before the kill is still
// there (unless its delete had begun), with a value that is one of the values
// written for it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "tests/storage/blob/blob_format_reader.h"
#include "tests/storage/blob/blob_test_util.h"
#include "db/storage/blob/blob_buffer.h"
#include "db/storage/table/table_repair.h"
#include "db/storage/table/data_table.h"
#include "db/storage/engine_error.h"
#include "db/storage/index/index_file.h"

namespace kura {
namespace {

using kura::test::ValueBytes;

// Value `version` of record `id`: its first 8 bytes name both, the rest
// depends on them, so any value read back can be checked on its own.
std::vector<std::uint8_t> MakeValue(std::int32_t id, std::int32_t version, std::size_t length) {
  std::vector<std::uint8_t> v =
      ValueBytes(std::max<std::size_t>(length, 8),
                 static_cast<std::uint32_t>(id) * 131u + static_cast<std::uint32_t>(version));
  EncodeFixed32(v.data(), static_cast<std::uint32_t>(id));
  EncodeFixed32(v.data() + 4, static_cast<std::uint32_t>(version));
  return v;
}

bool IsValueOf(const std::vector<std::uint8_t>& v, std::int32_t id) {
  if (v.size() < 8 || static_cast<std::int32_t>(DecodeFixed32(v.data())) != id) return false;
  const auto version = static_cast<std::int32_t>(DecodeFixed32(v.data() + 4));
  return v == MakeValue(id, version, v.size());
}

class BlobCrashTest : public ::testing::Test {
 protected:
  void SetUp() override { kura::test::CreateIdNotePicTable(dir_.Path(), settings_, false); }

  // The writer: inserts, updates and deletes until it is killed, telling the
  // parent "I id" after an insert returned, "d id" before a delete begins.
  [[noreturn]] void Writer(int out, std::int32_t first_id, unsigned seed) {
    int status = 3;
    try {
      std::mt19937 random(seed);
      TDataTable t(dir_.Path(), "T", settings_);
      t.Open(false);
      TDataFile& d = t.Data();
      const TFieldDescriptor& id_field = *d.FieldByName("ID");
      const TFieldDescriptor& note = *d.FieldByName("NOTE");
      const TFieldDescriptor& pic = *d.FieldByName("PIC");
      std::map<std::int32_t, std::int32_t> mine;  // id -> record number
      std::int32_t next_id = first_id;
      auto say = [&](char what, std::int32_t id) {
        const std::string line = what + std::to_string(id) + "\n";
        if (write(out, line.data(), line.size()) != static_cast<ssize_t>(line.size())) _exit(4);
      };
      for (int version = 1;; ++version) {
        const unsigned action = random() % 10;
        if (action < 6 || mine.empty()) {
          const std::int32_t id = next_id++;
          std::vector<std::uint8_t> image = t.BlankRecord();
          std::uint8_t id_bytes[4];
          EncodeFixed32(id_bytes, static_cast<std::uint32_t>(id));
          d.PutField(image.data(), id_field, id_bytes);
          TWriteLockGuard lock(t);
          WriteBlobField(*t.Blobs(), d, image.data(), note, MakeValue(id, 0, random() % 3000));
          WriteBlobField(*t.Blobs(), d, image.data(), pic, MakeValue(id, 0, random() % 6000));
          mine[id] = t.InsertRecord(image.data());
          say('I', id);
        } else {
          auto it = mine.begin();
          std::advance(it, random() % mine.size());
          const auto [id, recno] = *it;
          TWriteLockGuard lock(t);
          if (action < 9) {
            std::vector<std::uint8_t> image;
            {
              TRecordPin r = d.GetRecord(recno);
              image.assign(r->Data(), r->Data() + r->Size());
            }
            const TFieldDescriptor& f = random() % 2 ? note : pic;
            WriteBlobField(*t.Blobs(), d, image.data(), f, MakeValue(id, version, random() % 6000));
            t.UpdateRecord(recno, image.data());
          } else {
            say('d', id);
            t.DeleteRecord(recno);
            mine.erase(it);
          }
        }
      }
    } catch (const std::exception& e) {
      const std::string line = std::string("E ") + e.what() + "\n";
      if (write(out, line.data(), line.size()) < 0) status = 5;
    }
    _exit(status);
  }

  // Opens the table; when its verification fails, repairs it and verifies
  // again. Returns whether a repair was needed.
  bool VerifyOrRepair(TDataTable& t, std::string* why) {
    *why = kura::test::FirstTableProblem(t);
    if (why->empty()) return false;
    try {
      RepairTable(t);
    } catch (const EKuraEngineError& e) {
      ADD_FAILURE() << "after " << *why << ", repair failed: " << e.what();
      throw;
    }
    const std::string after = kura::test::FirstTableProblem(t);
    if (!after.empty()) {
      ADD_FAILURE() << "after " << *why << " and a repair: " << after;
      RaiseTableError(kErrHeaderCorrupt, t.Name());
    }
    return true;
  }

  kura::test::ScratchDir dir_;
  TStorageSettings settings_;
};

TEST_F(BlobCrashTest, KilledWritersLeaveTablesThatVerifyOrRepair) {
  std::mt19937 random(20261208);
  std::set<std::int32_t> inserted;
  std::set<std::int32_t> deleting;
  int repairs = 0;
  constexpr int kCycles = 24;
  for (int cycle = 0; cycle < kCycles; ++cycle) {
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(pipe_fds[0]);
      Writer(pipe_fds[1], (cycle + 1) * 1'000'000, random());
    }
    close(pipe_fds[1]);
    std::this_thread::sleep_for(std::chrono::milliseconds(20 + random() % 250));
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    std::string said;
    char buffer[4096];
    for (ssize_t n; (n = read(pipe_fds[0], buffer, sizeof buffer)) > 0;)
      said.append(buffer, n);
    close(pipe_fds[0]);
    ASSERT_TRUE(WIFSIGNALED(status)) << "writer stopped on its own: " << said;
    std::istringstream lines(said);
    for (std::string line; std::getline(lines, line);) {
      ASSERT_FALSE(line.empty());
      ASSERT_NE(line[0], 'E') << line;
      const std::int32_t id = std::stoi(line.substr(1));
      (line[0] == 'I' ? inserted : deleting).insert(id);
    }

    SCOPED_TRACE("cycle " + std::to_string(cycle));
    TDataTable t(dir_.Path(), "T", settings_);
    t.Open(true);
    std::string why;
    if (VerifyOrRepair(t, &why)) {
      ++repairs;
      std::cerr << "cycle " << cycle << ": repaired after: " << why << "\n";
    }
    TDataFile& d = t.Data();
    std::map<std::int32_t, int> live;
    for (std::int32_t n = 1; n <= d.SlotCount(); ++n) {
      TRecordPin r = d.GetRecord(n);
      if (r->Deleted()) continue;
      std::uint8_t id_bytes[4];
      ASSERT_TRUE(d.GetField(r->Data(), *d.FieldByName("ID"), id_bytes));
      const auto id = static_cast<std::int32_t>(DecodeFixed32(id_bytes));
      ++live[id];
      for (const char* field : {"NOTE", "PIC"}) {
        const auto value = ReadBlobField(*t.Blobs(), d, r->Data(), *d.FieldByName(field));
        ASSERT_TRUE(value.empty() || IsValueOf(value, id))
            << "record " << n << " field " << field << " holds a foreign value";
      }
    }
    // The BLOB file passes the independent reader: every live value's chain
    // is well formed and no block belongs to two owners. Leftover blocks of
    // a write that died are allowed.
    const auto problems = kura::test::CheckCrashTableBlobs(d, dir_.File("T.BLB"));
    ASSERT_TRUE(problems.empty()) << problems.front();
    for (std::int32_t id : inserted) {
      if (deleting.count(id)) continue;
      ASSERT_EQ(live[id], 1) << "insert of " << id << " returned but the record is gone";
    }
    t.Close();
  }
  EXPECT_GT(inserted.size(), 0u);
  std::cerr << inserted.size() << " inserts, " << repairs << " repairs in " << kCycles
            << " kills\n";
}

}  // namespace
}  // namespace kura
