#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <random>

#include "tests/engine/session_test_support.h"

namespace kura {
namespace {

using test::Append;
using test::MakeTable;
using test::TempDir;
using test::Values;

const std::array<std::string, 2> kTables = {"ta", "tb"};

// A session with one database on `dir`.
struct TClient {
  TClient(const std::string& name, const std::string& dir)
      : session(name), database(nullptr, name) {
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

}  // namespace
}  // namespace kura
