// Bulk appends held against the same records inserted one by one: random
// tables (byte order and a locale's collation, unique and non-unique,
// descending, case-insensitive and compressed indexes, a primary index or
// none) get the same rows both ways, first into the empty table (slots in
// one pass, trees built from sorted keys) and then into the filled one
// (sorted keys added as runs, or one by one), before and after deletes. The
// two tables must then hold the same slots and the same entries, in order,
// in every index, and pass the deep check. A duplicate of a unique key
// changes nothing; a writer killed at random moments of bulk appends leaves
// each of them whole or absent.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <random>
#include <thread>

#include "db/storage/coding.h"
#include "db/storage/index/index_file.h"
#include "db/storage/index/index_format.h"
#include "db/storage/index/page.h"
#include "db/storage/table/data_table.h"
#include "tests/storage/storage_test_support.h"

namespace kura {
namespace {

using test::Field;

std::vector<TFieldDefinition> Fields() {
  return {Field("ID", kFieldInteger), Field("NAME", kFieldString, 12),
          Field("GRP", kFieldSmallInt), Field("VAL", kFieldFloat)};
}

std::vector<TIndexDefinition> RandomIndexes(std::mt19937& random, bool* primary) {
  std::vector<TIndexDefinition> out;
  auto def = [](std::string name, std::vector<int> fields) {
    TIndexDefinition d;
    d.name = std::move(name);
    d.fields = std::move(fields);
    return d;
  };
  *primary = random() % 2 == 0;
  if (*primary) out.push_back(def("", {1}));  // unique, on ID
  TIndexDefinition by_name = def("BY_NAME", {2});
  by_name.case_insensitive = random() % 2 == 0;
  by_name.descending = random() % 3 == 0;
  by_name.compression = random() % 3 == 0 ? kCompressFull : kCompressNone;
  out.push_back(by_name);
  TIndexDefinition by_grp = def("BY_GRP_VAL", {3, 4});
  by_grp.field_descending = {random() % 2 == 0, false};
  out.push_back(by_grp);
  if (random() % 2 == 0) {
    TIndexDefinition by_id = def("BY_ID", {1});
    by_id.unique = true;
    by_id.descending = random() % 2 == 0;
    out.push_back(by_id);
  }
  return out;
}

struct TTable {
  std::unique_ptr<TDataTable> t;
  TIndexFile& Index() { return dynamic_cast<TIndexFile&>(t->Index()); }
};

TTable Make(const std::string& dir, const std::string& name, std::uint16_t locale,
            const std::vector<TIndexDefinition>& indexes, bool primary) {
  TTable table{std::make_unique<TDataTable>(dir, name, TStorageSettings{})};
  TTableOptions options;
  options.locale_language = locale;
  table.t->Create(Fields(), options, TIndexCreateOptions{!primary});
  for (const TIndexDefinition& d : indexes) {
    if (d.name.empty())
      table.Index().AddPrimaryIndex(table.t->Data(), d);
    else
      table.Index().AddSecondaryIndex(table.t->Data(), d);
  }
  table.t->Close();
  table.t->Open(false);
  return table;
}

// `count` records with unique IDs from `next_id` on (shuffled), names with
// repeats and letter case, groups and values with repeats.
std::vector<std::uint8_t> Rows(TDataTable& t, std::mt19937& random, int count,
                               std::int32_t next_id) {
  TDataFile& d = t.Data();
  const std::size_t rs = static_cast<std::size_t>(d.RecordSize());
  std::vector<std::int32_t> ids(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i)
    ids[static_cast<std::size_t>(i)] = next_id + i;
  if (random() % 4 != 0) std::shuffle(ids.begin(), ids.end(), random);
  const char* names[] = {"alpha", "Alpha", "beta", "Äpfel", "apfel", "zed", "", "Beta  "};
  std::vector<std::uint8_t> images(static_cast<std::size_t>(count) * rs, 0);
  for (int i = 0; i < count; ++i) {
    std::uint8_t* r = &images[static_cast<std::size_t>(i) * rs];
    std::uint8_t b[8];
    EncodeFixed32(b, static_cast<std::uint32_t>(ids[static_cast<std::size_t>(i)]));
    d.PutField(r, d.Field(1), {b, 4});
    const std::string name = names[random() % 8];
    if (!name.empty()) d.PutString(r, d.Field(2), name + std::to_string(random() % 5));
    if (random() % 10 != 0) {
      EncodeFixed16(b, static_cast<std::uint16_t>(random() % 7 - 3));
      d.PutField(r, d.Field(3), {b, 2});
    }
    EncodeDouble(b, static_cast<double>(random() % 50) / 4.0);
    d.PutField(r, d.Field(4), {b, 8});
  }
  return images;
}

void InsertOneByOne(TDataTable& t, const std::vector<std::uint8_t>& images) {
  const std::size_t rs = static_cast<std::size_t>(t.Data().RecordSize());
  for (std::size_t i = 0; i < images.size() / rs; ++i) {
    TWriteLockGuard lock(t);
    t.InsertRecord(&images[i * rs]);
  }
}

// Every slot and every index entry of both tables, which must agree.
void ExpectSame(TTable& bulk, TTable& single, const std::string& where) {
  TReadLockGuard a_lock(*bulk.t);
  TReadLockGuard b_lock(*single.t);
  TDataFile& a = bulk.t->Data();
  TDataFile& b = single.t->Data();
  ASSERT_EQ(a.SlotCount(), b.SlotCount()) << where;
  for (std::int32_t n = 1; n <= a.SlotCount(); ++n) {
    TRecordPin x = a.GetRecord(n);
    TRecordPin y = b.GetRecord(n);
    ASSERT_EQ(std::vector<std::uint8_t>(x->Data(), x->Data() + x->Size()),
              std::vector<std::uint8_t>(y->Data(), y->Data() + y->Size()))
        << where << ": slot " << n;
  }
  EXPECT_EQ(bulk.Index().RecordCount(), single.Index().RecordCount()) << where;
  std::vector<int> slots = bulk.Index().KeySlots();
  slots.push_back(kSysDeletedSlot);
  for (int slot : slots) {
    std::vector<std::pair<std::vector<std::uint8_t>, std::int32_t>> x, y;
    const int ks = slot == kSysDeletedSlot ? 5 : bulk.Index().Layout(a, slot).KeySize();
    bulk.Index().Tree(a, slot).ForEach([&](const std::uint8_t* k, std::int32_t r) {
      x.emplace_back(std::vector<std::uint8_t>(k, k + ks), r);
    });
    single.Index().Tree(b, slot).ForEach([&](const std::uint8_t* k, std::int32_t r) {
      y.emplace_back(std::vector<std::uint8_t>(k, k + ks), r);
    });
    // "Sys Deleted" holds the deleted records' keys too.
    if (slot != kSysDeletedSlot) {
      ASSERT_EQ(x.size(), static_cast<std::size_t>(bulk.Index().RecordCount())) << where;
    }
    EXPECT_EQ(x, y) << where << ": index slot " << slot;
  }
  EXPECT_EQ(bulk.Index().CheckTrees(a), std::vector<std::string>{}) << where;
  bulk.t->Verify();
}

TEST(BulkAppendTest, LeavesWhatInsertingOneByOneLeaves) {
  for (unsigned seed = 1; seed <= 12; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    test::TempDir dir;
    std::mt19937 random(seed);
    bool primary = false;
    const std::vector<TIndexDefinition> indexes = RandomIndexes(random, &primary);
    const std::uint16_t locale = random() % 2 == 0 ? 0 : 0x0407;
    TTable bulk = Make(dir.path(), "bulk", locale, indexes, primary);
    TTable single = Make(dir.path(), "single", locale, indexes, primary);
    // Into the empty table (a few thousand rows spread trees over levels),
    // then into the filled one, with records deleted in between (deleted
    // keys of "Sys Deleted" after the live ones, slots a primary index reuses).
    std::int32_t next_id = 1;
    for (int round = 0; round < 4; ++round) {
      const int count = round == 0 ? 1 + static_cast<int>(random() % 6000)
                                   : 1 + static_cast<int>(random() % 900);
      const std::vector<std::uint8_t> rows = Rows(*bulk.t, random, count, next_id);
      next_id += count;
      bulk.t->BulkAppend(rows.data(), static_cast<std::size_t>(count), seed % 2 == 0);
      InsertOneByOne(*single.t, rows);
      ExpectSame(bulk, single, "round " + std::to_string(round));
      if (round == 1) {
        const std::int32_t slots = single.t->Data().SlotCount();
        for (int d = 0; d < 40; ++d) {
          const auto n = static_cast<std::int32_t>(1 + random() % static_cast<unsigned>(slots));
          for (TTable* t : {&bulk, &single}) {
            TWriteLockGuard lock(*t->t);
            if (!t->t->Data().GetRecord(n)->Deleted()) t->t->DeleteRecord(n);
          }
        }
        ExpectSame(bulk, single, "after deletes");
      }
    }
    bulk.t->Close();
    single.t->Close();
  }
}

TEST(BulkAppendTest, ADuplicateUniqueKeyChangesNothing) {
  for (bool filled : {false, true}) {
    test::TempDir dir;
    std::mt19937 random(7);
    TIndexDefinition by_id;
    by_id.name = "BY_ID";
    by_id.fields = {1};
    by_id.unique = true;
    TTable table = Make(dir.path(), "t", 0, {by_id}, false);
    if (filled) {
      const auto first = Rows(*table.t, random, 10, 1);
      table.t->BulkAppend(first.data(), 10);
    }
    std::vector<std::uint8_t> rows = Rows(*table.t, random, 300, 100);
    const std::size_t rs = static_cast<std::size_t>(table.t->Data().RecordSize());
    // Row 250 takes the ID of row 17.
    std::copy_n(&rows[17 * rs], rs, &rows[250 * rs]);
    EXPECT_EQ(test::CodeOf([&] { table.t->BulkAppend(rows.data(), 300); }), kErrDuplicateKey);
    {
      TReadLockGuard lock(*table.t);
      EXPECT_EQ(table.Index().RecordCount(), filled ? 10 : 0);
      EXPECT_EQ(table.t->Data().SlotCount(), filled ? 10 : 0);
      table.t->Verify();
      EXPECT_EQ(table.Index().CheckTrees(table.t->Data()), std::vector<std::string>{});
    }
    // The table takes the rows once the duplicate is gone.
    rows.resize(250 * rs);
    table.t->BulkAppend(rows.data(), 250);
    TReadLockGuard lock(*table.t);
    EXPECT_EQ(table.Index().RecordCount(), filled ? 260 : 250);
  }
}

// A child appends batches of `kBatch` records in a loop and is killed after
// a random delay; the table then verifies and holds a whole number of batches.
TEST(BulkAppendTest, AKilledAppendLeavesWholeBatches) {
  test::TempDir dir;
  constexpr int kBatch = 20000;
  TIndexDefinition by_name;
  by_name.name = "BY_NAME";
  by_name.fields = {2};
  { TTable table = Make(dir.path(), "t", 0, {by_name}, false); }
  std::mt19937 random(11);
  std::int64_t rows = 0;
  for (int kill = 0; kill < 12; ++kill) {
    SCOPED_TRACE("kill " + std::to_string(kill));
    test::Signal started;
    const pid_t child = test::Spawn([&] {
      TDataTable t(dir.path(), "t", TStorageSettings{});
      t.Open(false);
      std::mt19937 rows_random(static_cast<unsigned>(kill));
      const auto images = Rows(t, rows_random, kBatch, 1);
      started.Notify();
      for (int batch = 0; batch < 1000; ++batch)
        t.BulkAppend(images.data(), kBatch, kill % 2 == 0);
      return 0;
    });
    ASSERT_TRUE(started.Wait());
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 400000));
    ::kill(child, SIGKILL);
    test::WaitExit(child);
    TDataTable t(dir.path(), "t", TStorageSettings{});
    t.Open(false);
    TReadLockGuard lock(t);
    t.Verify();
    auto& index = dynamic_cast<TIndexFile&>(t.Index());
    EXPECT_EQ(index.CheckTrees(t.Data()), std::vector<std::string>{});
    const std::int64_t now = index.RecordCount();
    EXPECT_EQ(now % kBatch, 0) << now << " records";
    EXPECT_GE(now, rows);
    rows = now;
  }
}

}  // namespace
}  // namespace kura
