// Locking between real processes. Every child is forked before the parent
// opens anything: an inherited descriptor would share the parent's OFD locks.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "db/storage/coding.h"
#include "db/storage/table/data_table.h"
#include "db/storage/engine_error.h"
#include "tests/storage/storage_test_support.h"

namespace kura {
namespace {

using test::CodeOf;
using test::Signal;
using test::Spawn;
using test::TempDir;
using test::WaitExit;

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
  EXPECT_TRUE(t->LockedRecords().Test(1));
  t->UnlockAllRecords();
  EXPECT_EQ(t->LockedRecords().Count(), 0);
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

// A reader in another process holds record 1 in its cache while this process
// rewrites the record's only (non-key) field, then changes it again and
// appends inside a transaction. Each fresh read lock of the reader must see
// exactly what was committed by then.
TEST_F(LockProcessTest, ReaderSeesEveryCommittedRewriteAndNothingUncommitted) {
  Signal cached, rewritten, checked1, in_transaction, checked2, committed;
  auto value_of = [](TDataTable& t, std::int32_t n) {
    std::uint8_t v[4] = {};
    t.Data().GetField(t.Data().GetRecord(n)->Data(), t.Data().Field(1), v);
    return static_cast<std::int32_t>(DecodeFixed32(v));
  };
  const pid_t reader = Spawn([&] {
    auto t = OpenShared();
    auto seen = [&](std::int32_t value, std::int32_t slots) {
      TReadLockGuard lock(*t);
      return value_of(*t, 1) == value && t->Data().SlotCount() == slots;
    };
    const int rc = [&] {
      if (!seen(0, 1)) return 1;
      cached.Notify();
      rewritten.Wait();
      if (!seen(7, 1)) return 2;  // the rewrite moved a counter the read lock compares
      checked1.Notify();
      in_transaction.Wait();
      if (!seen(7, 1)) return 3;  // deferred changes are not on disk yet
      checked2.Notify();
      committed.Wait();
      if (!seen(8, 2)) return 4;
      return 0;
    }();
    // Let the writer run to its end whatever was seen.
    for (Signal* s : {&cached, &checked1, &checked2})
      s->Notify();
    return rc;
  });
  ASSERT_TRUE(cached.Wait());
  auto t = OpenShared();
  auto set = [&](std::int32_t value) {
    auto rec = t->BlankRecord();
    std::uint8_t v[4];
    EncodeFixed32(v, static_cast<std::uint32_t>(value));
    t->Data().PutField(rec.data(), t->Data().Field(1), v);
    return rec;
  };
  {
    TWriteLockGuard lock(*t);
    t->UpdateRecord(1, set(7).data());
  }
  rewritten.Notify();
  ASSERT_TRUE(checked1.Wait());
  t->StartTransaction();
  {
    TWriteLockGuard lock(*t);
    t->UpdateRecord(1, set(8).data());
    t->InsertRecord(set(9).data());
  }
  {
    TReadLockGuard lock(*t);  // our own deferred changes are no foreign change
    EXPECT_EQ(value_of(*t, 1), 8);
    EXPECT_EQ(value_of(*t, 2), 9);
  }
  in_transaction.Notify();
  ASSERT_TRUE(checked2.Wait());
  t->Commit();
  t->EndTransaction();
  committed.Notify();
  EXPECT_EQ(WaitExit(reader), 0);
}

// With StrictChangeDetection a record lock takes no read lock, also not
// while it waits for another process to let the record go.
TEST_F(LockProcessTest, StrictRecordLockAfterContentionLeavesNoReadLock) {
  settings_.strict_change_detection = true;
  settings_.lock_wait_time = 20;
  settings_.lock_retry_count = 200;
  Signal ready, done;
  const pid_t child = Spawn([&] {
    auto t = OpenShared();
    t->LockRecord(1);
    ready.Notify();
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    t->UnlockRecord(1);
    done.Wait();
    TWriteLockGuard lock(*t);  // not held off by a read slot left behind
    return t->WriteLocked() ? 0 : 2;
  });
  ASSERT_TRUE(ready.Wait());
  auto t = OpenShared();
  EXPECT_FALSE(t->LockRecord(1));
  EXPECT_FALSE(t->ReadLocked());
  EXPECT_EQ(CodeOf([&] { t->WriteLock(); }), 0);
  t->ReleaseWriteLock();
  done.Notify();
  EXPECT_EQ(WaitExit(child), 0);
  t->UnlockRecord(1);
}

}  // namespace
}  // namespace kura
