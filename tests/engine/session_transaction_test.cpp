#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <thread>

#include "db/storage/file/file_system.h"
#include "db/storage/file/lock_map.h"
#include "db/storage/index/index_file.h"
#include "db/storage/table/commit_journal.h"
#include "db/storage/table/table_repair.h"
#include "tests/engine/session_test_support.h"
#include "tests/storage/file/other_computer_file_system.h"
#include "tests/storage/file/power_loss_file_system.h"

namespace kura {
namespace {

using test::Append;
using test::MakeTable;
using test::TempDir;
using test::Values;

const std::array<std::string, 2> kTables = {"ta", "tb"};

// A session with one database on `dir`.
struct TClient {
  // `force_flush`: every write outside a transaction is OS-flushed.
  TClient(const std::string& name, const std::string& dir, bool force_flush = false)
      : session(name), database(nullptr, name) {
    session.SetForceBufferFlush(force_flush);
    database.SetDatabaseName("db");
    database.SetDirectory(dir);
    database.Open();
  }
  TDataDirectory& Dir() { return database.DataDirectory(); }
  // The rows of a table as a fresh open of this session sees them.
  std::vector<std::int32_t> Read(const std::string& table) {
    TSharedTable& t = Dir().OpenTable(table, true, false);
    std::vector<std::int32_t> v = Values(t.Table());
    Dir().CloseTable(t);
    return v;
  }
  TKuraSession session;
  TKuraDatabase database;
};

class SessionTransactionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A lock that is never released must fail within seconds, not minutes.
    saved_ = DefaultStorageSettings();
    DefaultStorageSettings().low_level_retries = 300;
    for (const std::string& t : kTables)
      MakeTable(dir_.path(), t);
  }
  void TearDown() override { DefaultStorageSettings() = saved_; }

  TempDir dir_;
  TStorageSettings saved_;
};

// Random inserts, table opens and closes, starts, commits and rollbacks on two
// tables, held against a model of the committed and the pending rows. Another
// session sees only committed rows at every step; tables closed inside a
// transaction stay open until it ends, and the ones opened inside it join it.
TEST_F(SessionTransactionTest, RandomTransactionsAgainstAModel) {
  TClient writer("writer", dir_.path()), reader("reader", dir_.path());
  TDataDirectory& dir = writer.Dir();
  std::array<std::vector<std::int32_t>, 2> committed, pending;
  std::array<TSharedTable*, 2> open = {nullptr, nullptr};
  std::mt19937 random(20261209);
  std::int32_t next = 1;
  for (int step = 0; step < 300; ++step) {
    const std::size_t k = random() % 2;
    switch (random() % 8) {
      case 0:
        if (dir.StartTransaction()) pending = committed;
        break;
      case 1:
        dir.Commit(random() % 2 == 0);
        committed = pending;
        break;
      case 2:
        dir.Rollback();
        pending = committed;
        break;
      case 3:
        if (open[k]) dir.CloseTable(*open[k]);
        open[k] = nullptr;
        break;
      default:
        if (!open[k]) open[k] = &dir.OpenTable(kTables[k], false, false);
        Append(open[k]->Table(), next);
        pending[k].push_back(next++);
        if (!dir.InTransaction()) committed = pending;
        break;
    }
    for (std::size_t t = 0; t < 2; ++t) {
      ASSERT_EQ(reader.Read(kTables[t]), committed[t]) << "step " << step << " table " << t;
      TSharedTable* shared = dir.FindTable(kTables[t], false);
      if (!dir.InTransaction()) {
        EXPECT_EQ(shared != nullptr, open[t] != nullptr) << step;
      } else if (shared != nullptr) {
        EXPECT_TRUE(shared->Table().InTransaction()) << step;
      }
    }
  }
  dir.Commit(true);
  for (std::size_t t = 0; t < 2; ++t) {
    if (open[t]) dir.CloseTable(*open[t]);
    EXPECT_EQ(writer.Read(kTables[t]), committed[t]);
    EXPECT_GT(committed[t].size(), 10u);
  }
}

// A process killed inside a transaction leaves the tables as they were after
// its last commit: they open, verify, and can be locked again.
TEST_F(SessionTransactionTest, ProcessKilledInsideATransactionLeavesOnlyCommittedRows) {
  test::Signal in_transaction;
  const pid_t child = test::Spawn([&] {
    // The parent waits for the signal: a failure here must send it too.
    struct TNotifyOnExit {
      test::Signal& s;
      ~TNotifyOnExit() { s.Notify(); }
    } notify{in_transaction};
    TClient c("child", dir_.path());
    TSharedTable& a = c.Dir().OpenTable("ta", false, false);
    Append(a.Table(), 1);
    c.Dir().StartTransaction();
    TSharedTable& b = c.Dir().OpenTable("tb", false, false);  // joins the transaction
    Append(a.Table(), 2);
    Append(b.Table(), 2);
    c.Dir().Commit(true);
    c.Dir().StartTransaction();
    for (std::int32_t v = 10; v < 200; ++v) {
      Append(a.Table(), v);
      Append(b.Table(), v);
    }
    in_transaction.Notify();
    ::pause();
    return 0;
  });
  ASSERT_GT(child, 0);
  ASSERT_TRUE(in_transaction.Wait());
  TClient parent("parent", dir_.path());
  EXPECT_EQ(parent.Read("ta"), (std::vector<std::int32_t>{1, 2}));
  EXPECT_EQ(parent.Read("tb"), (std::vector<std::int32_t>{2}));
  ::kill(child, SIGKILL);
  EXPECT_EQ(test::WaitExit(child), -2);

  TSharedTable& a = parent.Dir().OpenTable("ta", false, false);
  TSharedTable& b = parent.Dir().OpenTable("tb", false, false);
  for (TSharedTable* t : {&a, &b}) {
    TReadLockGuard lock(t->Table());
    EXPECT_NO_THROW(t->Table().Verify()) << t->Name();
  }
  EXPECT_EQ(Values(a.Table()), (std::vector<std::int32_t>{1, 2}));
  EXPECT_EQ(Values(b.Table()), (std::vector<std::int32_t>{2}));
  ASSERT_TRUE(parent.Dir().StartTransaction());  // the dead child's table locks are gone
}


// A commit over two tables, run on a file system that loses power.
class CommitJournalTest : public SessionTransactionTest {
 protected:
  CommitJournalTest() {
    after_ = before_;
    for (std::int32_t v = 100; v < 160; ++v)
      after_.push_back(v);
  }
  // Both tables made afresh, with an index on V, holding `before_`.
  void Fresh() {
    for (const auto& e : std::filesystem::directory_iterator(dir_.path()))
      std::filesystem::remove(e.path());
    for (const std::string& name : kTables) {
      MakeTable(dir_.path(), name);
      TDataTable t(dir_.path(), name, DefaultStorageSettings());
      t.Open(true);
      TIndexDefinition v;
      v.name = "VX";
      v.fields = {1};
      dynamic_cast<TIndexFile&>(t.Index()).AddSecondaryIndex(t.Data(), v);
      t.Flush();
      t.Close();
    }
    TClient c("setup", dir_.path());
    for (const std::string& name : kTables) {
      TSharedTable& t = c.Dir().OpenTable(name, false, false);
      for (std::int32_t v : before_)
        Append(t.Table(), v);
      c.Dir().CloseTable(t);
    }
  }
  // Starts c's transaction and appends the rows of `after_` past `before_`
  // to both tables.
  void StartAndAppendAfter(TClient& c, TSharedTable& a, TSharedTable& b) {
    c.Dir().StartTransaction();
    for (std::size_t i = before_.size(); i < after_.size(); ++i) {
      Append(a.Table(), after_[i]);
      Append(b.Table(), after_[i]);
    }
  }
  // Runs `body` on `fs`; the engine's failure once the power is lost ends
  // it quietly.
  template <typename Body>
  static void OnFileSystem(test::TPowerLossFileSystem& fs, Body&& body) {
    SetFileSystemForTesting(&fs);
    try {
      body();
    } catch (const EDatabaseError&) {
      if (!fs.Lost()) {
        SetFileSystemForTesting(nullptr);
        throw;
      }
    }
    SetFileSystemForTesting(nullptr);
  }
  // The transaction taking both tables from `before_` to `after_` on `fs`;
  // true when its commit returned.
  bool Commit(test::TPowerLossFileSystem& fs) {
    bool done = false;
    OnFileSystem(fs, [&] {
      TClient c("writer", dir_.path());
      TSharedTable& a = c.Dir().OpenTable("ta", false, false);
      TSharedTable& b = c.Dir().OpenTable("tb", false, false);
      StartAndAppendAfter(c, a, b);
      c.Dir().Commit(true);
      done = true;
      c.Dir().CloseTable(a);
      c.Dir().CloseTable(b);
    });
    return done;
  }
  std::int64_t JournalSize() {
    std::int64_t size = -1;
    FileSystem().FileSize(TCommitJournal::JournalPath(dir_.path() + "/"), &size);
    return size;
  }
  // The journal is empty, missing or cut.
  bool NothingToReplay() {
    return TCommitJournal::State(dir_.path() + "/") != TCommitJournal::TState::kPending;
  }
  // What a commit killed at its call `loss_at` leaves, every write it made
  // kept: the directory's files, and its journal.
  struct TKilledCommit {
    std::map<std::string, std::vector<std::uint8_t>> files;
    std::int64_t journal_size = 0;
    bool pending = false;  // the journal is there to replay
  };
  TKilledCommit KillCommitAt(std::int64_t loss_at) {
    Fresh();
    test::TPowerLossFileSystem fs(loss_at);
    Commit(fs);
    std::mt19937 random(1);
    fs.Materialize(test::TPowerLossFileSystem::TSurvival::kEverything, random);
    TKilledCommit killed;
    killed.journal_size = JournalSize();
    killed.pending = !NothingToReplay();
    for (const auto& e : std::filesystem::directory_iterator(dir_.path()))
      killed.files[e.path().string()] = test::ReadFileBytes(e.path().string());
    return killed;
  }
  // Puts a killed commit's files in place (the open files see them).
  static void PutInPlace(const TKilledCommit& killed) {
    for (const auto& [path, bytes] : killed.files)
      test::WriteFileBytes(path, bytes);
  }
  std::int64_t CountCalls() {
    Fresh();
    test::TPowerLossFileSystem counting(std::int64_t{1} << 40);
    EXPECT_TRUE(Commit(counting));
    return counting.Calls();
  }

  const std::vector<std::int32_t> before_ = {1, 2, 3};
  std::vector<std::int32_t> after_;
};

// Power lost at each changing call of the commit in turn, with none, all, or
// a random part of the unflushed writes reaching the disk: afterwards both
// tables verify and hold the transaction's rows in both or in neither, and
// in both when Commit had returned; the open that found the journal emptied it.
TEST_F(CommitJournalTest, CommitCutByPowerLossIsWholeOrAbsentInBothTables) {
  const std::int64_t calls = CountCalls();
  ASSERT_GT(calls, 10);
  std::mt19937 random(20261209);
  int whole = 0, absent = 0;
  for (std::int64_t loss_at = 1; loss_at <= calls + 1; ++loss_at) {
    Fresh();
    test::TPowerLossFileSystem fs(loss_at);
    const bool done = Commit(fs);
    const auto survival = static_cast<test::TPowerLossFileSystem::TSurvival>(random() % 4);
    const std::string said = "loss at " + std::to_string(loss_at) + ", commit returned: " +
                             std::to_string(done) + "\n" + fs.Materialize(survival, random);
    TClient reader("reader", dir_.path());
    std::array<std::vector<std::int32_t>, 2> found;
    for (std::size_t k = 0; k < 2; ++k) {
      TSharedTable& t = reader.Dir().OpenTable(kTables[k], true, false);
      {
        TReadLockGuard lock(t.Table());
        EXPECT_NO_THROW(t.Table().Verify()) << kTables[k] << ", " << said;
      }
      found[k] = Values(t.Table());
      reader.Dir().CloseTable(t);
    }
    EXPECT_EQ(found[0], found[1]) << said;
    EXPECT_TRUE(found[0] == after_ || (!done && found[0] == before_)) << said;
    ++(found[0] == after_ ? whole : absent);
    EXPECT_TRUE(NothingToReplay()) << said;
  }
  // Losses early in the commit leave it out, late ones keep it.
  EXPECT_GT(whole, 0);
  EXPECT_GT(absent, 0);
}

// Four commits in a row by one session, each appending rows of its own to
// both tables, then a flushed write outside a transaction; the power is lost
// at each changing call of the run in turn, with none, all or a random part
// of the unflushed writes reaching the disk. The journal is checkpointed
// after every commit, once it holds two records, or only by the write. The
// run starts on a journal that an earlier run of the machine settled, which
// its first open writes again (a loss may cut that short too). After the
// restart both tables verify and hold the same rows: those of every step
// that returned, and at most the one under way; the first open left nothing
// to replay.
TEST_F(CommitJournalTest, CommitsCutByPowerLossKeepEveryStepThatReturned) {
  constexpr int kCommits = 4;
  // Commits of the earlier run, left in the journal.
  auto earlier_run = [&] {
    TClient c("earlier", dir_.path());
    TSharedTable& a = c.Dir().OpenTable("ta", false, false);
    TSharedTable& b = c.Dir().OpenTable("tb", false, false);
    for (std::int32_t v : {500, 501}) {
      c.Dir().StartTransaction();
      Append(a.Table(), v);
      Append(b.Table(), v);
      c.Dir().Commit(true);
    }
    c.Dir().CloseTable(a);
    c.Dir().CloseTable(b);
  };
  auto rows_after = [&](int steps) {
    std::vector<std::int32_t> v = before_;
    v.push_back(500);
    v.push_back(501);
    for (int k = 0; k < std::min(steps, kCommits); ++k)
      for (std::int32_t r = 0; r < 20; ++r)
        v.push_back(1000 * (k + 1) + r);
    if (steps > kCommits) v.push_back(9999);
    return v;
  };
  // The steps that returned on `fs`.
  auto run = [&](test::TPowerLossFileSystem& fs) {
    int returned = 0;
    OnFileSystem(fs, [&] {
      TClient c("writer", dir_.path(), true);
      TSharedTable& a = c.Dir().OpenTable("ta", false, false);
      TSharedTable& b = c.Dir().OpenTable("tb", false, false);
      for (int k = 0; k < kCommits; ++k) {
        c.Dir().StartTransaction();
        for (std::int32_t r = 0; r < 20; ++r) {
          Append(a.Table(), 1000 * (k + 1) + r);
          Append(b.Table(), 1000 * (k + 1) + r);
        }
        c.Dir().Commit(true);
        ++returned;
      }
      Append(a.Table(), 9999);
      Append(b.Table(), 9999);
      ++returned;
      c.Dir().CloseTable(a);
      c.Dir().CloseTable(b);
    });
    return returned;
  };
  // One record's settled length, to checkpoint at the second.
  Fresh();
  DefaultStorageSettings().journal_checkpoint_bytes = std::int64_t{1} << 40;
  std::int64_t calls = 0, one_record = 0;
  {
    test::TPowerLossFileSystem counting(std::int64_t{1} << 40);
    OnFileSystem(counting, [&] {
      TClient c("writer", dir_.path());
      TSharedTable& a = c.Dir().OpenTable("ta", false, false);
      c.Dir().StartTransaction();
      Append(a.Table(), 1);
      c.Dir().Commit(true);
      one_record = JournalSize();
      c.Dir().CloseTable(a);
    });
  }
  ASSERT_GT(one_record, static_cast<std::int64_t>(TCommitJournal::kCutBytes));
  std::mt19937 random(20261210);
  for (const std::int64_t checkpoint : {std::int64_t{1}, one_record + 1, std::int64_t{1} << 40}) {
    DefaultStorageSettings().journal_checkpoint_bytes = checkpoint;
    Fresh();
    earlier_run();
    {
      test::TPowerLossFileSystem counting(std::int64_t{1} << 40);
      ASSERT_EQ(run(counting), kCommits + 1);
      calls = counting.Calls();
    }
    for (std::int64_t loss_at = 1; loss_at <= calls + 1; ++loss_at) {
      Fresh();
      earlier_run();
      test::TPowerLossFileSystem fs(loss_at);
      const int returned = run(fs);
      const auto survival = static_cast<test::TPowerLossFileSystem::TSurvival>(random() % 4);
      const std::string said = "checkpoint at " + std::to_string(checkpoint) + ", loss at " +
                               std::to_string(loss_at) + ", steps returned: " +
                               std::to_string(returned) + "\n" + fs.Materialize(survival, random);
      // The first open writes the journal again and empties it. A write
      // outside a transaction cut short may leave its table to be mended
      // (as any such write may); the commits before it must be there.
      std::array<std::vector<std::int32_t>, 2> found;
      for (std::size_t k = 0; k < 2; ++k) {
        TDataTable t(dir_.path(), kTables[k], DefaultStorageSettings());
        try {
          // A header written without its slot refuses the open itself.
          t.Open(false);
          EXPECT_TRUE(NothingToReplay()) << said;
          TReadLockGuard lock(t);
          t.Verify();
        } catch (const EKuraEngineError& e) {
          EXPECT_EQ(returned, kCommits) << kTables[k] << ": " << e.what() << ", " << said;
          EXPECT_TRUE(NothingToReplay()) << said;
          t.Close();
          RepairTableFiles(dir_.path(), kTables[k], DefaultStorageSettings());
          t.Open(true);
          EXPECT_NO_THROW(t.Verify()) << kTables[k] << ", " << said;
        }
        found[k] = Values(t);
        t.Close();
      }
      if (returned == kCommits) {
        for (const auto& rows : found)
          EXPECT_TRUE(rows == rows_after(kCommits) || rows == rows_after(kCommits + 1)) << said;
      } else {
        EXPECT_EQ(found[0], found[1]) << said;
        EXPECT_TRUE(found[0] == rows_after(returned) ||
                    (returned < kCommits && found[0] == rows_after(returned + 1)))
            << said;
      }
    }
  }
}

// A commit killed at each of its changing calls in turn (the disk keeps
// everything it wrote: its counter bumps, its journal, part of its tables),
// while another user has both tables open and has read them since they last
// changed: that user's next write finishes a whole journal first, so after
// the next open both tables hold the commit or neither does, and the write
// stays. The user looks at the journal only because the dead commit moved
// the counters before writing it.
TEST_F(CommitJournalTest, NextWriterFinishesACommitKilledAtAnyPoint) {
  const std::int64_t calls = CountCalls();
  int finished = 0, absent = 0;
  for (std::int64_t loss_at = 1; loss_at <= calls; ++loss_at) {
    const TKilledCommit killed = KillCommitAt(loss_at);
    const bool journal = killed.journal_size > 0;

    Fresh();
    TClient user("user", dir_.path());
    TSharedTable& a = user.Dir().OpenTable("ta", false, false);
    TSharedTable& b = user.Dir().OpenTable("tb", false, false);
    EXPECT_EQ(Values(a.Table()), before_);
    EXPECT_EQ(Values(b.Table()), before_);
    PutInPlace(killed);
    Append(b.Table(), 999);
    EXPECT_LE(JournalSize(), 0) << "loss at " << loss_at;
    const std::vector<std::int32_t> in_a = Values(a.Table());
    std::vector<std::int32_t> with_write = in_a;
    with_write.push_back(999);
    EXPECT_TRUE(in_a == before_ || in_a == after_) << "loss at " << loss_at;
    EXPECT_EQ(Values(b.Table()), with_write) << "loss at " << loss_at;
    user.Dir().CloseTable(a);
    user.Dir().CloseTable(b);
    TClient later("later", dir_.path());
    EXPECT_EQ(later.Read("ta"), in_a) << "loss at " << loss_at;
    EXPECT_EQ(later.Read("tb"), with_write) << "loss at " << loss_at;
    for (const std::string& name : kTables) {
      TSharedTable& t = later.Dir().OpenTable(name, true, false);
      {
        TReadLockGuard lock(t.Table());
        EXPECT_NO_THROW(t.Table().Verify()) << name << " loss at " << loss_at;
      }
      later.Dir().CloseTable(t);
    }
    ++(journal && in_a == after_ ? finished : absent);
  }
  EXPECT_GT(finished, 0);
  EXPECT_GT(absent, 0);
}

// A commit failing at each of its changing calls in turn (an I/O error: the
// files keep what was written before it) in a session that goes on: its own
// next write finishes a whole journal first, although its handles' counters
// are the ones its commit wrote.
TEST_F(CommitJournalTest, SessionWhoseCommitFailedFinishesItBeforeItsNextWrite) {
  const std::int64_t calls = CountCalls();
  int failed_with_journal = 0;
  for (std::int64_t loss_at = 1; loss_at <= calls; ++loss_at) {
    Fresh();
    test::TPowerLossFileSystem fs(loss_at);
    SetFileSystemForTesting(&fs);
    TClient c("writer", dir_.path());
    TSharedTable& a = c.Dir().OpenTable("ta", false, false);
    TSharedTable& b = c.Dir().OpenTable("tb", false, false);
    StartAndAppendAfter(c, a, b);
    bool failed = false;
    try {
      c.Dir().Commit(true);
    } catch (const EDatabaseError&) {
      failed = true;
    }
    SetFileSystemForTesting(nullptr);
    EXPECT_TRUE(!failed || fs.Lost()) << "loss at " << loss_at;
    failed_with_journal += failed && JournalSize() > 0;
    Append(b.Table(), 999);
    EXPECT_LE(JournalSize(), 0) << "loss at " << loss_at;
    c.Dir().CloseTable(a);
    c.Dir().CloseTable(b);
    TClient later("later", dir_.path());
    const std::vector<std::int32_t> in_a = later.Read("ta");
    std::vector<std::int32_t> with_write = in_a;
    with_write.push_back(999);
    EXPECT_TRUE(in_a == after_ || (failed && in_a == before_)) << "loss at " << loss_at;
    EXPECT_EQ(later.Read("tb"), with_write) << "loss at " << loss_at;
  }
  EXPECT_GT(failed_with_journal, 0);
}

// A commit that returned cuts its journal without waiting for the disk, so a
// power loss may bring the whole journal back. A later write outside a commit
// that reached the disk survives that: the writer empties the journal durably
// before it writes, also when it has read the table since the commit (which
// is when it saw the journal cut), and when the write is a table-level
// transaction (which writes no journal).
TEST_F(CommitJournalTest, FlushedWriteAfterACommitSurvivesItsJournalComingBack) {
  for (const int variant : {0, 1, 2}) {
    const bool read_first = variant == 1;
    const bool table_transaction = variant == 2;
    Fresh();
    test::TPowerLossFileSystem fs(std::int64_t{1} << 40);
    ASSERT_TRUE(Commit(fs));
    EXPECT_TRUE(NothingToReplay());
    SetFileSystemForTesting(&fs);
    {
      TStorageSettings flushing = DefaultStorageSettings();
      flushing.force_buffer_flush = true;
      TDataTable t(dir_.path(), "ta", flushing);
      t.Open(false);
      if (read_first) {
        EXPECT_EQ(Values(t), after_);
      }
      if (table_transaction) t.StartTransaction();
      Append(t, 999);
      if (table_transaction) {
        t.Commit();
        t.EndTransaction();
      }
      t.Close();
    }
    SetFileSystemForTesting(nullptr);
    std::mt19937 random(1);
    fs.Materialize(test::TPowerLossFileSystem::TSurvival::kNothing, random);
    std::vector<std::int32_t> with_write = after_;
    with_write.push_back(999);
    TClient later("later", dir_.path());
    EXPECT_EQ(later.Read("ta"), with_write) << "variant " << variant;
    EXPECT_EQ(later.Read("tb"), after_) << "variant " << variant;
    TSharedTable& t = later.Dir().OpenTable("ta", true, false);
    {
      TReadLockGuard lock(t.Table());
      EXPECT_NO_THROW(t.Table().Verify()) << "variant " << variant;
    }
    later.Dir().CloseTable(t);
  }
}

// The same with the written table open exclusively in the transaction: such
// a handle takes no lock, so never looks at the journal before writing.
TEST_F(CommitJournalTest, FlushedWriteToAnExclusiveTableAfterACommitSurvivesAPowerLoss) {
  Fresh();
  test::TPowerLossFileSystem fs(std::int64_t{1} << 40);
  SetFileSystemForTesting(&fs);
  {
    TClient c("writer", dir_.path(), true);
    TSharedTable& a = c.Dir().OpenTable("ta", false, true);
    TSharedTable& b = c.Dir().OpenTable("tb", false, false);
    StartAndAppendAfter(c, a, b);
    c.Dir().Commit(true);
    Append(a.Table(), 999);
    c.Dir().CloseTable(a);
    c.Dir().CloseTable(b);
  }
  SetFileSystemForTesting(nullptr);
  std::mt19937 random(1);
  fs.Materialize(test::TPowerLossFileSystem::TSurvival::kNothing, random);
  std::vector<std::int32_t> with_write = after_;
  with_write.push_back(999);
  TClient later("later", dir_.path());
  EXPECT_EQ(later.Read("ta"), with_write);
  EXPECT_EQ(later.Read("tb"), after_);
}

// A reader that read a table before a commit over it died, and another
// program that finishes the commit (writing those same counters again): the
// reader's next lock reads the table as the commit left it, and its write
// lands on that.
TEST_F(CommitJournalTest, ReaderSeesADeadCommitFinishedByAnother) {
  const std::int64_t calls = CountCalls();
  int cases = 0;
  for (std::int64_t loss_at = 1; loss_at <= calls; ++loss_at) {
    const TKilledCommit killed = KillCommitAt(loss_at);
    if (!killed.pending) continue;

    Fresh();
    TClient user("user", dir_.path());
    TSharedTable& a = user.Dir().OpenTable("ta", false, false);
    EXPECT_EQ(Values(a.Table()), before_);
    PutInPlace(killed);
    EXPECT_FALSE(NothingToReplay()) << "loss at " << loss_at;
    {
      TClient other("other", dir_.path());
      EXPECT_EQ(other.Read("tb"), after_) << "loss at " << loss_at;
    }
    EXPECT_TRUE(NothingToReplay()) << "loss at " << loss_at;
    EXPECT_EQ(Values(a.Table()), after_) << "loss at " << loss_at;
    Append(a.Table(), 999);
    user.Dir().CloseTable(a);
    std::vector<std::int32_t> with_write = after_;
    with_write.push_back(999);
    TClient later("later", dir_.path());
    EXPECT_EQ(later.Read("ta"), with_write) << "loss at " << loss_at;
    TSharedTable& t = later.Dir().OpenTable("ta", true, false);
    {
      TReadLockGuard lock(t.Table());
      EXPECT_NO_THROW(t.Table().Verify()) << "loss at " << loss_at;
    }
    later.Dir().CloseTable(t);
    ++cases;
  }
  EXPECT_GT(cases, 0);
}

// A commit cut by a power loss while it wrote its tables, found by a reader
// that had both tables open before: each table reads as before or as after
// the commit, and one that reads as after (its change was seen, and the
// commit finished) verifies; the next open sees the commit whole. (A table
// whose header the commit had not reached yet still reads as before from
// its cached header; its file is longer than that header says until the
// commit is finished by an open or a writer.)
TEST_F(CommitJournalTest, ReaderOfATableHalfWrittenByADeadCommitFinishesIt) {
  const std::int64_t calls = CountCalls();
  int cut_while_writing = 0, seen_after = 0;
  for (std::int64_t loss_at = 1; loss_at <= calls; ++loss_at) {
    const TKilledCommit killed = KillCommitAt(loss_at);
    if (!killed.pending) continue;

    Fresh();
    TClient user("user", dir_.path());
    std::array<TSharedTable*, 2> open;
    for (std::size_t k = 0; k < 2; ++k) {
      open[k] = &user.Dir().OpenTable(kTables[k], true, false);
      EXPECT_EQ(Values(open[k]->Table()), before_);
    }
    PutInPlace(killed);
    cut_while_writing += !killed.files.empty();
    for (std::size_t k = 0; k < 2; ++k) {
      TDataTable& t = open[k]->Table();
      const std::vector<std::int32_t> found = Values(t);
      EXPECT_TRUE(found == before_ || found == after_) << kTables[k] << " loss at " << loss_at;
      if (found != after_) continue;
      TReadLockGuard lock(t);
      EXPECT_NO_THROW(t.Verify()) << kTables[k] << " loss at " << loss_at;
      EXPECT_EQ(dynamic_cast<TIndexFile&>(t.Index()).CheckTrees(t.Data()),
                std::vector<std::string>{})
          << kTables[k] << " loss at " << loss_at;
      seen_after += 1;
    }
    for (TSharedTable* t : open)
      user.Dir().CloseTable(*t);
    TClient later("later", dir_.path());
    EXPECT_EQ(later.Read("ta"), after_) << "loss at " << loss_at;
    EXPECT_EQ(later.Read("tb"), after_) << "loss at " << loss_at;
  }
  EXPECT_GT(cut_while_writing, 0);
  EXPECT_GT(seen_after, 0);
}


// The engine code of what `f` raises (0 when it raises nothing).
std::uint16_t CodeOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const EKuraEngineError& e) {
    return e.Code();
  }
  return 0;
}

// Both tables as a fresh open on `fs` sees them, each verified.
void ExpectTables(const std::string& dir, TFileSystem* fs,
                  const std::array<std::vector<std::int32_t>, 2>& want, const std::string& said) {
  SetFileSystemForTesting(fs);
  {
    TClient c("check", dir);
    for (std::size_t k = 0; k < 2; ++k) {
      TSharedTable& t = c.Dir().OpenTable(kTables[k], true, false);
      EXPECT_EQ(Values(t.Table()), want[k]) << kTables[k] << ", " << said;
      {
        TReadLockGuard lock(t.Table());
        EXPECT_NO_THROW(t.Table().Verify()) << kTables[k] << ", " << said;
      }
      c.Dir().CloseTable(t);
    }
  }
  SetFileSystemForTesting(nullptr);
}

// Commits through tables named in capitals ("TA", whose files are ta.DAT)
// after commits through their own names, read on a second computer: with
// every write in place (nothing to write again), and after a power loss that
// took every unflushed table write (everything written again from the
// journal). Both hold every commit and verify.
TEST_F(CommitJournalTest, CommitsThroughOtherLettersReplayIntoTheSameFiles) {
  for (const auto survival : {test::TPowerLossFileSystem::TSurvival::kEverything,
                              test::TPowerLossFileSystem::TSurvival::kNothing}) {
    Fresh();
    test::TPowerLossFileSystem fs(std::int64_t{1} << 40);
    OnFileSystem(fs, [&] {
      std::int32_t v = 100;
      for (const char* a : {"ta", "TA", "tA", "TA"}) {
        TClient c("writer", dir_.path());
        TSharedTable& ta = c.Dir().OpenTable(a, false, false);
        TSharedTable& tb = c.Dir().OpenTable(a[0] == 't' ? "tb" : "TB", false, false);
        c.Dir().StartTransaction();
        Append(ta.Table(), v);
        Append(tb.Table(), v++);
        c.Dir().Commit(true);
        c.Dir().CloseTable(ta);
        c.Dir().CloseTable(tb);
      }
    });
    std::mt19937 random(1);
    const std::string said = fs.Materialize(survival, random);
    std::vector<std::int32_t> want = before_;
    for (std::int32_t v = 100; v < 104; ++v)
      want.push_back(v);
    test::TOtherComputerFileSystem other;
    ExpectTables(dir_.path(), &other, {want, want}, said);
    EXPECT_TRUE(NothingToReplay()) << said;
  }
}

// A replay started by a table lock (a transaction's start) writes the index
// file only under its write range: while a reader of another program holds
// a read slot of it, the index file does not change and the transaction
// cannot start (10249); once the reader is gone it starts on the whole
// commit.
TEST_F(CommitJournalTest, ReplayUnderATableLockWaitsForReadersOfTheIndex) {
  const std::int64_t calls = CountCalls();
  const std::string index_path = dir_.path() + "/ta.IDX";
  const std::vector<std::uint8_t> final_index = test::ReadFileBytes(index_path);
  int held_out = 0;
  for (std::int64_t loss_at = 1; loss_at <= calls && held_out < 1; ++loss_at) {
    const TKilledCommit killed = KillCommitAt(loss_at);
    if (!killed.pending || killed.files.at(index_path) == final_index) continue;
    Fresh();
    PutInPlace(killed);
    int reader = -1;
    ASSERT_EQ(FileSystem().Open(index_path, false, false, &reader), 0);
    ASSERT_EQ(FileSystem().Lock(reader, ReadSlotOffset(7), 1, TOsLockKind::kShared), 0);
    TClient c("writer", dir_.path());
    TSharedTable& a = c.Dir().OpenTable("ta", false, false);
    EXPECT_EQ(CodeOf([&] { a.Table().StartTransaction(); }), kErrLockFailure)
        << "loss at " << loss_at;
    EXPECT_EQ(test::ReadFileBytes(index_path), killed.files.at(index_path))
        << "loss at " << loss_at;
    FileSystem().Close(reader);
    a.Table().StartTransaction();
    a.Table().EndTransaction();
    c.Dir().CloseTable(a);
    ExpectTables(dir_.path(), nullptr, {after_, after_}, "loss at " + std::to_string(loss_at));
    ++held_out;
  }
  EXPECT_GT(held_out, 0);
}

// A repair that refuses (two records with one key in a unique index) after a
// power loss that left a commit only in the journal: the repair wrote the
// journal into the tables before taking its backups, so both tables hold
// the commit and the journal is empty.
TEST_F(CommitJournalTest, RefusedRepairKeepsACommitOnlyTheJournalHeld) {
  Fresh();
  {
    TDataTable t(dir_.path(), "ta", DefaultStorageSettings());
    t.Open(true);
    TIndexDefinition u;
    u.name = "VU";
    u.fields = {1};
    u.unique = true;
    dynamic_cast<TIndexFile&>(t.Index()).AddSecondaryIndex(t.Data(), u);
    t.Flush();
    // Record 2 takes record 1's value behind the indexes' back.
    const TFieldDescriptor& v = *t.Data().FieldByName("V");
    std::uint8_t one[4];
    ASSERT_TRUE(t.Data().GetField(t.Data().GetRecord(1)->Data(), v, one));
    TRecordPin rec = t.Data().GetRecord(2);
    t.Data().PutField(rec->Data(), v, one);
    rec->SetDirty(true);
    rec.Release();
    t.Data().FlushRecords();
    t.Close(true);
  }
  test::TPowerLossFileSystem fs(std::int64_t{1} << 40);
  OnFileSystem(fs, [&] {
    TClient c("writer", dir_.path());
    TSharedTable& a = c.Dir().OpenTable("ta", false, false);
    TSharedTable& b = c.Dir().OpenTable("tb", false, false);
    c.Dir().StartTransaction();
    Append(a.Table(), 100);
    Append(b.Table(), 100);
    c.Dir().Commit(true);
    c.Dir().CloseTable(a);
    c.Dir().CloseTable(b);
  });
  std::mt19937 random(1);
  fs.Materialize(test::TPowerLossFileSystem::TSurvival::kNothing, random);
  EXPECT_THROW(RepairTableFiles(dir_.path(), "ta", DefaultStorageSettings()), ERepairFailed);
  EXPECT_LE(JournalSize(), 0);
  TClient c("check", dir_.path());
  EXPECT_EQ(c.Read("ta"), (std::vector<std::int32_t>{1, 1, 3, 100}));
  EXPECT_EQ(c.Read("tb"), (std::vector<std::int32_t>{1, 2, 3, 100}));
}

// A table dropped after a commit over it was killed, and made again under
// its name: the drop finished the journal first, so the new table takes
// none of the old one's records and the other table holds the commit.
TEST_F(CommitJournalTest, TableDroppedAfterAKilledCommitIsMadeAgainSound) {
  const std::int64_t calls = CountCalls();
  int cases = 0;
  for (std::int64_t loss_at = 1; loss_at <= calls; ++loss_at) {
    const TKilledCommit killed = KillCommitAt(loss_at);
    if (!killed.pending) continue;
    const std::string said = "loss at " + std::to_string(loss_at);
    Fresh();
    PutInPlace(killed);
    TDataTable(dir_.path(), "ta", DefaultStorageSettings()).Delete();
    MakeTable(dir_.path(), "ta");
    {
      TClient c("user", dir_.path());
      TSharedTable& a = c.Dir().OpenTable("ta", false, false);
      Append(a.Table(), 7);
      c.Dir().CloseTable(a);
    }
    ExpectTables(dir_.path(), nullptr, {std::vector<std::int32_t>{7}, after_}, said);
    ++cases;
  }
  EXPECT_GT(cases, 0);
}

// A reader that finds a dead commit's journal while another program holds
// the journal lock reads nothing until that program is done: it waits, and
// then sees the commit whole; when the lock is never let go it fails with
// 10249 instead of reading half of the commit.
TEST_F(CommitJournalTest, ReaderWaitsForTheJournalInsteadOfReadingHalfACommit) {
  const std::int64_t calls = CountCalls();
  int cases = 0;
  for (std::int64_t loss_at = 1; loss_at <= calls; ++loss_at) {
    const TKilledCommit killed = KillCommitAt(loss_at);
    if (!killed.pending) continue;
    const std::string said = "loss at " + std::to_string(loss_at);
    Fresh();
    TClient user("user", dir_.path());
    TSharedTable& a = user.Dir().OpenTable("ta", true, false);
    EXPECT_EQ(Values(a.Table()), before_);
    PutInPlace(killed);
    int lock_fd = -1;
    ASSERT_EQ(FileSystem().Open(TCommitJournal::LockPath(dir_.path() + "/"), true, true, &lock_fd),
              0);
    ASSERT_EQ(FileSystem().Lock(lock_fd, 0, 1, TOsLockKind::kExclusive), 0);
    if (cases == 0) {
      EXPECT_EQ(CodeOf([&] { Values(a.Table()); }), kErrLockFailure) << said;
      FileSystem().Close(lock_fd);
    } else {
      std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        FileSystem().Close(lock_fd);
      });
      EXPECT_EQ(Values(a.Table()), after_) << said;
      release.join();
    }
    EXPECT_EQ(Values(a.Table()), after_) << said;
    EXPECT_TRUE(NothingToReplay()) << said;
    user.Dir().CloseTable(a);
    ++cases;
  }
  EXPECT_GT(cases, 1);
}

// Computer A commits to both tables and then holds a transaction on tb;
// computer B's write to ta meanwhile finds A's settled journal, whose writes
// are all in place: it writes nothing again, needs no lock of tb, and goes
// on at once. A's transaction then commits on top.
TEST_F(CommitJournalTest, OneComputersOpenTransactionDoesNotHoldUpAnothersWrites) {
  Fresh();
  test::Signal in_transaction, written;
  const pid_t child = test::Spawn([&] {
    test::TOtherComputerFileSystem computer_a('A');
    SetFileSystemForTesting(&computer_a);
    struct TNotifyOnExit {
      test::Signal& s;
      ~TNotifyOnExit() { s.Notify(); }
    } notify{in_transaction};
    int rc = 0;
    {
      TClient c("a", dir_.path());
      TSharedTable& a = c.Dir().OpenTable("ta", false, false);
      TSharedTable& b = c.Dir().OpenTable("tb", false, false);
      StartAndAppendAfter(c, a, b);
      c.Dir().Commit(true);
      c.Dir().CloseTable(a);  // the next transaction holds tb alone
      c.Dir().StartTransaction();
      Append(b.Table(), 500);
      in_transaction.Notify();
      rc = written.Wait() ? 0 : 3;
      c.Dir().Commit(true);
      c.Dir().CloseTable(b);
    }
    SetFileSystemForTesting(nullptr);
    return rc;
  });
  ASSERT_GT(child, 0);
  ASSERT_TRUE(in_transaction.Wait());
  {
    TClient b("b", dir_.path());
    TSharedTable& a = b.Dir().OpenTable("ta", false, false);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(CodeOf([&] { Append(a.Table(), 999); }), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
    b.Dir().CloseTable(a);
  }
  written.Notify();
  EXPECT_EQ(test::WaitExit(child), 0);
  std::vector<std::int32_t> in_a = after_, in_b = after_;
  in_a.push_back(999);
  in_b.push_back(500);
  ExpectTables(dir_.path(), nullptr, {in_a, in_b}, "");
}

// A table made on a disk that loses power at each changing call in turn (with
// none, all or part of what was not flushed kept): afterwards the table is
// either there whole (it opens and verifies) or not there at all, and then
// it can be made again.
TEST_F(CommitJournalTest, TableMadeWhenThePowerIsLostIsWholeOrAbsent) {
  auto make = [&](test::TPowerLossFileSystem& fs) {
    OnFileSystem(fs, [&] { MakeTable(dir_.path(), "tc"); });
  };
  std::int64_t calls = 0;
  {
    test::TPowerLossFileSystem counting(std::int64_t{1} << 40);
    make(counting);
    calls = counting.Calls();
  }
  std::mt19937 random(20261210);
  int whole = 0, absent = 0;
  for (std::int64_t loss_at = 1; loss_at <= calls + 1; ++loss_at) {
    for (const auto& e : std::filesystem::directory_iterator(dir_.path()))
      std::filesystem::remove(e.path());
    test::TPowerLossFileSystem fs(loss_at);
    make(fs);
    const auto survival = static_cast<test::TPowerLossFileSystem::TSurvival>(random() % 4);
    const std::string said = "loss at " + std::to_string(loss_at) + "\n" +
                             fs.Materialize(survival, random);
    TDataTable t(dir_.path(), "tc", DefaultStorageSettings());
    if (t.Exists()) {
      EXPECT_NO_THROW({
        t.Open(false);
        TReadLockGuard lock(t);
        t.Verify();
      }) << said;
      t.Close();
      ++whole;
    } else {
      EXPECT_NO_THROW(MakeTable(dir_.path(), "tc")) << said;
      ++absent;
    }
  }
  EXPECT_GT(whole, 0);
  EXPECT_GT(absent, 0);
}

}  // namespace
}  // namespace kura
