#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <tuple>

#include "db/storage/coding.h"
#include "db/storage/table/data_table.h"
#include "db/storage/engine_error.h"
#include "db/storage/file/file_system.h"
#include "db/storage/index/index_format.h"
#include "db/storage/index/index_file.h"
#include "tests/storage/storage_test_support.h"

namespace kura {
namespace {

using test::CodeOf;
using test::Field;
using test::ReadFileBytes;
using test::TempDir;

class DataTableTest : public ::testing::Test {
 protected:
  // A table "t" with an auto-increment ID, an integer N and a string S(10).
  std::unique_ptr<TDataTable> Make(bool no_primary_key, bool in_memory = false,
                                   TTableOptions options = {}) {
    auto t = std::make_unique<TDataTable>(dir_.path(), "t", settings_, in_memory);
    TFieldDefinition s = Field("S", kFieldString, 10);
    s.char_case = upper_ ? 2 : 0;
    t->Create({Field("ID", kFieldInteger, 0, kSubtypeAutoInc), Field("N", kFieldInteger), s},
              options, TIndexCreateOptions{no_primary_key});
    if (!no_primary_key) {
      // A primary index on N: deleted slots are then reused.
      TIndexDefinition primary;
      primary.fields = {2};
      primary.unique = true;
      dynamic_cast<TIndexFile&>(t->Index()).AddPrimaryIndex(t->Data(), primary);
      t->Flush();
    }
    return t;
  }
  std::int32_t Insert(TDataTable& t, std::int32_t n, std::string_view s = "") {
    auto rec = t.BlankRecord();
    std::uint8_t v[4];
    EncodeFixed32(v, static_cast<std::uint32_t>(n));
    t.Data().PutField(rec.data(), *t.Data().FieldByName("N"), v);
    t.Data().PutString(rec.data(), *t.Data().FieldByName("S"), s);
    return t.InsertRecord(rec.data());
  }
  std::int32_t N(TDataTable& t, std::int32_t recno) {
    TRecordPin r = t.Data().GetRecord(recno);
    return static_cast<std::int32_t>(DecodeFixed32(r->Data() + 10));
  }
  std::string S(TDataTable& t, std::int32_t recno) {
    TRecordPin r = t.Data().GetRecord(recno);
    const TFieldDescriptor& f = *t.Data().FieldByName("S");
    std::uint8_t v[11] = {};
    if (!t.Data().GetField(r->Data(), f, v)) return "<null>";
    return reinterpret_cast<const char*>(v);
  }

  TempDir dir_;
  TStorageSettings settings_;
  bool upper_ = false;
};

TEST_F(DataTableTest, FreeChainReusesDeletedSlotsLastDeletedFirst) {
  auto t = Make(false);
  for (int i = 1; i <= 6; ++i)
    Insert(*t, i);
  t->DeleteRecord(3);
  t->DeleteRecord(5);
  EXPECT_EQ(t->Data().FreeHead(), 5);
  {
    TRecordPin r5 = t->Data().GetRecord(5);
    TRecordPin r3 = t->Data().GetRecord(3);
    EXPECT_TRUE(r5->Deleted());
    EXPECT_EQ(r5->Link(), 3);
    EXPECT_EQ(r3->Link(), 0);
  }
  EXPECT_EQ(Insert(*t, 50), 5);
  EXPECT_EQ(Insert(*t, 30), 3);
  EXPECT_EQ(Insert(*t, 70), 7);
  EXPECT_EQ(t->Data().FreeHead(), 0);
  EXPECT_EQ(t->Index().RecordCount(), 7);
  EXPECT_EQ(CodeOf([&] { t->DeleteRecord(8); }), kErrRecordNotFound);
  t->DeleteRecord(7);
  EXPECT_EQ(CodeOf([&] { t->DeleteRecord(7); }), kErrRecordNotFound);
  t->Data().CheckConsistency();
  t->Close();
  const auto d = ReadFileBytes(dir_ / "t.DAT");
  const std::size_t rs = 9 + 5 + 12, start = 127 + 3 * 768;
  EXPECT_EQ(d.size(), start + 7 * rs);
  EXPECT_EQ(DecodeFixed32(&d[start + 4 * rs + 1]), 5u);  // a reused live slot holds its number
  EXPECT_EQ(DecodeFixed32(&d[start + 4 * rs + 5]), 7u);  // with a new auto-increment value
}

TEST_F(DataTableTest, TableWithoutPrimaryKeyNeverReusesSlots) {
  auto t = Make(true);
  for (int i = 1; i <= 5; ++i)
    Insert(*t, i);
  t->DeleteRecord(3);
  EXPECT_EQ(t->Data().FreeHead(), 3);
  t->DeleteRecord(5);
  EXPECT_EQ(t->Data().FreeHead(), 5);
  EXPECT_EQ(Insert(*t, 6), 6);
  EXPECT_EQ(t->Data().FreeHead(), 0);
  t->DeleteRecord(1);
  {
    TRecordPin r1 = t->Data().GetRecord(1);
    EXPECT_EQ(r1->Link(), 0);
  }
  EXPECT_EQ(Insert(*t, 7), 7);
  t->Data().CheckConsistency();
  t->Verify();
}

// Appending many records in one pass (the "Sys Deleted" tree loaded bottom-up)
// leaves the table as inserting them one by one does: the same records with
// their numbers and auto-increment values, trees that pass every check at
// every size around the page capacities (one leaf, an even split of the last
// two leaves, a second and a third level), and a tree that later inserts and
// deletes keep sound.
TEST_F(DataTableTest, AppendRecordsInOnePassKeepsTheTableAsInsertsDo) {
  // 453 keys fill a leaf, 314 entries a branch: 453 * 314 keys need three levels.
  const std::vector<std::size_t> counts = {1, 2, 452, 453, 454, 680, 907, 4000, 142243};
  std::mt19937 rng(7);
  for (const std::size_t count : counts) {
    SCOPED_TRACE(count);
    auto t = Make(true);
    const std::size_t rs = static_cast<std::size_t>(t->Data().RecordSize());
    std::vector<std::uint8_t> images(count * rs, 0);
    for (std::size_t i = 0; i < count; ++i) {
      std::uint8_t v[4];
      EncodeFixed32(v, static_cast<std::uint32_t>(i * 7 + 1));
      t->Data().PutField(&images[i * rs], *t->Data().FieldByName("N"), v);
      // Garbage in the slot header must not reach the table.
      images[i * rs] = 1;
      images[i * rs + 1] = 0xee;
    }
    t->AppendRecords(images.data(), count);
    ASSERT_EQ(t->Data().SlotCount(), static_cast<std::int32_t>(count));
    EXPECT_EQ(t->Index().RecordCount(), static_cast<std::int32_t>(count));
    auto& index = dynamic_cast<TIndexFile&>(t->Index());
    EXPECT_EQ(index.Tree(t->Data(), kSysDeletedSlot).Count(), static_cast<std::int64_t>(count));
    EXPECT_TRUE(index.CheckTrees(t->Data()).empty());
    for (std::int32_t n : {std::int32_t{1}, static_cast<std::int32_t>(count)}) {
      TRecordPin r = t->Data().GetRecord(n);
      EXPECT_FALSE(r->Deleted());
      EXPECT_EQ(r->Link(), n);
      EXPECT_EQ(r->AutoInc(), n);
    }
    EXPECT_EQ(N(*t, static_cast<std::int32_t>(count)), static_cast<std::int32_t>((count - 1) * 7 + 1));
    // Inserts and deletes go on from the loaded tree.
    std::set<std::int32_t> live;
    for (std::int32_t n = 1; n <= static_cast<std::int32_t>(count); ++n)
      live.insert(n);
    for (int step = 0; step < 300; ++step) {
      if (rng() % 2 && !live.empty()) {
        auto it = live.begin();
        std::advance(it, static_cast<long>(rng() % live.size()));
        t->DeleteRecord(*it);
        live.erase(it);
      } else {
        live.insert(Insert(*t, step));
      }
    }
    EXPECT_EQ(t->Index().RecordCount(), static_cast<std::int32_t>(live.size()));
    t->Close();
    t->Open(true);
    t->Verify();
    EXPECT_TRUE(dynamic_cast<TIndexFile&>(t->Index()).CheckTrees(t->Data()).empty());
    EXPECT_TRUE(t->Data().CheckSlots().empty());
    t->Close();
    t->Delete();
  }
}

// Replacing the records of a table that an append filled (a recycled query
// result run again with as many rows) leaves what emptying and appending
// would; a table in any other state is refused and left alone.
TEST_F(DataTableTest, ReplaceRecordsActsAsEmptyAndAppendOrRefuses) {
  for (const bool in_memory : {false, true}) {
    for (const std::size_t count : {std::size_t{1}, std::size_t{3}, std::size_t{1000}}) {
      SCOPED_TRACE(testing::Message() << count << (in_memory ? " in memory" : " on disk"));
      auto t = Make(true, in_memory);
      const std::size_t rs = static_cast<std::size_t>(t->Data().RecordSize());
      auto images = [&](std::int32_t base, std::size_t n) {
        std::vector<std::uint8_t> out(n * rs, 0);
        for (std::size_t i = 0; i < n; ++i) {
          std::uint8_t v[4];
          EncodeFixed32(v, static_cast<std::uint32_t>(base + static_cast<std::int32_t>(i)));
          t->Data().PutField(&out[i * rs], *t->Data().FieldByName("N"), v);
          out[i * rs + 1] = 0xee;  // header garbage
        }
        return out;
      };
      auto rows = [&] {
        std::vector<std::tuple<std::int32_t, std::int32_t, std::int32_t>> out;
        for (std::int32_t n = 1; n <= t->Data().SlotCount(); ++n) {
          TRecordPin r = t->Data().GetRecord(n);
          if (!r->Deleted()) out.emplace_back(r->Link(), r->AutoInc(), N(*t, n));
        }
        return out;
      };
      t->AppendRecords(images(100, count).data(), count);
      // The same table emptied and appended to: what replacing must leave.
      t->Empty();
      t->AppendRecords(images(500, count).data(), count);
      const auto expected = rows();
      t->Empty();
      t->AppendRecords(images(100, count).data(), count);
      ASSERT_TRUE(t->ReplaceRecords(images(500, count).data(), count));
      EXPECT_EQ(rows(), expected);
      EXPECT_EQ(t->Data().LastAutoInc(), static_cast<std::int32_t>(count));
      EXPECT_EQ(t->Index().RecordCount(), static_cast<std::int32_t>(count));
      // An edit of a field keeps the state; another row count does not fit.
      auto edited = images(7, 1);
      t->UpdateRecord(1, edited.data());
      EXPECT_FALSE(t->ReplaceRecords(images(900, count + 1).data(), count + 1));
      ASSERT_TRUE(t->ReplaceRecords(images(500, count).data(), count));
      EXPECT_EQ(rows(), expected);
      // A record deleted, or deleted and another inserted: refused, unchanged.
      t->DeleteRecord(1);
      Insert(*t, 42);
      const auto before = rows();
      EXPECT_FALSE(t->ReplaceRecords(images(900, count).data(), count));
      EXPECT_EQ(rows(), before);
      t->Flush();
      EXPECT_TRUE(dynamic_cast<TIndexFile&>(t->Index()).CheckTrees(t->Data()).empty());
      EXPECT_TRUE(t->Data().CheckSlots().empty());
      t->Close();
      t->Delete();
    }
  }
  // A table with an index built from its records is never written over.
  auto k = Make(false);
  Insert(*k, 1);
  std::vector<std::uint8_t> one(static_cast<std::size_t>(k->Data().RecordSize()), 0);
  EXPECT_FALSE(k->ReplaceRecords(one.data(), 1));
  EXPECT_EQ(N(*k, 1), 1);
}

TEST_F(DataTableTest, StringValueRules) {
  upper_ = true;
  auto t = Make(true);
  const auto a = Insert(*t, 1, "");
  const auto b = Insert(*t, 2, "abc   ");
  const auto c = Insert(*t, 3, "abcdefghijklmnop");
  EXPECT_EQ(S(*t, a), "<null>");
  EXPECT_EQ(S(*t, b), "ABC");
  EXPECT_EQ(S(*t, c), "ABCDEFGHIJ");
}

TEST_F(DataTableTest, AutoIncrementNeverWrapsAndSuppliedValuesRaiseTheLast) {
  auto t = Make(true);
  auto rec = t->BlankRecord();
  t->InsertRecord(rec.data(), 2147483646);
  EXPECT_EQ(t->Data().LastAutoInc(), 2147483646);
  const auto last = t->InsertRecord(rec.data());
  EXPECT_EQ(t->Data().LastAutoInc(), 2147483647);
  // No value is left: refused, and the table stays as it was.
  const auto header = t->Data().HeaderCopy();
  EXPECT_EQ(CodeOf([&] { t->InsertRecord(rec.data()); }), kErrFieldLimits);
  EXPECT_EQ(t->Data().HeaderCopy(), header);
  EXPECT_EQ(t->Data().SlotCount(), last);
  EXPECT_EQ(t->Index().RecordCount(), 2);
  t->InsertRecord(rec.data(), 5);
  EXPECT_EQ(t->Data().LastAutoInc(), 2147483647);  // max(2147483647, 5)
  t->Flush();
  t->Verify();
  t->Data().CheckConsistency();
}

TEST_F(DataTableTest, UpdateKeepsIdentityAndChangesFields) {
  auto t = Make(false);
  const auto n = Insert(*t, 1, "x");
  auto rec = t->BlankRecord();
  t->Data().PutString(rec.data(), *t->Data().FieldByName("S"), "changed");
  t->UpdateRecord(n, rec.data());
  EXPECT_EQ(S(*t, n), "changed");
  TRecordPin r = t->Data().GetRecord(n);
  EXPECT_EQ(r->AutoInc(), 1);
  r.Release();
  EXPECT_EQ(CodeOf([&] { t->UpdateRecord(2, rec.data()); }), kErrRecordNotFound);
}

TEST_F(DataTableTest, RollbackForgetsChangesAndCommitKeepsThem) {
  auto t = Make(false);
  Insert(*t, 1);
  t->Close();
  TDataTable u(dir_.path(), "t", settings_);
  u.Open(false);
  u.StartTransaction();
  Insert(u, 2);
  Insert(u, 3);
  EXPECT_EQ(u.Data().SlotCount(), 3);
  u.Rollback();
  EXPECT_EQ(u.Data().SlotCount(), 1);
  EXPECT_FALSE(u.TableLocked());
  u.StartTransaction();
  Insert(u, 4);
  u.Commit();
  u.EndTransaction();
  u.Close();
  TDataTable v(dir_.path(), "t", settings_);
  v.Open(false);
  EXPECT_EQ(v.Data().SlotCount(), 2);
  EXPECT_EQ(N(v, 2), 4);
  v.Verify();
}

TEST_F(DataTableTest, CloseWaitsForTheLastUserAndTheEndOfATransaction) {
  Make(true)->Close();
  TDataTable t(dir_.path(), "t", settings_);
  t.Open(false);
  t.AddUse();
  t.Close();
  EXPECT_TRUE(t.IsOpen());
  t.StartTransaction();
  Insert(t, 9);
  t.Close();
  EXPECT_TRUE(t.IsOpen());  // the transaction still holds it
  t.Commit();
  t.EndTransaction();
  t.Close();
  EXPECT_FALSE(t.IsOpen());
  t.Open(false);
  EXPECT_EQ(t.Data().SlotCount(), 1);
}

TEST_F(DataTableTest, ReadOnlyFilesOpenReadOnlyAndTakeNoLocks) {
  auto t = Make(true);
  Insert(*t, 1);
  t->Close();
  ASSERT_EQ(::chmod((dir_ / "t.DAT").c_str(), 0444), 0);
  ASSERT_EQ(::chmod((dir_ / "t.IDX").c_str(), 0444), 0);
  const auto before = test::ReadFileBytes(dir_ / "t.DAT");
  TDataTable u(dir_.path(), "t", settings_);
  u.Open(false);
  EXPECT_TRUE(u.ReadOnly());
  u.ReadLock();
  EXPECT_FALSE(u.ReadLocked());
  u.WriteLock();
  EXPECT_FALSE(u.WriteLocked());
  EXPECT_EQ(N(u, 1), 1);
  auto rec = u.BlankRecord();
  EXPECT_EQ(CodeOf([&] { u.InsertRecord(rec.data()); }), kErrAccessDenied);
  u.Close();
  EXPECT_EQ(test::ReadFileBytes(dir_ / "t.DAT"), before);
}

// Counts OS flushes.
class TSyncCountingFileSystem : public TPosixFileSystem {
 public:
  int Sync(int fd) override {
    ++syncs;
    return TPosixFileSystem::Sync(fd);
  }
  int syncs = 0;
};

TEST_F(DataTableTest, OsFlushOnlyWithForceBufferFlush) {
  TSyncCountingFileSystem fs;
  SetFileSystemForTesting(&fs);
  {
    auto t = Make(true);
    fs.syncs = 0;  // making a table flushes its files once, before it has its name
    Insert(*t, 1);
    EXPECT_EQ(fs.syncs, 0);
    t->Close();
    settings_.force_buffer_flush = true;
    TDataTable u(dir_.path(), "t", settings_);
    u.Open(false);
    Insert(u, 2);
    EXPECT_GE(fs.syncs, 1);
  }
  SetFileSystemForTesting(nullptr);
}

TEST_F(DataTableTest, EveryHeaderWriteCountsOneChange) {
  auto t = Make(true);
  const std::int32_t start = t->Data().ChangeCounter();
  Insert(*t, 1);
  EXPECT_EQ(t->Data().ChangeCounter(), start + 1);
  t->MarkChanged();
  t->Flush();
  EXPECT_EQ(t->Data().ChangeCounter(), start + 3);  // marked once, written once
  t->Flush();
  EXPECT_EQ(t->Data().ChangeCounter(), start + 3);  // nothing changed, nothing written
  t->Close();
  const auto d = test::ReadFileBytes(dir_ / "t.DAT");
  EXPECT_EQ(static_cast<std::int32_t>(DecodeFixed32(d.data())), start + 3);
}

TEST_F(DataTableTest, MemoryTableKeepsItsDataAfterCloseAndReopen) {
  auto t = Make(true, true);
  Insert(*t, 11);
  Insert(*t, 12);
  t->Close();
  TDataTable u("", "t", settings_, true);
  u.Open(false);
  EXPECT_EQ(u.Data().SlotCount(), 2);
  EXPECT_EQ(N(u, 2), 12);
  u.Verify();
  u.Close();
  u.Delete();
}

TEST_F(DataTableTest, EncryptedTableIsScrambledOnDiskAndReadsBack) {
  TTableOptions options;
  options.encrypted = true;
  options.password = "secret";
  options.description = "hidden";
  auto t = Make(true, false, options);
  Insert(*t, 0x41414141, "plaintext");
  t->Close();
  const auto d = ReadFileBytes(dir_ / "t.DAT");
  const std::string all(d.begin(), d.end());
  EXPECT_EQ(all.find("plaintext"), std::string::npos);
  EXPECT_EQ(all.find("secret"), std::string::npos);
  EXPECT_EQ(all.find("hidden"), std::string::npos);
  TDataTable u(dir_.path(), "t", settings_);
  u.Open(false);
  EXPECT_EQ(u.Data().Password(), "secret");
  EXPECT_EQ(u.Data().Description(), "hidden");
  EXPECT_EQ(u.Data().Field(3).Name(), "S");
  EXPECT_EQ(S(u, 1), "plaintext");
  EXPECT_EQ(N(u, 1), 0x41414141);
  u.Verify();
}

TEST_F(DataTableTest, FilesAreCreatedOnceAndFoundIgnoringCase) {
  Make(true)->Close();
  TDataTable again(dir_.path(), "T", settings_);
  EXPECT_EQ(CodeOf([&] { again.Create({Field("A", kFieldInteger)}, {}); }), kErrTableExists);
  again.Open(false);
  EXPECT_EQ(again.Data().FieldCount(), 3);
  TDataTable second(dir_.path(), "t", settings_);
  EXPECT_EQ(CodeOf([&] { second.Open(true); }), kErrAccessDenied);
  again.Close();
  TDataTable missing(dir_.path(), "nothere", settings_);
  EXPECT_EQ(CodeOf([&] { missing.Open(false); }), kErrTableMissing);
}

TEST_F(DataTableTest, MissingIndexFileIsRecreated) {
  Make(true)->Close();
  std::filesystem::remove(dir_ / "t.IDX");
  TDataTable t(dir_.path(), "t", settings_);
  t.Open(false);
  EXPECT_TRUE(t.IndexRecreated());
  EXPECT_EQ(ReadFileBytes(dir_ / "t.IDX").size(), 4096u);
  t.Verify();
}

TEST_F(DataTableTest, RenameDeleteBackupAndIndexCopy) {
  auto t = Make(true);
  Insert(*t, 1);
  t->BackupIndex(true);
  EXPECT_TRUE(std::filesystem::exists(dir_ / "t.IBK"));
  t->RestoreIndex(true);
  EXPECT_EQ(t->Index().RecordCount(), 1);
  EXPECT_EQ(CodeOf([&] { t->Rename("u"); }), kErrAccessDenied);
  t->Close();
  t->Rename("u");
  EXPECT_TRUE(std::filesystem::exists(dir_ / "u.DAT"));
  EXPECT_TRUE(std::filesystem::exists(dir_ / "u.IDX"));
  TDataTable u(dir_.path(), "u", settings_);
  u.RenameToBackup();
  EXPECT_TRUE(std::filesystem::exists(dir_ / "u.DBK"));
  EXPECT_FALSE(u.Exists());
  EXPECT_EQ(CodeOf([&] { u.Delete(); }), kErrTableMissing);
  TDataTable w(dir_.path(), "w", settings_);
  w.Create({Field("A", kFieldInteger)}, {});
  w.Close();
  w.Delete();
  EXPECT_FALSE(std::filesystem::exists(dir_ / "w.DAT"));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "w.IDX"));
}

TEST_F(DataTableTest, EmptyTruncatesToHeaderAndDescriptors) {
  auto t = Make(true);
  for (int i = 0; i < 10; ++i)
    Insert(*t, i);
  t->Empty();
  EXPECT_EQ(t->Data().SlotCount(), 0);
  EXPECT_EQ(t->Index().RecordCount(), 0);
  t->Close();
  EXPECT_EQ(ReadFileBytes(dir_ / "t.DAT").size(), 127u + 3 * 768);
  TDataTable u(dir_.path(), "t", settings_);
  u.Open(false);
  u.Verify();
  EXPECT_EQ(Insert(u, 5), 1);
}

// Random inserts (some failing: duplicate primary keys, identifiers already
// used by a live or deleted record, a generated identifier that collides
// after the counter was lowered, an exhausted counter) and deletes, held
// against a model of the live records; after every flush the files verify.
TEST_F(DataTableTest, RandomOperationsMatchAModelAndFailedInsertsChangeNothing) {
  auto t = Make(false);
  std::mt19937 rng(1234);
  struct TLive {
    std::int32_t n;
    std::int32_t id;
  };
  std::map<std::int32_t, TLive> live;            // record number -> values
  std::map<std::int32_t, std::int32_t> slot_id;  // every slot's identifier
  std::int32_t failures = 0;
  auto id_of = [&](std::int32_t recno) {
    TRecordPin r = t->Data().GetRecord(recno);
    return r->AutoInc();
  };
  for (int step = 0; step < 1500; ++step) {
    const int op = static_cast<int>(rng() % 10);
    if (op < 6 || live.empty()) {
      const std::int32_t n = static_cast<std::int32_t>(rng() % 400);
      std::optional<std::int32_t> id;
      if (op == 1) id = static_cast<std::int32_t>(1 + rng() % 2000);
      if (op == 2) t->Data().SetLastAutoInc(static_cast<std::int32_t>(rng() % 1200));
      if (op == 3 && rng() % 8 == 0) t->Data().SetLastAutoInc(2147483647);
      const std::int32_t counter = t->Data().LastAutoInc();
      const auto header = t->Data().HeaderCopy();
      bool duplicate = false;
      for (const auto& [recno, v] : live)
        duplicate = duplicate || v.n == n;
      const bool exhausted = !id && counter == 2147483647;
      const std::int32_t expected_id = id ? *id : exhausted ? 0 : counter + 1;
      // A caller's identifier must be new to every slot; a generated one must
      // not be a live record's.
      bool clash = false;
      for (const auto& [recno, used] : slot_id)
        clash = clash || (used == expected_id && (id || live.count(recno) > 0));
      auto rec = t->BlankRecord();
      std::uint8_t v[4];
      EncodeFixed32(v, static_cast<std::uint32_t>(n));
      t->Data().PutField(rec.data(), *t->Data().FieldByName("N"), v);
      std::int32_t recno = 0;
      const std::uint16_t code = CodeOf([&] { recno = t->InsertRecord(rec.data(), id); });
      if (duplicate || clash || exhausted) {
        EXPECT_EQ(code, exhausted && !duplicate ? kErrFieldLimits : kErrDuplicateKey)
            << "step " << step;
        EXPECT_EQ(t->Data().HeaderCopy(), header) << "step " << step;
        ++failures;
        t->Flush();
      } else {
        ASSERT_EQ(code, 0) << "step " << step;
        ASSERT_EQ(live.count(recno), 0u);
        live[recno] = {n, expected_id};
        slot_id[recno] = expected_id;
        EXPECT_EQ(id_of(recno), expected_id);
      }
    } else {
      auto it = live.begin();
      std::advance(it, rng() % live.size());
      t->DeleteRecord(it->first);
      live.erase(it);
    }
    if (step % 7 == 0) t->Data().DropRecords();
    ASSERT_NO_THROW(t->Verify()) << "step " << step;
    ASSERT_NO_THROW(t->Data().CheckConsistency()) << "step " << step;
    ASSERT_EQ(t->Index().RecordCount(), static_cast<std::int32_t>(live.size()));
  }
  EXPECT_GT(failures, 100);
  t->Close();
  TDataTable u(dir_.path(), "t", settings_);
  u.Open(false);
  u.Verify();
  u.Data().CheckConsistency();
  std::map<std::int32_t, TLive> found;
  for (std::int32_t n = 1; n <= u.Data().SlotCount(); ++n) {
    TRecordPin r = u.Data().GetRecord(n);
    if (!r->Deleted())
      found[n] = {static_cast<std::int32_t>(DecodeFixed32(r->Data() + 10)), r->AutoInc()};
  }
  ASSERT_EQ(found.size(), live.size());
  for (const auto& [recno, v] : live) {
    EXPECT_EQ(found[recno].n, v.n) << recno;
    EXPECT_EQ(found[recno].id, v.id) << recno;
  }
}

// Random inserts, rewrites, deletes and reads inside transactions that are
// committed or rolled back, held against a model of the records. In the
// shared open every step takes the locks a cursor takes (read lock around
// reads, record lock then write lock around changes), and a second handle
// reads meanwhile: it must see the last committed state until the commit.
// Finally the files are reopened from disk and compared with the model.
TEST_F(DataTableTest, TransactionsMatchAModelThroughCommitAndRollback) {
  using Model = std::map<std::int32_t, std::pair<std::int32_t, std::string>>;
  for (const bool exclusive : {true, false}) {
    SCOPED_TRACE(exclusive ? "exclusive" : "shared");
    std::mt19937 rng(exclusive ? 77 : 78);
    auto text = [&] { return "v" + std::to_string(rng() % 100000); };
    Model committed;
    std::int32_t next_n = 0;
    {
      auto t = Make(false);
      for (int i = 0; i < 400; ++i) {
        const std::string s = text();
        committed[Insert(*t, next_n, s)] = {next_n, s};
        ++next_n;
      }
      t->Close();
    }
    auto expect_view = [&](TDataTable& t, const Model& m, const char* who) {
      SCOPED_TRACE(who);
      ASSERT_EQ(t.Index().RecordCount(), static_cast<std::int32_t>(m.size()));
      for (std::int32_t n = 1; n <= t.Data().SlotCount(); ++n) {
        const auto it = m.find(n);
        ASSERT_EQ(t.Data().GetRecord(n)->Deleted(), it == m.end()) << "slot " << n;
        if (it == m.end()) continue;
        ASSERT_EQ(N(t, n), it->second.first) << "slot " << n;
        ASSERT_EQ(S(t, n), it->second.second) << "slot " << n;
      }
      for (const auto& [n, v] : m)
        ASSERT_LE(n, t.Data().SlotCount());
    };
    TDataTable t(dir_.path(), "t", settings_);
    t.Open(exclusive);
    TDataTable other(dir_.path(), "t", settings_);
    if (!exclusive) other.Open(false);
    auto pick = [&](const Model& m) {
      auto it = m.begin();
      std::advance(it, rng() % m.size());
      return it->first;
    };
    for (int round = 0; round < 12; ++round) {
      SCOPED_TRACE("round " + std::to_string(round));
      Model model = committed;
      t.StartTransaction();
      const int steps = 20 + static_cast<int>(rng() % 60);
      for (int step = 0; step < steps; ++step) {
        const unsigned op = rng() % 10;
        if (op < 3 || model.empty()) {
          std::optional<TWriteLockGuard> lock;
          if (!exclusive) lock.emplace(t);
          const std::string s = text();
          const std::int32_t n = Insert(t, next_n, s);
          ASSERT_FALSE(model.count(n));
          model[n] = {next_n++, s};
        } else if (op < 7) {
          const std::int32_t n = pick(model);
          t.LockRecord(n);
          if (!exclusive && !settings_.strict_change_detection) t.ReleaseReadLock();
          std::optional<TWriteLockGuard> lock;
          if (!exclusive) lock.emplace(t);
          if (op == 6) {
            t.DeleteRecord(n);
            model.erase(n);
          } else {
            auto rec = t.BlankRecord();
            const std::int32_t key = op == 5 ? next_n++ : model[n].first;
            std::uint8_t v[4];
            EncodeFixed32(v, static_cast<std::uint32_t>(key));
            const std::string s = text();
            t.Data().PutField(rec.data(), *t.Data().FieldByName("N"), v);
            t.Data().PutString(rec.data(), *t.Data().FieldByName("S"), s);
            t.UpdateRecord(n, rec.data());
            model[n] = {key, s};
          }
          lock.reset();
          t.UnlockRecord(n);
        } else {
          std::optional<TReadLockGuard> lock;
          if (!exclusive) lock.emplace(t);
          const std::int32_t n = pick(model);
          ASSERT_EQ(N(t, n), model[n].first);
          ASSERT_EQ(S(t, n), model[n].second);
        }
        if (!exclusive && step == steps / 2) {
          TReadLockGuard lock(other);
          expect_view(other, committed, "other handle during the transaction");
        }
      }
      {
        std::optional<TReadLockGuard> lock;
        if (!exclusive) lock.emplace(t);
        expect_view(t, model, "inside the transaction");
      }
      if (rng() % 2) {
        t.Commit();
        t.EndTransaction();
        committed = model;
      } else {
        t.Rollback();
      }
      EXPECT_FALSE(t.TableLocked());
      std::optional<TReadLockGuard> lock;
      if (!exclusive) lock.emplace(t);
      expect_view(t, committed, "after the transaction");
      t.Verify();
      lock.reset();
      if (!exclusive) {
        TReadLockGuard other_lock(other);
        expect_view(other, committed, "other handle after the transaction");
      }
    }
    other.Close();
    t.Close();
    TDataTable disk(dir_.path(), "t", settings_);
    disk.Open(true);
    disk.Verify();
    disk.Data().CheckConsistency();
    expect_view(disk, committed, "reopened");
    disk.Close();
    disk.Delete();
  }
}

// Lock failures inside the handle itself fail at once and leave nothing
// held: the table lock under the handle's own write lock, and a read lock
// whose change check finds a corrupt header.
TEST_F(DataTableTest, FailedLocksFailAtOnceAndLeaveNothingHeld) {
  Make(true)->Close();
  TDataTable t(dir_.path(), "t", settings_);
  t.Open(false);
  t.WriteLock();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(CodeOf([&] { t.TableLock(); }), kErrLockFailure);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_FALSE(t.TableLocked());
  t.ReleaseWriteLock();
  t.TableLock();
  t.ReleaseTableLock();

  TStorageSettings quick = settings_;
  quick.low_level_retries = 20;
  TDataTable writer(dir_.path(), "t", quick);
  writer.Open(false);
  // Another writer moved the counter and wrote a header of another layout.
  auto bytes = ReadFileBytes(dir_ / "t.DAT");
  auto saved = bytes;
  EncodeFixed32(&bytes[data_header::kChangeCounter], 999);
  EncodeFixed16(&bytes[data_header::kRecordSize],
                static_cast<std::uint16_t>(t.Data().RecordSize() + 1));
  test::WriteFileBytes(dir_ / "t.DAT", bytes);
  EXPECT_EQ(CodeOf([&] { t.ReadLock(); }), kErrHeaderCorrupt);
  EXPECT_FALSE(t.ReadLocked());
  test::WriteFileBytes(dir_ / "t.DAT", saved);
  writer.WriteLock();  // no read slot was left behind to hold it off
  writer.ReleaseWriteLock();
  writer.Close();
  t.Close();
}

// Inside a transaction a handle's read and write locks are only counted: its
// writes stay in its caches, and its table lock keeps every other writer out.
// Readers are kept out only while the commit writes the files.
TEST_F(DataTableTest, TransactionLocksOnlyCountUntilTheCommitWrites) {
  Make(true)->Close();
  TStorageSettings quick = settings_;
  quick.low_level_retries = 2;
  TDataTable t(dir_.path(), "t", quick), other(dir_.path(), "t", quick);
  t.Open(false);
  other.Open(false);
  t.StartTransaction();
  t.ReadLock();
  EXPECT_EQ(CodeOf([&] { other.WriteLock(); }), kErrLockFailure);
  t.ReleaseReadLock();
  t.WriteLock();
  t.WriteLock();
  other.ReadLock();  // no write range is held against it
  other.ReleaseReadLock();
  t.ReleaseWriteLock();
  t.ReleaseWriteLock();
  EXPECT_FALSE(t.WriteLocked());
  t.WriteLockForCommit();
  EXPECT_EQ(CodeOf([&] { other.ReadLock(); }), kErrLockFailure);
  t.ReleaseWriteLock();
  other.ReadLock();
  other.ReleaseReadLock();
  t.EndTransaction();
  other.WriteLock();
  other.ReleaseWriteLock();
  other.Close();
  t.Close();
}

// The change counters and the live-record count are unsigned 32-bit values
// on disk that wrap; a table at the top of their range keeps working, and a
// wrapped counter still tells other handles about the change.
TEST_F(DataTableTest, CountersWrapAtTheTopOfTheirRange) {
  Make(true)->Close();
  auto put32 = [&](const std::string& file, std::size_t offset, std::uint32_t v) {
    auto bytes = ReadFileBytes(dir_ / file);
    EncodeFixed32(&bytes[offset], v);
    test::WriteFileBytes(dir_ / file, bytes);
  };
  put32("t.DAT", data_header::kChangeCounter, 0x7FFFFFFF);
  put32("t.IDX", index_header::kChangeCounter, 0x7FFFFFFF);
  put32("t.IDX", index_header::kRecordCount, 0x7FFFFFFF);
  TDataTable t(dir_.path(), "t", settings_);
  t.Open(false);
  TDataTable other(dir_.path(), "t", settings_);
  other.Open(false);
  {
    TWriteLockGuard lock(t);
    Insert(t, 1);
  }
  auto get32 = [&](const std::string& file, std::size_t offset) {
    return DecodeFixed32(&ReadFileBytes(dir_ / file)[offset]);
  };
  EXPECT_EQ(get32("t.DAT", data_header::kChangeCounter), 0x80000000u);
  EXPECT_EQ(get32("t.IDX", index_header::kChangeCounter), 0x80000000u);
  EXPECT_EQ(get32("t.IDX", index_header::kRecordCount), 0x80000000u);
  EXPECT_TRUE(other.CheckForChanges());
  EXPECT_EQ(other.Data().SlotCount(), 1);
  t.StartTransaction();
  t.MarkChanged();
  t.Commit();
  t.EndTransaction();
  EXPECT_EQ(get32("t.DAT", data_header::kChangeCounter), 0x80000002u);
  other.Close();
  t.Close();
}

}  // namespace
}  // namespace kura
