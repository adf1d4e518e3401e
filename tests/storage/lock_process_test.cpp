// Locking between real processes. Every child is forked before the parent
// opens anything: an inherited descriptor would share the parent's OFD locks.
#include <gtest/gtest.h>

#include <chrono>

#include "db/storage/coding.h"
#include "db/storage/data_table.h"
#include "db/storage/engine_error.h"
#include "tests/storage/storage_test_support.h"

namespace kura {
namespace {

using testing::Signal;
using testing::Spawn;
using testing::TempDir;
using testing::WaitExit;
using testing::CodeOf;

class LockProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    settings_.low_level_retries = 20;  // fail fast: 20 x 3 ms
    TDataTable t(dir_.path(), "t", settings_);
    TFieldDefinition n;
    n.name = "N";
    n.type = kFieldInteger;
    t.Create({n}, TTableOptions{});
    auto rec = t.BlankRecord();
    t.InsertRecord(rec.data());
    t.Close();
  }
  std::unique_ptr<TDataTable> OpenShared() {
    auto t = std::make_unique<TDataTable>(dir_.path(), "t", settings_);
    t->Open(false);
    return t;
  }
  // A child that opens the table, runs `hold`, signals `ready`, waits for
  // `done`, and exits 0.
  pid_t Holder(const std::function<void(TDataTable&)>& hold, Signal& ready, Signal& done) {
    return Spawn([&, hold] {
      auto t = OpenShared();
      hold(*t);
      ready.Notify();
      done.Wait();
      return 0;
    });
  }

  TempDir dir_;
  TStorageSettings settings_;
};

TEST_F(LockProcessTest, ReadSlotHoldsOffWriterUntilReleased) {
  Signal ready, done;
  const pid_t child = Holder([](TDataTable& t) { t.ReadLock(); }, ready, done);
  ASSERT_TRUE(ready.Wait());
  auto t = OpenShared();
  EXPECT_EQ(CodeOf([&] { t->WriteLock(); }), kErrLockFailure);
  // Readers do not exclude each other.
  t->ReadLock();
  t->ReleaseReadLock();
  done.Notify();
  EXPECT_EQ(WaitExit(child), 0);
  t->WriteLock();
  EXPECT_TRUE(t->WriteLocked());
  t->ReleaseWriteLock();
}

TEST_F(LockProcessTest, WriterHoldsOffReadersAndWriters) {
  Signal ready, done;
  const pid_t child = Holder([](TDataTable& t) { t.WriteLock(); }, ready, done);
  ASSERT_TRUE(ready.Wait());
  auto t = OpenShared();
  EXPECT_EQ(CodeOf([&] { t->ReadLock(); }), kErrLockFailure);
  EXPECT_EQ(CodeOf([&] { t->WriteLock(); }), kErrLockFailure);
  EXPECT_EQ(CodeOf([&] { t->TableLock(); }), kErrLockFailure);
  done.Notify();
  EXPECT_EQ(WaitExit(child), 0);  // its locks go with the process
  t->ReadLock();
  t->ReleaseReadLock();
}

TEST_F(LockProcessTest, TableLockExcludesOtherWritersButNotReaders) {
  Signal ready, done;
  const pid_t child = Holder([](TDataTable& t) { t.TableLock(); }, ready, done);
  ASSERT_TRUE(ready.Wait());
  auto t = OpenShared();
  EXPECT_EQ(CodeOf([&] { t->WriteLock(); }), kErrLockFailure);
  EXPECT_FALSE(t->WriteLocked());
  t->ReadLock();
  t->ReleaseReadLock();
  done.Notify();
  EXPECT_EQ(WaitExit(child), 0);
  t->TableLock();
  t->WriteLock();  // under our own table lock the byte is not taken twice
  t->ReleaseWriteLock();
  t->ReleaseTableLock();
}

TEST_F(LockProcessTest, RecordLockContentionFailsAfterTheRetryCount) {
  Signal ready, done;
  const pid_t child = Holder([](TDataTable& t) { t.LockRecord(1); }, ready, done);
  ASSERT_TRUE(ready.Wait());
  auto t = OpenShared();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(CodeOf([&] { t->LockRecord(1); }), kErrRecordInUse);
  const auto waited = std::chrono::steady_clock::now() - start;
  // 15 attempts, 14 waits of 100 ms between them.
  EXPECT_GE(waited, std::chrono::milliseconds(1400));
  EXPECT_FALSE(t->ReadLocked());   // no read lock is left behind by the failure
  EXPECT_FALSE(t->LockRecord(2));  // another record is free
  EXPECT_EQ(CodeOf([&] { t->LockRecord(0); }), kErrRecordInUse);
  t->UnlockRecord(2);
  done.Notify();
  EXPECT_EQ(WaitExit(child), 0);
  t->LockRecord(1);
  EXPECT_EQ(t->LockedRecords().count(1), 1u);
  t->UnlockAllRecords();
  EXPECT_TRUE(t->LockedRecords().empty());
}

TEST_F(LockProcessTest, ExclusiveOpenConflictsAcrossProcesses) {
  Signal ready, done;
  const pid_t child = Spawn([&] {
    TDataTable t(dir_.path(), "t", settings_);
    t.Open(true);
    ready.Notify();
    done.Wait();
    return 0;
  });
  ASSERT_TRUE(ready.Wait());
  TDataTable shared(dir_.path(), "t", settings_);
  EXPECT_EQ(CodeOf([&] { shared.Open(false); }), kErrAccessDenied);
  EXPECT_FALSE(shared.IsOpen());
  done.Notify();
  EXPECT_EQ(WaitExit(child), 0);

  Signal ready2, done2;
  const pid_t reader = Holder([](TDataTable&) {}, ready2, done2);
  ASSERT_TRUE(ready2.Wait());
  TDataTable exclusive(dir_.path(), "t", settings_);
  EXPECT_EQ(CodeOf([&] { exclusive.Open(true); }), kErrAccessDenied);
  done2.Notify();
  EXPECT_EQ(WaitExit(reader), 0);
  exclusive.Open(true);
}

TEST_F(LockProcessTest, ReadLockDetectsAnotherProcessesAppends) {
  Signal go, appended;
  const pid_t child = Spawn([&] {
    go.Wait();
    auto t = OpenShared();
    auto rec = t->BlankRecord();
    for (int i = 0; i < 3; ++i) {
      TWriteLockGuard lock(*t);
      t->InsertRecord(rec.data());
    }
    appended.Notify();
    return 0;
  });
  auto t = OpenShared();
  {
    TReadLockGuard lock(*t);
    EXPECT_EQ(t->Data().SlotCount(), 1);
    t->Data().GetRecord(1);
  }
  EXPECT_FALSE(t->CheckForChanges());
  go.Notify();
  ASSERT_TRUE(appended.Wait());
  EXPECT_EQ(WaitExit(child), 0);
  EXPECT_EQ(t->Data().SlotCount(), 1);  // stale until a lock checks
  t->ReadLock();
  EXPECT_EQ(t->Data().SlotCount(), 4);
  EXPECT_EQ(t->Index().RecordCount(), 4);
  EXPECT_EQ(t->Data().CachedCount(), 0u);  // the stale cache was dropped
  t->ReleaseReadLock();
  // Our own append continues after theirs.
  auto rec = t->BlankRecord();
  TWriteLockGuard lock(*t);
  EXPECT_EQ(t->InsertRecord(rec.data()), 5);
  EXPECT_EQ(t->Data().LastAutoInc(), 5);
}

TEST_F(LockProcessTest, ConcurrentAppendersGetDistinctSlotsAndIdentifiers) {
  settings_.low_level_retries = TStorageSettings().low_level_retries;  // appenders wait their turn
  Signal go;
  std::vector<pid_t> children;
  for (int c = 0; c < 3; ++c) {
    children.push_back(Spawn([&] {
      go.Wait();
      auto t = OpenShared();
      auto rec = t->BlankRecord();
      for (int i = 0; i < 100; ++i) {
        TWriteLockGuard lock(*t);
        t->InsertRecord(rec.data());
      }
      return 0;
    }));
  }
  for (std::size_t c = 0; c < children.size(); ++c)
    go.Notify();
  for (pid_t c : children)
    EXPECT_EQ(WaitExit(c), 0);
  TDataTable t(dir_.path(), "t", settings_);
  t.Open(true);
  t.Verify();
  t.Data().CheckConsistency();
  EXPECT_EQ(t.Data().SlotCount(), 301);
  EXPECT_EQ(t.Index().RecordCount(), 301);
  std::set<std::int32_t> ids;
  for (std::int32_t n = 1; n <= 301; ++n)
    ids.insert(t.Data().GetRecord(n)->AutoInc());
  EXPECT_EQ(ids.size(), 301u);
}

}  // namespace
}  // namespace kura
