#include <gtest/gtest.h>

#include <map>
#include <set>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "db/storage/coding.h"
#include "db/storage/engine_error.h"
#include "db/storage/index/index_tree.h"
#include "db/storage/index/key_codec.h"
#include "db/storage/index/key_collation.h"
#include "tests/storage/index/index_format_reader.h"
#include "tests/storage/index/memory_page_store.h"
#include "tests/storage/storage_test_support.h"

namespace kura {
namespace {

using Bytes = std::vector<std::uint8_t>;
using kura::test::MemoryPageStore;
using kura::test::CodeOf;

Bytes IntKey(std::int32_t v) {
  Bytes k(5);
  k[0] = 1;
  EncodeKeyInt32(k.data() + 1, v);
  return k;
}

// A fixed-width key of `size` bytes holding v in its first 4 bytes.
Bytes WideKey(int size, std::int32_t v) {
  Bytes k(static_cast<size_t>(size), 0);
  EncodeKeyInt32(k.data(), v);
  return k;
}

// The independent reader's view of the store's images, after writing back.
kura::test::IndexReport ReadBack(MemoryPageStore& store, int slot, const PageFormat& f,
                                const kura::test::KeyOrder& order = nullptr) {
  store.DropAll();
  std::set<std::int32_t> claimed;
  kura::test::IndexShape shape{f.key_size,           f.unique,
                              f.compression,        f.with_counts,
                              store.RootPage(slot), store.FreeHead(slot)};
  return kura::test::ReadIndex([&store](std::int32_t n) { return store.Image(n); },
                              store.PageCount(), shape, order, claimed);
}

TEST(IndexTree, FirstKeyMakesARootLeafAndTheLastDeleteFreesIt) {
  MemoryPageStore store;
  const PageFormat f{5, true, kCompressNone, true};
  store.SetFormat(0, f);
  TIndexTree tree(store, 0, f, KeyComparator());
  tree.Insert(IntKey(1).data(), 1);
  EXPECT_EQ(store.RootPage(0), 1);
  store.DropAll();
  EXPECT_EQ(store.Image(1)[0], kPageRootLeaf);
  EXPECT_TRUE(tree.Delete(IntKey(1).data(), 1));
  EXPECT_EQ(store.RootPage(0), 0);
  EXPECT_EQ(store.FreeHead(0), 1);
  EXPECT_FALSE(tree.Delete(IntKey(1).data(), 1));
  // The freed page is reused by the next allocation.
  tree.Insert(IntKey(2).data(), 2);
  EXPECT_EQ(store.RootPage(0), 1);
  EXPECT_EQ(store.PageCount(), 1);
}

TEST(IndexTree, LeafOf170EntriesSplits86And85) {
  MemoryPageStore store;
  const PageFormat f{20, true, kCompressNone, true};
  store.SetFormat(0, f);
  TIndexTree tree(store, 0, f, KeyComparator());
  for (int i = 1; i <= 170; ++i)
    tree.Insert(WideKey(20, i).data(), i);
  EXPECT_EQ(store.PageCount(), 1);
  tree.Insert(WideKey(20, 171).data(), 171);
  ASSERT_EQ(store.PageCount(), 3);
  store.DropAll();
  const std::uint8_t* root = store.Image(store.RootPage(0));
  EXPECT_EQ(root[0], kPageRoot);
  EXPECT_EQ(DecodeFixed16(root + 1), 2);
  EXPECT_EQ(DecodeFixed16(store.Image(1) + 1), 86);
  EXPECT_EQ(DecodeFixed16(store.Image(2) + 1), 85);
  EXPECT_EQ(store.Image(1)[0], kPageLeaf);
  EXPECT_EQ(DecodeFixed32(root + 13 + 24), 86u);     // subtree count of the first child
  EXPECT_EQ(DecodeFixed32(store.Image(1) + 7), 2u);  // level links
  EXPECT_EQ(DecodeFixed32(store.Image(2) + 3), 1u);
  EXPECT_TRUE(tree.Verify().empty());
}

TEST(IndexTree, EmptiedCompressedLeavesAreUnlinkedAndFreed) {
  MemoryPageStore store;
  const PageFormat f{20, true, kCompressDuplicate, true};
  store.SetFormat(0, f);
  TIndexTree tree(store, 0, f, KeyComparator());
  for (int i = 0; i < 4000; ++i)
    tree.Insert(WideKey(20, i).data(), i + 1);
  const auto before = ReadBack(store, 0, f);
  ASSERT_TRUE(before.problems.empty());
  // Empty a run of leaves in the middle: compressed leaves are never merged,
  // only dropped from their level when nothing is left in them.
  for (int i = 1000; i < 3000; ++i)
    ASSERT_TRUE(tree.Delete(WideKey(20, i).data(), i + 1));
  const auto after = ReadBack(store, 0, f);
  ASSERT_TRUE(after.problems.empty()) << after.problems.front();
  EXPECT_EQ(after.keys.size(), 2000u);
  EXPECT_GT(after.free_pages, before.free_pages);
  EXPECT_EQ(after.pages + after.free_pages, store.PageCount());
  EXPECT_TRUE(tree.Verify().empty());
  TIndexEntry e;
  ASSERT_TRUE(tree.Seek(WideKey(20, 999).data(), 20, e));
  ASSERT_TRUE(tree.Next(e));
  EXPECT_EQ(DecodeKeyInt32(e.key.data()), 3000);
  EXPECT_EQ(e.ordinal, 1000);
}

TEST(IndexTree, DuplicateKeyIsRefusedAndChangesNothing) {
  MemoryPageStore store;
  const PageFormat f{5, true, kCompressFull, true};
  store.SetFormat(0, f);
  TIndexTree tree(store, 0, f, KeyComparator());
  for (int i = 0; i < 500; ++i)
    tree.Insert(IntKey(i * 2).data(), i + 1);
  store.DropAll();
  std::vector<Bytes> before;
  for (int n = 1; n <= store.PageCount(); ++n)
    before.emplace_back(store.Image(n), store.Image(n) + 4096);
  EXPECT_EQ(CodeOf([&] { tree.Insert(IntKey(400).data(), 999); }), kErrDuplicateKey);
  store.DropAll();
  for (int n = 1; n <= store.PageCount(); ++n) {
    EXPECT_EQ(Bytes(store.Image(n), store.Image(n) + 4096), before[static_cast<size_t>(n - 1)]);
  }
}

TEST(IndexTree, SeekFindsPartialKeysAndLogicalPositions) {
  MemoryPageStore store;
  // Two int32 segments: (group, member), 10 bytes, uncompressed and small
  // enough to span several levels.
  const PageFormat f{10, true, kCompressNone, true};
  store.SetFormat(0, f);
  TIndexTree tree(store, 0, f, KeyComparator());
  auto key = [](int group, int member) {
    Bytes k(10);
    k[0] = 1;
    EncodeKeyInt32(k.data() + 1, group);
    k[5] = 1;
    EncodeKeyInt32(k.data() + 6, member);
    return k;
  };
  for (int g = 0; g < 100; ++g) {
    for (int m = 0; m < 50; ++m)
      tree.Insert(key(g, m).data(), g * 50 + m + 1);
  }
  TIndexEntry e;
  ASSERT_TRUE(tree.Seek(key(37, 0).data(), 5, e));  // group 37, any member
  EXPECT_EQ(e.record, 37 * 50 + 1);
  EXPECT_EQ(e.ordinal, 37 * 50);
  int members = 0;
  do {
    if (std::memcmp(e.key.data(), key(37, 0).data(), 5) != 0) break;
    EXPECT_EQ(e.ordinal, 37 * 50 + members);
    ++members;
  } while (tree.Next(e));
  EXPECT_EQ(members, 50);
  ASSERT_TRUE(tree.AtOrdinal(4321, e));
  EXPECT_EQ(e.record, 4322);
  ASSERT_TRUE(tree.Prior(e));
  EXPECT_EQ(e.record, 4321);
  EXPECT_FALSE(tree.Seek(key(100, 0).data(), 5, e));
  EXPECT_EQ(tree.Count(), 5000);
  EXPECT_TRUE(tree.Contains(key(99, 49).data()));
  EXPECT_FALSE(tree.Contains(key(99, 50).data()));
}

TEST(IndexTree, CorruptLinksRaiseInsteadOfLooping) {
  MemoryPageStore store;
  const PageFormat f{5, true, kCompressNone, true};
  store.SetFormat(0, f);
  TIndexTree tree(store, 0, f, KeyComparator());
  for (int i = 0; i < 3000; ++i)
    tree.Insert(IntKey(i).data(), i + 1);
  store.DropAll();
  const std::int32_t root = store.RootPage(0);
  // The root's first child points back at the root: a cycle.
  EncodeFixed32(store.MutableImage(root).data() + 13 + 5, static_cast<std::uint32_t>(root));
  EXPECT_EQ(CodeOf([&] { tree.Insert(IntKey(-5).data(), 1); }), kErrPageBuffersCorrupt);
  EXPECT_FALSE(tree.Verify().empty());
  // A child link to page 0 and one beyond the file.
  EncodeFixed32(store.MutableImage(root).data() + 13 + 5, 0);
  TIndexEntry e;
  EXPECT_EQ(CodeOf([&] { tree.Seek(IntKey(-5).data(), 5, e); }), kErrPageBuffersCorrupt);
  EncodeFixed32(store.MutableImage(root).data() + 13 + 5, 99999);
  EXPECT_EQ(CodeOf([&] { tree.Seek(IntKey(-5).data(), 5, e); }), kErrPageBuffersCorrupt);
  EXPECT_EQ(store.pinned(), 0);
}

// ---------------------------------------------------------------------------
// Randomized model test: random inserts, updates and deletes of records,
// keyed through BuildKey, checked against a sorted in-memory model after
// every batch (content, order, logical positions, tree invariants, and the
// independent reader over the written page images).

struct ModelCase {
  const char* name;
  std::uint8_t compression;
  bool unique;
  // 0 int32, 1 string nocase, 2 string + int16 + float (desc string), 3 locale
  // string, 4 string(2) + string(250) + int16, mostly NULL or sharing stems
  int kind;
  bool descending;
};

class IndexModelTest : public ::testing::TestWithParam<ModelCase> {};

// Field layout of the generated records: an int32 at 9 (5 bytes), a
// string(12) at 14 (14 bytes), an int16 at 28 (3 bytes), a float at 31 (9).
KeyLayout LayoutFor(const ModelCase& c) {
  KeyLayout layout;
  layout.unique = c.unique;
  layout.descending = c.descending;
  switch (c.kind) {
    case 0:
      layout.fields.push_back({kFieldInteger, 0, 4, 9, false});
      break;
    case 1:
      layout.fields.push_back({kFieldString, 0, 13, 14, false});
      layout.case_insensitive = true;
      break;
    case 2:
      layout.fields.push_back({kFieldString, 0, 13, 14, true});
      layout.fields.push_back({kFieldSmallInt, 0, 2, 28, false});
      layout.fields.push_back({kFieldFloat, 0, 8, 31, false});
      break;
    case 4:
      layout.fields.push_back({kFieldString, 0, 3, 9, false});
      layout.fields.push_back({kFieldString, 0, 251, 13, false});
      layout.fields.push_back({kFieldSmallInt, 0, 2, 265, false});
      break;
    default:
      layout.fields.push_back({kFieldString, 0, 13, 14, false});
      layout.fields.push_back({kFieldInteger, 0, 4, 9, true});
      layout.locale = 1033;
      layout.case_insensitive = true;
      break;
  }
  return layout;
}

Bytes RandomRecord(std::mt19937& rng, std::int32_t id, int value_range) {
  Bytes r(40, 0);
  EncodeFixed32(r.data() + 5, static_cast<std::uint32_t>(id));
  std::uniform_int_distribution<int> value(-value_range, value_range);
  if (rng() % 20) {
    r[9] = 1;
    EncodeFixed32(r.data() + 10, static_cast<std::uint32_t>(value(rng)));
  }
  if (rng() % 20) {
    static const char* kSyllables[] = {"ka", "Ki", "ku", "KE", "ko", "go", "ban", "-", "s", "Ta"};
    std::string s;
    const int parts = 1 + static_cast<int>(rng() % 4);
    for (int i = 0; i < parts; ++i)
      s += kSyllables[rng() % 10];
    r[14] = 1;
    std::memcpy(r.data() + 15, s.data(), std::min<size_t>(s.size(), 12));
  }
  r[28] = 1;
  EncodeFixed16(r.data() + 29, static_cast<std::uint16_t>(value(rng) % 3));
  r[31] = 1;
  EncodeDouble(r.data() + 32, (value(rng) % 5) * 0.5);
  return r;
}

// Records of kind 4 (268 bytes): k1 string(2) at 9, k2 string(250) at 13,
// k3 int16 at 265. NULLs and long shared stems make entry sizes swing between
// a few bytes (shared prefix, zero run) and the whole key, so removing one
// entry can grow its page.
Bytes LongKeyRecord(std::mt19937& rng, std::int32_t id) {
  Bytes r(268, 0);
  EncodeFixed32(r.data() + 5, static_cast<std::uint32_t>(id));
  if (rng() % 4) {
    r[9] = 1;
    r[10] = static_cast<std::uint8_t>('a' + rng() % 3);
  }
  if (rng() % 3) {
    r[13] = 1;
    const int length = rng() % 2 ? 250 : 1 + static_cast<int>(rng() % 250);
    const char stem = static_cast<char>('A' + rng() % 3);
    for (int i = 0; i < length; ++i)
      r[static_cast<size_t>(14 + i)] = static_cast<std::uint8_t>(stem);
    r[static_cast<size_t>(14 + length - 1)] = static_cast<std::uint8_t>('a' + rng() % 26);
  }
  if (rng() % 3) {
    r[265] = 1;
    EncodeFixed16(r.data() + 266, static_cast<std::uint16_t>(rng() % 50));
  }
  return r;
}

TEST_P(IndexModelTest, RandomOperationsMatchTheModel) {
  const ModelCase c = GetParam();
  const KeyLayout layout = LayoutFor(c);
  const int k = layout.KeySize();
  const PageFormat f{k, layout.unique, c.compression, true};
  const KeyComparator cmp(layout);
  const KeyCaseMapper mapper(layout.locale);
  MemoryPageStore store(/*evict_on_release=*/c.kind == 0);
  store.SetFormat(3, f);
  TIndexTree tree(store, 3, f, cmp);

  const bool long_run = std::getenv("KIROBAKU_LONG_TESTS") != nullptr;
  const int batches = long_run ? 400 : 16;
  const int batch_size = 1000;
  std::mt19937 rng(20261208u + c.compression * 7 + c.kind * 131 + c.unique);

  struct Row {
    Bytes record;
    Bytes key;
  };
  std::map<std::int32_t, Row> rows;  // by record number
  std::int32_t next_id = 1;
  auto less = [&](const Bytes& a, const Bytes& b) {
    return cmp.Compare(a.data(), b.data(), k) < 0;
  };
  std::vector<std::pair<Bytes, std::int32_t>> model;  // rebuilt per batch
  auto rebuild = [&] {
    model.clear();
    for (const auto& [n, row] : rows)
      model.emplace_back(row.key, n);
    std::sort(model.begin(), model.end(), [&](auto& a, auto& b) { return less(a.first, b.first); });
  };
  // Duplicate check against the sorted model; entries of rows deleted or
  // changed since the last rebuild are stale and skipped.
  auto find_dup = [&](const Bytes& key, std::int32_t except) {
    auto it = std::lower_bound(model.begin(), model.end(), key,
                               [&](auto& e, const Bytes& v) { return less(e.first, v); });
    for (; it != model.end() && cmp.Compare(it->first.data(), key.data(), k) == 0; ++it) {
      if (it->second != except && rows.count(it->second) && rows[it->second].key == it->first)
        return true;
    }
    return false;
  };

  const int value_range = c.unique ? 40000 : 200;
  auto new_record = [&](std::int32_t id) {
    return c.kind == 4 ? LongKeyRecord(rng, id) : RandomRecord(rng, id, value_range);
  };
  // Long keys stay few, so the tree keeps falling back to a lone root leaf.
  const std::size_t row_limit = c.kind == 4 ? 48 : SIZE_MAX;
  for (int batch = 0; batch < batches; ++batch) {
    rebuild();
    // Inserts dominate early, deletes late, so trees grow and shrink.
    const int insert_weight = batch < batches / 2 ? 6 : 2;
    for (int op = 0; op < batch_size; ++op) {
      const int choice = static_cast<int>(rng() % 10);
      if ((choice < insert_weight || rows.empty()) && rows.size() < row_limit) {
        const std::int32_t n = next_id++;
        Bytes record = new_record(n);
        Bytes key = BuildKey(layout, record, &mapper);
        const bool dup = find_dup(key, 0);
        const std::uint16_t code = CodeOf([&] { tree.Insert(key.data(), n); });
        ASSERT_EQ(code, dup ? kErrDuplicateKey : 0) << "insert " << n;
        if (!dup) {
          rows[n] = {record, key};
          // Keep the duplicate index current for this batch.
          auto at = std::lower_bound(model.begin(), model.end(), key,
                                     [&](auto& e, const Bytes& v) { return less(e.first, v); });
          model.insert(at, {key, n});
        }
      } else {
        auto it = rows.begin();
        std::advance(it, static_cast<long>(rng() % rows.size()));
        const std::int32_t n = it->first;
        ASSERT_TRUE(tree.Delete(it->second.key.data(), n)) << "delete " << n;
        if (choice < 8) {
          // An update: the record keeps its number and identifier.
          Bytes record =
              new_record(static_cast<std::int32_t>(DecodeFixed32(it->second.record.data() + 5)));
          Bytes key = BuildKey(layout, record, &mapper);
          if (find_dup(key, n)) {
            tree.Insert(it->second.key.data(), n);  // put the old key back
          } else {
            tree.Insert(key.data(), n);
            it->second = {record, key};
            auto at = std::lower_bound(model.begin(), model.end(), key,
                                       [&](auto& e, const Bytes& v) { return less(e.first, v); });
            model.insert(at, {key, n});
          }
        } else {
          rows.erase(it);
        }
      }
      ASSERT_EQ(store.pinned(), 0);
      ASSERT_EQ(store.oversized(), 0) << "batch " << batch << " op " << op;
    }
    rebuild();
    // Content and order.
    std::vector<std::pair<Bytes, std::int32_t>> seen;
    tree.ForEach([&](const std::uint8_t* key, std::int32_t rec) {
      seen.emplace_back(Bytes(key, key + k), rec);
    });
    ASSERT_EQ(seen.size(), model.size()) << "batch " << batch;
    for (size_t i = 0; i < seen.size(); ++i) {
      ASSERT_EQ(seen[i].second, model[i].second) << "batch " << batch << " entry " << i;
      ASSERT_EQ(seen[i].first, model[i].first);
    }
    ASSERT_EQ(tree.Count(), static_cast<std::int64_t>(model.size()));
    // Logical positions of a few keys, by search and by ordinal.
    for (int probe = 0; probe < 20 && !model.empty(); ++probe) {
      const size_t i = rng() % model.size();
      TIndexEntry e;
      ASSERT_TRUE(tree.Seek(model[i].first.data(), k, e));
      ASSERT_EQ(e.ordinal, static_cast<std::int64_t>(i));
      ASSERT_TRUE(tree.AtOrdinal(static_cast<std::int64_t>(i), e));
      ASSERT_EQ(e.record, model[i].second);
      // The first key past a prefix of this one (of any length).
      const int length = static_cast<int>(rng() % static_cast<unsigned>(k + 1));
      const Bytes& prefix = model[i].first;
      const auto past = std::partition_point(model.begin(), model.end(), [&](const auto& m) {
        return cmp.Compare(m.first.data(), prefix.data(), length) <= 0;
      });
      const bool found = tree.SeekAfter(prefix.data(), length, e);
      ASSERT_EQ(found, past != model.end()) << "length " << length;
      if (found) {
        ASSERT_EQ(e.ordinal, past - model.begin()) << "length " << length;
        ASSERT_EQ(e.record, past->second);
      }
    }
    const std::vector<std::string> problems = tree.Verify();
    ASSERT_TRUE(problems.empty()) << "batch " << batch << ": " << problems.front();
    if (batch % 4 == 3 || batch == batches - 1) {
      const kura::test::IndexReport report =
          ReadBack(store, 3, f, [&cmp](const std::uint8_t* a, const std::uint8_t* b, int n) {
            return cmp.Compare(a, b, n);
          });
      ASSERT_TRUE(report.problems.empty()) << "batch " << batch << ": " << report.problems.front();
      ASSERT_EQ(report.keys.size(), model.size());
      ASSERT_EQ(report.pages + report.free_pages, store.PageCount());
    }
  }
  // Empty the index: every page ends in the free chain.
  rebuild();
  for (const auto& [key, n] : model)
    ASSERT_TRUE(tree.Delete(key.data(), n));
  EXPECT_EQ(store.RootPage(3), 0);
  EXPECT_EQ(store.oversized(), 0);
  const kura::test::IndexReport report = ReadBack(store, 3, f);
  EXPECT_TRUE(report.problems.empty());
  EXPECT_EQ(report.free_pages, store.PageCount());
}

INSTANTIATE_TEST_SUITE_P(
    Configurations, IndexModelTest,
    ::testing::Values(ModelCase{"Int32Plain", kCompressNone, true, 0, false},
                      ModelCase{"Int32NonUniqueFull", kCompressFull, false, 0, false},
                      ModelCase{"NoCaseDuplicateBytes", kCompressDuplicate, false, 1, false},
                      ModelCase{"NoCaseTrailingUnique", kCompressTrailing, true, 1, false},
                      ModelCase{"MultiFieldDescendingPlain", kCompressNone, false, 2, false},
                      ModelCase{"MultiFieldFullDescendingIndex", kCompressFull, true, 2, true},
                      ModelCase{"LocaleStringsFull", kCompressFull, false, 3, false},
                      ModelCase{"LocaleDescendingPlain", kCompressNone, true, 3, true},
                      ModelCase{"LongNullableKeysFull", kCompressFull, true, 4, false},
                      ModelCase{"LongNullableKeysFullNonUnique", kCompressFull, false, 4, false},
                      ModelCase{"LongNullableKeysDuplicateBytes", kCompressDuplicate, true, 4,
                                false}),
    [](const ::testing::TestParamInfo<ModelCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kura
