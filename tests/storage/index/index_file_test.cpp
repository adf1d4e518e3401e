// The index file under a real table: keys kept through inserts, updates and
// deletes, index definitions and their refusals, file sizes, and the
// independent reader over the files written.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <string>

#include "db/storage/coding.h"
#include "db/storage/engine_error.h"
#include "db/storage/index/index_file.h"
#include "db/storage/index/key_collation.h"
#include "db/storage/table/data_table.h"
#include "tests/storage/index/index_format_reader.h"
#include "tests/storage/storage_test_support.h"

namespace kura {
namespace {

using test::CodeOf;
using test::ReadFileBytes;
using test::TempDir;
using test::WriteFileBytes;

std::vector<TFieldDefinition> Fields() {
  std::vector<TFieldDefinition> f(5);
  f[0].name = "ID";
  f[0].type = kFieldInteger;
  f[1].name = "NAME";
  f[1].type = kFieldString;
  f[1].length = 20;
  f[2].name = "GRP";
  f[2].type = kFieldSmallInt;
  f[3].name = "VAL";
  f[3].type = kFieldFloat;
  f[4].name = "MEMO";
  f[4].type = kFieldBlob;
  f[4].subtype = kSubtypeMemo;
  return f;
}

TIndexDefinition Def(std::string name, std::vector<int> fields, bool unique,
                     std::uint8_t compression = kCompressNone) {
  TIndexDefinition d;
  d.name = std::move(name);
  d.fields = std::move(fields);
  d.unique = unique;
  d.compression = compression;
  return d;
}

class IndexFileTest : public ::testing::Test {
 protected:
  std::unique_ptr<TDataTable> Make(std::uint16_t locale = 0) {
    auto t = std::make_unique<TDataTable>(dir_.path(), "t", settings_);
    TTableOptions options;
    options.locale_language = locale;
    t->Create(Fields(), options, TIndexCreateOptions{false});
    return t;
  }
  static TIndexFile& Index(TDataTable& t) { return dynamic_cast<TIndexFile&>(t.Index()); }

  std::vector<std::uint8_t> Row(TDataTable& t, std::int32_t id, const std::string& name,
                                std::int16_t grp, double val) {
    TDataFile& d = t.Data();
    std::vector<std::uint8_t> r = t.BlankRecord();
    std::uint8_t b[8];
    EncodeFixed32(b, static_cast<std::uint32_t>(id));
    d.PutField(r.data(), d.Field(1), {b, 4});
    d.PutString(r.data(), d.Field(2), name);
    EncodeFixed16(b, static_cast<std::uint16_t>(grp));
    d.PutField(r.data(), d.Field(3), {b, 2});
    EncodeDouble(b, val);
    d.PutField(r.data(), d.Field(4), {b, 8});
    return r;
  }

  kura::test::FileReport ReadBack(std::uint32_t locale = 0) {
    return kura::test::ReadIndexFile(dir_ / "t.IDX", [&](int slot) -> kura::test::KeyOrder {
      if (locale == 0 || slot == 31) return nullptr;
      return [this, slot](const std::uint8_t* a, const std::uint8_t* b, int n) {
        return comparators_.at(slot).Compare(a, b, n);
      };
    });
  }

  TempDir dir_;
  TStorageSettings settings_;
  std::map<int, KeyComparator> comparators_;
};

TEST_F(IndexFileTest, NewFileIsOnePageAndTheFirstKeyMakesPageOne) {
  auto t = Make();
  EXPECT_EQ(ReadFileBytes(dir_ / "t.IDX").size(), 4096u);
  Index(*t).AddPrimaryIndex(t->Data(), Def("", {1}, true));
  t->Flush();
  EXPECT_EQ(ReadFileBytes(dir_ / "t.IDX").size(), 4096u);
  t->InsertRecord(Row(*t, 7, "a", 1, 1).data());
  const auto bytes = ReadFileBytes(dir_ / "t.IDX");
  // Page 1: the primary index's root leaf; page 2: "Sys Deleted".
  ASSERT_EQ(bytes.size(), 3u * 4096);
  EXPECT_EQ(bytes[4096], kPageRootLeaf);
  EXPECT_EQ(DecodeFixed32(&bytes[14 + 86]), 1u);
  EXPECT_EQ(DecodeFixed32(&bytes[14 + 31 * 120 + 86]), 2u);
  EXPECT_EQ(DecodeFixed32(&bytes[3974]), 1u);
  t->Close();
}

TEST_F(IndexFileTest, SmallTreesGrowByWholePages) {
  auto t = Make();
  Index(*t).AddPrimaryIndex(t->Data(), Def("", {1}, true));
  // 5-byte keys: 4083 / 9 = 453 entries per leaf in both trees.
  for (int i = 1; i <= 453; ++i)
    t->InsertRecord(Row(*t, i, "", 0, 0).data());
  EXPECT_EQ(ReadFileBytes(dir_ / "t.IDX").size(), 3u * 4096);
  t->InsertRecord(Row(*t, 454, "", 0, 0).data());
  // Each tree split into two leaves under a new root.
  EXPECT_EQ(ReadFileBytes(dir_ / "t.IDX").size(), 7u * 4096);
  EXPECT_EQ(Index(*t).NextPage(), 7);
  t->Close();
  const kura::test::FileReport r = ReadBack();
  EXPECT_TRUE(r.problems.empty());
  EXPECT_EQ(r.indexes[0].depth, 2);
  EXPECT_EQ(r.indexes[0].keys.size(), 454u);
}

TEST_F(IndexFileTest, DefinitionsAreCheckedAndRefused) {
  auto t = Make();
  TIndexFile& x = Index(*t);
  TDataFile& d = t->Data();
  x.AddPrimaryIndex(d, Def("", {1}, true));
  EXPECT_EQ(CodeOf([&] { x.AddPrimaryIndex(d, Def("", {2}, true)); }), kErrPrimaryExists);
  EXPECT_EQ(CodeOf([&] { x.AddSecondaryIndex(d, Def("", {2}, false)); }), kErrIndexNameMissing);
  EXPECT_EQ(CodeOf([&] { x.AddSecondaryIndex(d, Def("9name", {2}, false)); }),
            kErrInvalidIndexName);
  EXPECT_EQ(CodeOf([&] { x.AddSecondaryIndex(d, Def("ByMemo", {5}, false)); }), kErrIndexField);
  EXPECT_EQ(CodeOf([&] { x.AddSecondaryIndex(d, Def("Wide", std::vector<int>(17, 1), false)); }),
            kErrIndexLimits);
  x.AddSecondaryIndex(d, Def("ByName", {2}, false));
  EXPECT_EQ(CodeOf([&] { x.AddSecondaryIndex(d, Def("BYNAME", {3}, false)); }), kErrIndexExists);
  for (int i = 2; i <= 30; ++i)
    x.AddSecondaryIndex(d, Def(std::string("I").append(std::to_string(i)), {3}, false));
  EXPECT_EQ(CodeOf([&] { x.AddSecondaryIndex(d, Def("I31", {3}, false)); }), kErrIndexLimits);

  // Deleting moves the later slots down; renaming keeps names unique.
  x.DeleteIndex(x.SlotOf("ByName"));
  EXPECT_EQ(x.SecondaryCount(), 29);
  EXPECT_EQ(x.SlotOf("I2"), 1);
  EXPECT_EQ(x.SlotOf("byname"), -1);
  EXPECT_EQ(CodeOf([&] { x.RenameIndex(1, "i3"); }), kErrIndexExists);
  x.RenameIndex(1, "Second");
  EXPECT_EQ(x.SlotOf("SECOND"), 1);
  t->Flush();
  t->Verify();
  t->Close();
}

TEST_F(IndexFileTest, UniqueIndexOverDuplicateDataIsNotAdded) {
  auto t = Make();
  for (int i = 0; i < 600; ++i)
    t->InsertRecord(Row(*t, i, i % 2 ? "odd" : "even", 0, 0).data());
  TIndexFile& x = Index(*t);
  EXPECT_EQ(CodeOf([&] { x.AddSecondaryIndex(t->Data(), Def("UName", {2}, true)); }),
            kErrDuplicateKey);
  EXPECT_EQ(x.SlotOf("UName"), -1);
  x.AddSecondaryIndex(t->Data(), Def("Name", {2}, false, kCompressFull));
  t->Flush();
  EXPECT_TRUE(x.CheckTrees(t->Data()).empty());
  t->Close();
  const kura::test::FileReport r = ReadBack();
  EXPECT_TRUE(r.problems.empty()) << r.problems.front();
  EXPECT_EQ(r.indexes[1].keys.size(), 600u);
  EXPECT_GT(r.indexes[31].free_pages, 0);  // the refused index's pages are reusable
}

TEST_F(IndexFileTest, CorruptPageIsAnErrorNotACrash) {
  {
    auto t = Make();
    Index(*t).AddPrimaryIndex(t->Data(), Def("", {1}, true));
    for (int i = 0; i < 2000; ++i)
      t->InsertRecord(Row(*t, i, "x", 0, 0).data());
    t->Close();
  }
  auto bytes = ReadFileBytes(dir_ / "t.IDX");
  const std::uint32_t root = DecodeFixed32(&bytes[14 + 86]);
  // The root's first child link points at the root itself.
  EncodeFixed32(&bytes[root * 4096 + 13 + 5], root);
  WriteFileBytes(dir_ / "t.IDX", bytes);
  TDataTable t(dir_.path(), "t", settings_);
  t.Open(true);
  EXPECT_EQ(CodeOf([&] { t.InsertRecord(Row(t, -1, "x", 0, 0).data()); }), kErrPageBuffersCorrupt);
  EXPECT_FALSE(Index(t).CheckTrees(t.Data()).empty());
  t.Close(/*discard=*/true);
}

TEST_F(IndexFileTest, PageCountBeyondTheFileIsRefusedAndReportsStayShort) {
  {
    auto t = Make();
    Index(*t).AddPrimaryIndex(t->Data(), Def("", {1}, true));
    for (int i = 0; i < 600; ++i)
      t->InsertRecord(Row(*t, i, "x", 0, 0).data());
    t->Close();
  }
  const std::vector<std::uint8_t> good = ReadFileBytes(dir_ / "t.IDX");
  const auto held = static_cast<std::int32_t>(good.size() / 4096 - 1);
  // A few thousand pages too many, and the largest count the header admits.
  for (const std::int32_t next : {held + 5001, 2000000001}) {
    std::vector<std::uint8_t> bad = good;
    EncodeFixed32(&bad[9], static_cast<std::uint32_t>(next));
    WriteFileBytes(dir_ / "t.IDX", bad);
    TDataTable t(dir_.path(), "t", settings_);
    t.Open(true);
    EXPECT_EQ(CodeOf([&] { t.Verify(); }), kErrHeaderCorrupt) << next;
    const std::vector<std::string> problems = Index(t).CheckTrees(t.Data());
    ASSERT_FALSE(problems.empty());
    EXPECT_EQ(problems.front(), "header counts " + std::to_string(next - 1) +
                                    " pages, the file holds " + std::to_string(held));
    EXPECT_EQ(problems.size(), 1u) << problems[1];
    t.Close(/*discard=*/true);
  }
  // Every page of a damaged file may be broken; the list stays bounded.
  std::vector<std::uint8_t> bad = good;
  bad.resize(bad.size() + 3000 * 4096, 0);
  EncodeFixed32(&bad[9], static_cast<std::uint32_t>(held + 3001));
  WriteFileBytes(dir_ / "t.IDX", bad);
  TDataTable t(dir_.path(), "t", settings_);
  t.Open(true);
  const std::vector<std::string> problems = Index(t).CheckTrees(t.Data());
  EXPECT_EQ(problems.size(), kMaxListedProblems + 1);
  EXPECT_EQ(problems.back(), "further problems not listed");
  t.Close(/*discard=*/true);
}

// Random bytes of the tree pages overwritten: nothing crashes or hangs, and
// whenever the damage changes what the independent reader finds in the file
// (its keys, pages or problems), the deep check reports it.
TEST_F(IndexFileTest, RandomlyDamagedPagesAreDetectedNeverCrashOrHang) {
  {
    auto t = Make();
    TIndexFile& x = Index(*t);
    x.AddPrimaryIndex(t->Data(), Def("", {1}, true, kCompressFull));
    x.AddSecondaryIndex(t->Data(), Def("ByName", {2}, false, kCompressDuplicate));
    for (int i = 0; i < 1500; ++i) {
      t->InsertRecord(
          Row(*t, i * 7 % 1501, std::string("n").append(std::to_string(i % 97)), 0, 0).data());
    }
    t->Close();
  }
  const std::vector<std::uint8_t> good = ReadFileBytes(dir_ / "t.IDX");
  // What the reader sees in a file: every index's keys and page counts, and
  // the problems it finds.
  auto seen = [this] {
    const kura::test::FileReport r = ReadBack();
    std::vector<std::string> view = r.problems;
    for (const kura::test::IndexReport& index : r.indexes) {
      view.push_back(std::to_string(index.pages) + "/" + std::to_string(index.free_pages));
      view.insert(view.end(), index.problems.begin(), index.problems.end());
      for (const kura::test::ReadKey& k : index.keys)
        view.push_back(std::string(k.key.begin(), k.key.end()) + std::to_string(k.record));
    }
    return view;
  };
  const std::vector<std::string> sound = seen();
  std::mt19937 rng(99);
  int changed = 0;
  for (int round = 0; round < 25; ++round) {
    std::vector<std::uint8_t> bad = good;
    for (int i = 0; i < 12; ++i) {
      const std::size_t at = 4096 + rng() % (bad.size() - 4096);
      bad[at] = static_cast<std::uint8_t>(rng());
    }
    WriteFileBytes(dir_ / "t.IDX", bad);
    const bool damaged = seen() != sound;
    changed += damaged ? 1 : 0;
    TDataTable t(dir_.path(), "t", settings_);
    t.Open(true);
    TIndexFile& x = Index(t);
    // Every outcome is either success or an engine error.
    bool reported = false;
    const std::uint16_t code = CodeOf([&] { reported = !x.CheckTrees(t.Data()).empty(); });
    if (damaged) {
      EXPECT_TRUE(reported || code != 0) << "round " << round;
    }
    (void)CodeOf([&] {
      TIndexTree tree = x.Tree(t.Data(), 1);
      TIndexEntry e;
      for (bool more = tree.First(e); more; more = tree.Next(e)) {
      }
    });
    (void)CodeOf([&] { t.InsertRecord(Row(t, 5000 + round, "new", 1, 1).data()); });
    (void)CodeOf([&] { t.DeleteRecord(1 + static_cast<std::int32_t>(rng() % 1500)); });
    t.Close(/*discard=*/true);
  }
  // Most rounds hit bytes that matter: the check above is not vacuous.
  EXPECT_GE(changed, 10);
}

// Random inserts, updates and deletes through the table, with a model of the
// live rows; 9729 exactly when the primary or the unique name index would
// hold a duplicate. The trees and the file are checked along the way.
class IndexTableModelTest : public IndexFileTest, public ::testing::WithParamInterface<int> {};

TEST_P(IndexTableModelTest, KeysFollowEveryChange) {
  const std::uint16_t locale = GetParam();
  auto t = Make(locale);
  TIndexFile& x = Index(*t);
  TDataFile& d = t->Data();
  x.AddPrimaryIndex(d, Def("", {1}, true, kCompressTrailing));
  TIndexDefinition by_name = Def("ByName", {2}, false, kCompressFull);
  by_name.case_insensitive = true;
  x.AddSecondaryIndex(d, by_name);
  TIndexDefinition by_group = Def("ByGroup", {3, 4}, false, kCompressDuplicate);
  by_group.field_descending = {false, true};
  x.AddSecondaryIndex(d, by_group);
  TIndexDefinition unique_name = Def("UName", {2, 3}, true);
  unique_name.descending = true;
  x.AddSecondaryIndex(d, unique_name);
  for (int slot : {0, 1, 2, 3})
    comparators_.emplace(slot, KeyComparator(x.Layout(d, slot)));
  auto name_key = [&](const std::string& name, int grp) {
    // The unique index compares names as the table's ordering does: case
    // matters, and under a locale only the collation decides equality.
    return std::make_pair(name, grp);
  };

  struct Row_ {
    std::int32_t id;
    std::string name;
    std::int16_t grp;
  };
  std::map<std::int32_t, Row_> rows;  // by record number
  std::mt19937 rng(42 + locale);
  static const char* kNames[] = {"kuro", "Shiro", "ko", "seki", "go", "Atari", "hane", "nobi"};
  auto random_row = [&]() {
    Row_ r{static_cast<std::int32_t>(rng() % 3000) - 1500,
           std::string(kNames[rng() % 8]) + std::to_string(rng() % 40),
           static_cast<std::int16_t>(rng() % 5)};
    return r;
  };
  auto clashes = [&](const Row_& r, std::int32_t except) {
    for (const auto& [n, o] : rows) {
      if (n == except) continue;
      if (o.id == r.id) return true;
      if (name_key(o.name, o.grp) == name_key(r.name, r.grp)) return true;
    }
    return false;
  };
  const int ops = 2500;
  for (int op = 0; op < ops; ++op) {
    const int choice = static_cast<int>(rng() % 10);
    if (choice < 5 || rows.empty()) {
      const Row_ r = random_row();
      const bool dup = clashes(r, 0);
      std::int32_t n = 0;
      const std::uint16_t code =
          CodeOf([&] { n = t->InsertRecord(Row(*t, r.id, r.name, r.grp, r.id * 0.5).data()); });
      ASSERT_EQ(code, dup ? kErrDuplicateKey : 0) << op;
      if (!dup) rows[n] = r;
    } else {
      auto it = rows.begin();
      std::advance(it, static_cast<long>(rng() % rows.size()));
      if (choice < 8) {
        const Row_ r = random_row();
        const bool dup = clashes(r, it->first);
        const std::uint16_t code = CodeOf(
            [&] { t->UpdateRecord(it->first, Row(*t, r.id, r.name, r.grp, r.id * 0.5).data()); });
        ASSERT_EQ(code, dup ? kErrDuplicateKey : 0) << op;
        if (!dup) it->second = r;
      } else {
        t->DeleteRecord(it->first);
        rows.erase(it);
      }
    }
    if (op % 500 == 499) {
      const std::vector<std::string> problems = x.CheckTrees(d);
      ASSERT_TRUE(problems.empty()) << op << ": " << problems.front();
      ASSERT_EQ(x.RecordCount(), static_cast<std::int32_t>(rows.size()));
    }
  }
  // The primary index walks the rows in ID order.
  TIndexTree primary = x.Tree(d, 0);
  TIndexEntry e;
  std::vector<std::int32_t> ids;
  for (bool more = primary.First(e); more; more = primary.Next(e))
    ids.push_back(DecodeKeyInt32(e.key.data() + 1));
  std::vector<std::int32_t> want;
  for (const auto& [n, r] : rows)
    want.push_back(r.id);
  std::sort(want.begin(), want.end());
  EXPECT_EQ(ids, want);
  const std::int32_t slots = d.SlotCount();
  t->Close();

  const kura::test::FileReport report = ReadBack(locale);
  ASSERT_TRUE(report.problems.empty()) << report.problems.front();
  for (int slot : {0, 1, 2, 3}) {
    const auto& index = report.indexes[static_cast<std::size_t>(slot)];
    ASSERT_TRUE(index.problems.empty()) << slot << ": " << index.problems.front();
    EXPECT_EQ(index.keys.size(), rows.size()) << slot;
    std::set<std::int32_t> records;
    for (const auto& k : index.keys)
      records.insert(k.record);
    EXPECT_EQ(records.size(), rows.size()) << slot;
  }
  ASSERT_TRUE(report.indexes[31].problems.empty()) << report.indexes[31].problems.front();
  EXPECT_EQ(report.indexes[31].keys.size(), static_cast<std::size_t>(slots));
  EXPECT_EQ(report.header.record_count, static_cast<std::int32_t>(rows.size()));

  TDataTable again(dir_.path(), "t", settings_);
  again.Open(false);
  again.ReadLock();
  again.Verify();
  again.ReleaseReadLock();
  again.Close();
}

INSTANTIATE_TEST_SUITE_P(Ordering, IndexTableModelTest, ::testing::Values(0, 1053),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return info.param ? std::string("Locale") : std::string("BuiltIn");
                         });

// ---- temporary indexes ----

std::vector<std::string> TemporaryFiles(const std::string& dir) {
  std::vector<std::string> found;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    const std::string name = e.path().filename().string();
    if (name.size() > 4 && name.ends_with(".TMP")) found.push_back(e.path().string());
  }
  return found;
}

// The keys of an index in tree order, with their records.
std::vector<std::pair<std::vector<std::uint8_t>, std::int32_t>> Walk(TIndexTree tree) {
  std::vector<std::pair<std::vector<std::uint8_t>, std::int32_t>> keys;
  TIndexEntry e;
  for (bool more = tree.First(e); more; more = tree.Next(e))
    keys.emplace_back(e.key, e.record);
  return keys;
}

class TemporaryIndexTest : public IndexFileTest {
 protected:
  // The same rows in the same order, whatever the table.
  void Fill(TDataTable& t, int from, int to) {
    for (int i = from; i <= to; ++i) {
      std::string name = "n";
      name += std::to_string((i * 7919) % 1009);
      t.InsertRecord(Row(t, i, name, static_cast<std::int16_t>((i * 31) % 97 - 48), i).data());
    }
  }
  static TIndexDefinition Temporary(std::string name, std::vector<int> fields, bool unique) {
    TIndexDefinition d = Def(std::move(name), std::move(fields), unique);
    d.temporary = true;
    return d;
  }
};

TEST_F(TemporaryIndexTest, BuiltFromTheRecordsKeptThroughChangesAndNeverStored) {
  // Two tables given the same work; only the first has a temporary index.
  TempDir twin_dir;
  auto t = Make();
  auto twin = std::make_unique<TDataTable>(twin_dir.path(), "t", settings_);
  twin->Create(Fields(), TTableOptions{}, TIndexCreateOptions{false});
  for (TDataTable* table : {t.get(), twin.get()}) {
    Index(*table).AddPrimaryIndex(table->Data(), Def("", {1}, true));
    Index(*table).AddSecondaryIndex(table->Data(), Def("ByName", {2}, false, kCompressFull));
    Fill(*table, 1, 1500);
    table->Flush();
  }
  const auto before = ReadFileBytes(dir_ / "t.IDX");
  ASSERT_EQ(before, ReadFileBytes(twin_dir / "t.IDX"));

  TIndexFile& x = Index(*t);
  TDataFile& d = t->Data();
  x.AddSecondaryIndex(d, Temporary("ByGroup", {3, 2}, false));
  const int slot = x.SlotOf("bygroup");
  ASSERT_GT(slot, x.SecondaryCount());
  EXPECT_TRUE(x.IsTemporary(slot));
  EXPECT_EQ(x.SecondaryCount(), 1);
  t->Flush();
  EXPECT_EQ(ReadFileBytes(dir_ / "t.IDX"), before);
  const std::vector<std::string> temp_files = TemporaryFiles(dir_.path());
  ASSERT_EQ(temp_files.size(), 1u);

  // Order: group, then name, then record identifier; every record once.
  auto check_order = [&](std::size_t live) {
    const auto keys = Walk(x.Tree(d, slot));
    ASSERT_EQ(keys.size(), live);
    std::set<std::int32_t> records;
    for (std::size_t i = 0; i < keys.size(); ++i) {
      records.insert(keys[i].second);
      if (i > 0) {
        ASSERT_LT(keys[i - 1].first, keys[i].first) << i;
      }
      std::vector<std::uint8_t> rec(static_cast<std::size_t>(d.RecordSize()));
      {
        TRecordPin pin = d.GetRecord(keys[i].second);
        ASSERT_FALSE(pin->Deleted());
        std::memcpy(rec.data(), pin->Data(), rec.size());
      }
      ASSERT_EQ(x.KeyOf(d, slot, rec.data()), keys[i].first);
    }
    EXPECT_EQ(records.size(), live);
  };
  check_order(1500);

  // A partial key (the group alone) finds the first record of the group.
  const auto probe = Row(*t, 0, "", -5, 0);
  const std::vector<std::uint8_t> key = x.KeyOf(d, slot, probe.data());
  TIndexEntry found;
  ASSERT_TRUE(x.Tree(d, slot).Seek(key.data(), 3, found));
  EXPECT_EQ(std::memcmp(found.key.data(), key.data(), 3), 0);
  TIndexEntry prior = found;
  EXPECT_TRUE(!x.Tree(d, slot).Prior(prior) || std::memcmp(prior.key.data(), key.data(), 3) < 0);

  // The tree is deep enough to have branch pages, written without subtree
  // counts into the temporary file, which the independent reader accepts.
  const auto temp = ReadFileBytes(temp_files[0]);
  ASSERT_EQ(temp.size() % 4096, 0u);
  ASSERT_EQ(static_cast<std::int32_t>(temp.size() / 4096), x.TemporaryNextPage());
  kura::test::IndexShape shape;
  shape.key_size = x.Layout(d, slot).KeySize();
  shape.unique = false;
  shape.with_counts = false;
  shape.root = x.RootPage(slot);
  std::set<std::int32_t> claimed;
  const kura::test::IndexReport report = kura::test::ReadIndex(
      [&](std::int32_t n) { return &temp[static_cast<std::size_t>(n) * 4096]; },
      x.TemporaryNextPage() - 1, shape, nullptr, claimed);
  EXPECT_TRUE(report.problems.empty()) << report.problems.front();
  EXPECT_GE(report.depth, 2);
  EXPECT_EQ(report.keys.size(), 1500u);
  EXPECT_EQ(temp[static_cast<std::size_t>(shape.root) * 4096], kPageRoot);

  // Inserts, updates and deletes keep it; the index file stays as the twin's.
  for (TDataTable* table : {t.get(), twin.get()}) {
    Fill(*table, 1501, 1800);
    for (std::int32_t n = 1; n <= 600; n += 3)
      table->DeleteRecord(n);
    table->Flush();
  }
  check_order(1800 - 200);
  EXPECT_TRUE(x.CheckTrees(d).empty());
  EXPECT_EQ(ReadFileBytes(dir_ / "t.IDX"), ReadFileBytes(twin_dir / "t.IDX"));
  const kura::test::FileReport r = ReadBack();
  EXPECT_TRUE(r.problems.empty()) << r.problems.front();
  EXPECT_EQ(r.header.secondary_count, 1);
  for (const auto& s : r.header.slots)
    EXPECT_TRUE(s.name.empty() || (s.name != "ByGroup" && !s.temporary));

  // Closing drops the index and its file; reopened, nothing is left of it.
  t->Close();
  twin->Close();
  EXPECT_TRUE(TemporaryFiles(dir_.path()).empty());
  EXPECT_EQ(ReadFileBytes(dir_ / "t.IDX"), ReadFileBytes(twin_dir / "t.IDX"));
  TDataTable again(dir_.path(), "t", settings_);
  again.Open(true);
  again.Verify();
  EXPECT_EQ(Index(again).SlotOf("ByGroup"), -1);
  EXPECT_EQ(Index(again).TemporaryCount(), 0);
  EXPECT_TRUE(Index(again).CheckTrees(again.Data()).empty());
  again.Close();
}

TEST_F(TemporaryIndexTest, StoredIndexesKeepTheirSlotsAroundTemporaryOnes) {
  auto t = Make();
  TIndexFile& x = Index(*t);
  TDataFile& d = t->Data();
  x.AddPrimaryIndex(d, Def("", {1}, true));
  Fill(*t, 1, 300);
  x.AddSecondaryIndex(d, Temporary("TA", {2}, false));
  x.AddSecondaryIndex(d, Temporary("TB", {4}, true));
  EXPECT_EQ(CodeOf([&] { x.AddSecondaryIndex(d, Temporary("ta", {3}, false)); }), kErrIndexExists);
  x.DeleteIndex(x.SlotOf("TA"));
  EXPECT_EQ(x.SlotOf("TA"), -1);
  // Stored indexes up to the slot the remaining temporary index holds: it
  // moves out of the way and keeps its keys.
  const int tb = x.SlotOf("TB");
  auto stored_name = [](int i) {
    std::string name = "S";
    name += std::to_string(i);
    return name;
  };
  for (int i = 1; i <= tb; ++i)
    x.AddSecondaryIndex(d, Def(stored_name(i), {3}, false));
  EXPECT_EQ(x.SecondaryCount(), tb);
  EXPECT_EQ(x.SlotOf(stored_name(tb)), tb);
  EXPECT_GT(x.SlotOf("TB"), tb);
  EXPECT_EQ(x.TemporaryCount(), 1);
  EXPECT_EQ(CodeOf([&] { x.AddSecondaryIndex(d, Def("Full", {3}, false)); }), kErrIndexLimits);
  EXPECT_EQ(CodeOf([&] { x.AddSecondaryIndex(d, Temporary("Full", {3}, false)); }),
            kErrIndexLimits);
  const auto keys = Walk(x.Tree(d, x.SlotOf("TB")));
  ASSERT_EQ(keys.size(), 300u);
  for (std::size_t i = 0; i < keys.size(); ++i)
    EXPECT_EQ(keys[i].second, static_cast<std::int32_t>(i + 1));  // VAL is the record number
  t->Flush();
  t->Verify();
  EXPECT_TRUE(x.CheckTrees(d).empty());
  t->Close();
  const kura::test::FileReport r = ReadBack();
  EXPECT_TRUE(r.problems.empty()) << r.problems.front();
  EXPECT_EQ(r.header.secondary_count, tb);
  for (const auto& s : r.header.slots)
    EXPECT_NE(s.name, "TB");
}

TEST_F(TemporaryIndexTest, RefusedOrForeignTemporaryIndexesLeaveNoTrace) {
  auto t = Make();
  TIndexFile& x = Index(*t);
  TDataFile& d = t->Data();
  x.AddPrimaryIndex(d, Def("", {1}, true));
  Fill(*t, 1, 200);
  t->Flush();
  const auto before = ReadFileBytes(dir_ / "t.IDX");
  // GRP repeats: a unique temporary index over it is refused.
  EXPECT_EQ(CodeOf([&] { x.AddSecondaryIndex(d, Temporary("UG", {3}, true)); }), kErrDuplicateKey);
  EXPECT_EQ(x.SlotOf("UG"), -1);
  EXPECT_EQ(x.TemporaryCount(), 0);
  EXPECT_TRUE(x.CheckTrees(d).empty());
  t->Flush();
  EXPECT_EQ(ReadFileBytes(dir_ / "t.IDX"), before);
  t->Close();
  EXPECT_TRUE(TemporaryFiles(dir_.path()).empty());

  // A stored descriptor marked temporary is a damaged header.
  for (std::size_t flag : {index_descriptor::kTemporary, index_descriptor::kTemporaryPages}) {
    auto bytes = before;
    bytes[IndexDescriptorOffset(0) + flag] = 1;
    WriteFileBytes(dir_ / "t.IDX", bytes);
    TDataTable damaged(dir_.path(), "t", settings_);
    EXPECT_EQ(CodeOf([&] { damaged.Open(true); }), kErrHeaderCorrupt);
  }
}

TEST_F(TemporaryIndexTest, SurvivesAHeaderChangedByAnotherHandle) {
  auto t = Make();
  TIndexFile& x = Index(*t);
  TDataFile& d = t->Data();
  x.AddPrimaryIndex(d, Def("", {1}, true));
  Fill(*t, 1, 100);
  x.AddSecondaryIndex(d, Temporary("ByName", {2}, false));
  const int slot = x.SlotOf("ByName");
  t->Flush();
  // Changes to the temporary index not yet written to its file.
  for (std::int32_t n = 1; n <= 40; ++n)
    x.DeleteKeys(d, d.GetRecord(n)->Data(), n);
  // Another handle wrote the header: the stored part is read again, the
  // temporary index and its unwritten pages stay.
  auto bytes = ReadFileBytes(dir_ / "t.IDX");
  EncodeFixed32(&bytes[0], DecodeFixed32(&bytes[0]) + 1);
  WriteFileBytes(dir_ / "t.IDX", bytes);
  x.DropPages();
  ASSERT_TRUE(x.ReReadHeaderIfChanged());
  ASSERT_EQ(x.SlotOf("byname"), slot);
  const auto keys = Walk(x.Tree(d, slot));
  EXPECT_EQ(keys.size(), 60u);
  for (const auto& [key, record] : keys)
    EXPECT_GT(record, 40);
  // A flush writes those pages to the temporary file.
  t->Flush();
  const std::vector<std::string> temp_files = TemporaryFiles(dir_.path());
  ASSERT_EQ(temp_files.size(), 1u);
  const auto temp = ReadFileBytes(temp_files[0]);
  ASSERT_EQ(temp.size(), static_cast<std::size_t>(x.TemporaryNextPage()) * 4096);
  kura::test::IndexShape shape;
  shape.key_size = x.Layout(d, slot).KeySize();
  shape.unique = false;
  shape.with_counts = false;
  shape.root = x.RootPage(slot);
  std::set<std::int32_t> claimed;
  const kura::test::IndexReport report = kura::test::ReadIndex(
      [&](std::int32_t n) { return &temp[static_cast<std::size_t>(n) * 4096]; },
      x.TemporaryNextPage() - 1, shape, nullptr, claimed);
  EXPECT_TRUE(report.problems.empty());
  EXPECT_EQ(report.keys.size(), 60u);
  t->Close(true);
  EXPECT_TRUE(TemporaryFiles(dir_.path()).empty());
}

}  // namespace
}  // namespace kura
