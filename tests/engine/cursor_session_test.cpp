// Cursors opened through a database's shared tables: one table object per
// name for all cursors of the database, each cursor seeing the others'
// changes through re-synchronisation, the session's lock protocol, read-only
// and exclusive openings, and tables that join a transaction.
#include <gtest/gtest.h>

#include "db/engine/cursor/data_cursor.h"
#include "db/storage/coding.h"
#include "db/storage/engine_error.h"
#include "tests/engine/session_test_support.h"

namespace kura {
namespace {

using test::CodeOf;
using test::MakeTable;
using test::TempDir;

std::vector<std::uint8_t> Row(TDataCursor& c, std::int32_t v) {
  std::vector<std::uint8_t> rec(static_cast<std::size_t>(c.RecordSize()));
  c.InitRecord(rec.data());
  std::uint8_t b[4];
  EncodeFixed32(b, static_cast<std::uint32_t>(v));
  c.SetField(1, rec.data(), std::span<const std::uint8_t>(b, 4));
  return rec;
}

std::int32_t V(const TDataCursor& c, const std::vector<std::uint8_t>& rec) {
  std::uint8_t b[4];
  if (c.GetField(1, rec.data(), b)) return -1;
  return static_cast<std::int32_t>(DecodeFixed32(b));
}

// Every visible value in the cursor's order.
std::vector<std::int32_t> Walk(TDataCursor& c) {
  std::vector<std::uint8_t> rec(static_cast<std::size_t>(c.RecordSize()));
  std::vector<std::int32_t> out;
  c.First();
  while (c.Next(rec.data()) == 0)
    out.push_back(V(c, rec));
  return out;
}

struct CursorSessionTest : ::testing::Test {
  void SetUp() override {
    MakeTable(dir.path(), "t");
    session.SetLockRetryCount(2);
    session.SetLockWaitTime(10);
    database.SetDatabaseName("db");
    database.SetDirectory(dir.path());
    database.Open();
  }
  TDataDirectory& Db() { return database.DataDirectory(); }

  TempDir dir;
  TKuraSession session{"cursors"};
  TKuraDatabase database{nullptr, "cursors"};
};

TEST_F(CursorSessionTest, TwoCursorsShareOneTableAndFollowEachOther) {
  {
    TDataCursor a(Db(), "t"), b(Db(), " T ");
    ASSERT_EQ(&a.Table(), &b.Table());
    ASSERT_EQ(Db().TableCount(), 1u);
    EXPECT_EQ(Db().FindTable("t", false)->RefCount(), 2);
    std::vector<std::uint8_t> rec(static_cast<std::size_t>(a.RecordSize()));

    for (std::int32_t v : {1, 2, 3})
      a.Insert(Row(a, v).data());
    EXPECT_EQ(b.RecordCount(), 3);
    EXPECT_EQ(Walk(b), (std::vector<std::int32_t>{1, 2, 3}));

    // a stands on 2; b deletes it: a moves to the neighbour, and the copy
    // it still holds cannot be written back.
    a.First();
    a.Next(rec.data());
    ASSERT_EQ(a.Next(rec.data()), 0);
    ASSERT_EQ(V(a, rec), 2);
    b.First();
    b.Next(nullptr);
    ASSERT_EQ(b.Next(rec.data()), 0);
    b.Delete();
    EXPECT_EQ(CodeOf([&] { a.Modify(Row(a, 20).data()); }), kErrRecordChanged);
    ASSERT_EQ(a.Current(rec.data()), 0);
    EXPECT_EQ(V(a, rec), 3);
    EXPECT_EQ(a.RecordCount(), 2);

    // b changes 3 under a's copy: a's edit fails at the lock with 8708.
    ASSERT_EQ(b.Current(rec.data(), true), 0);
    b.Modify(Row(b, 30).data());
    EXPECT_EQ(CodeOf([&] { a.Current(rec.data(), true); }), kErrRecordChanged);
    EXPECT_EQ(a.LockedRecord(), 0);

    // The session is pessimistic: a record a holds for editing is in use
    // for b, which does not wait beyond the session's retry settings. A
    // plain read takes the new copy first.
    ASSERT_EQ(a.Current(rec.data()), 0);
    ASSERT_EQ(a.Current(rec.data(), true), 0);
    EXPECT_EQ(V(a, rec), 30);
    b.Last();
    ASSERT_EQ(b.Prior(rec.data()), 0);
    EXPECT_EQ(CodeOf([&] { b.Current(rec.data(), true); }), kErrRecordInUse);
    EXPECT_EQ(CodeOf([&] { b.Delete(); }), kErrRecordInUse);
    a.Modify(Row(a, 31).data());
    EXPECT_EQ(Walk(b), (std::vector<std::int32_t>{1, 31}));
  }
  // The last cursor gave the table back.
  EXPECT_EQ(Db().TableCount(), 0u);
}

TEST_F(CursorSessionTest, OpeningsFollowTheSessionAndTheSharingRules) {
  session.SetLockProtocol(TLockProtocol::kOptimistic);
  // The engine session took the protocol when it started: restart it.
  database.Close();
  session.Close();
  database.Open();
  TDataCursor reader(Db(), "t", {.read_only = true});
  EXPECT_EQ(reader.LockProtocol(), TLockProtocol::kOptimistic);
  EXPECT_EQ(CodeOf([&] { reader.Insert(Row(reader, 1).data()); }), kErrAccessDenied);
  // A read-only cursor does not make the shared table read-only.
  TDataCursor writer(Db(), "t");
  writer.Insert(Row(writer, 5).data());
  EXPECT_EQ(Walk(reader), (std::vector<std::int32_t>{5}));
  // Exclusive next to other users, and a missing table: the failed opening
  // leaves the shared table's count as it was.
  EXPECT_EQ(CodeOf([&] { TDataCursor x(Db(), "t", {.exclusive = true}); }), kErrAccessDenied);
  EXPECT_EQ(CodeOf([&] { TDataCursor x(Db(), "missing"); }), kErrTableMissing);
  EXPECT_EQ(Db().FindTable("t", false)->RefCount(), 2);
}

TEST_F(CursorSessionTest, TablesOpenedInATransactionJoinIt) {
  MakeTable(dir.path(), "u");
  TDataCursor t(Db(), "t");
  t.Insert(Row(t, 1).data());
  database.StartTransaction();
  {
    TDataCursor u(Db(), "u");  // opened inside: joins
    u.Insert(Row(u, 7).data());
    t.Insert(Row(t, 2).data());
  }
  // Closed inside the transaction: the table stays open until it ends.
  EXPECT_NE(Db().FindTable("u", false), nullptr);
  database.Rollback();
  EXPECT_EQ(Db().FindTable("u", false), nullptr);
  EXPECT_EQ(Walk(t), (std::vector<std::int32_t>{1}));
  {
    TDataCursor u(Db(), "u");
    EXPECT_TRUE(Walk(u).empty());
    database.StartTransaction();
    u.Insert(Row(u, 8).data());
    database.Commit(false);
  }
  TDataCursor u(Db(), "u");
  EXPECT_EQ(Walk(u), (std::vector<std::int32_t>{8}));
}

}  // namespace
}  // namespace kura
