// The table cursor: a randomized run held against a model of the table,
// two cursors of one process and cursors of two processes on one table, and
// the edge cases of edits (validation, uniqueness, locks, stale copies).
#include "db/engine/cursor/data_cursor.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <thread>

#include "db/storage/engine_error.h"
#include "db/storage/index/index_file.h"
#include "tests/storage/storage_test_support.h"

namespace kura {
namespace {

using test::TempDir;
using test::CodeOf;

TFieldDefinition Field(std::string name, std::uint8_t type, int length = 0) {
  TFieldDefinition f;
  f.name = std::move(name);
  f.type = type;
  f.length = length;
  return f;
}

// Table "t": ID integer (primary key), NB integer (index "NBX"), S string
// of 10, V integer between 0 and 1000.
void CreateTable(const std::string& dir, bool required_v = false) {
  TDataTable t(dir, "t", TStorageSettings{});
  TFieldDefinition v = Field("V", kFieldInteger);
  v.minimum = "0";
  v.maximum = "1000";
  v.required = required_v;
  t.Create(
      {Field("ID", kFieldInteger), Field("NB", kFieldInteger), Field("S", kFieldString, 10), v},
      TTableOptions{}, TIndexCreateOptions{false});
  auto& x = dynamic_cast<TIndexFile&>(t.Index());
  TIndexDefinition primary;
  primary.fields = {1};
  primary.unique = true;
  x.AddPrimaryIndex(t.Data(), primary);
  TIndexDefinition nb;
  nb.name = "NBX";
  nb.fields = {2};
  x.AddSecondaryIndex(t.Data(), nb);
  t.Flush();
  t.Close();
}

struct Row {
  std::int32_t id = 0, nb = 0, v = 0;
};

std::int32_t Int(const TDataCursor& c, const std::uint8_t* rec, int field) {
  std::uint8_t b[4];
  if (c.GetField(field, rec, b)) return -1;
  return static_cast<std::int32_t>(DecodeFixed32(b));
}

void PutInt(TDataCursor& c, std::uint8_t* rec, int field, std::int32_t v) {
  std::uint8_t b[4];
  EncodeFixed32(b, static_cast<std::uint32_t>(v));
  c.SetField(field, rec, std::span<const std::uint8_t>(b, 4));
}

std::vector<std::uint8_t> Record(TDataCursor& c, const Row& r) {
  std::vector<std::uint8_t> rec(static_cast<std::size_t>(c.RecordSize()));
  c.InitRecord(rec.data());
  PutInt(c, rec.data(), 1, r.id);
  PutInt(c, rec.data(), 2, r.nb);
  PutInt(c, rec.data(), 4, r.v);
  return rec;
}

// The NB key prefix of a value (range bounds on "NBX").
std::vector<std::uint8_t> NbPrefix(TDataCursor& c, std::int32_t nb) {
  std::vector<std::uint8_t> key = c.KeyOf(Record(c, {0, nb, 0}).data());
  key.resize(5);  // has-value byte and four value bytes
  return key;
}

TEST(DataCursor, RandomOperationsMatchModel) {
  TempDir dir;
  CreateTable(dir.path());
  TDataTable ta(dir.path(), "t", TStorageSettings{}), tb(dir.path(), "t", TStorageSettings{});
  ta.Open(false);
  tb.Open(false);
  TDataCursor a(ta), b(tb);
  a.Open();
  b.Open(true);
  std::mt19937 rng(20261209);
  auto rnd = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  std::map<std::int32_t, Row> model;  // physical record -> row
  // Insertion order of each live record: equal keys of a non-unique index
  // follow the records' identifiers, given out in insertion order.
  std::map<std::int32_t, int> inserted;
  int insertions = 0;
  std::int32_t next_id = 1;
  int order = 0;  // 0 primary, 1 NBX, 255 natural
  bool ranged = false;
  int lo = 0, hi = 0;
  TDataCursor::TFilter* v_filter = nullptr;
  int v_min = 0;
  TDataCursor::TFilter* even_filter = nullptr;
  // An equality on NBX's field: in NBX order without a range it also bounds
  // the cursor's walks to that key.
  TDataCursor::TFilter* nb_filter = nullptr;
  int nb_equal = 0;

  auto visible = [&](const Row& r) {
    if (ranged && (r.nb < lo || r.nb > hi)) return false;
    if (v_filter && r.v <= v_min) return false;
    if (nb_filter && r.nb != nb_equal) return false;
    if (even_filter && r.nb % 2 != 0) return false;
    return true;
  };
  auto expected = [&] {
    std::vector<std::pair<std::int32_t, Row>> rows;
    for (const auto& [n, r] : model)
      if (visible(r)) rows.emplace_back(n, r);
    std::stable_sort(rows.begin(), rows.end(), [&](const auto& x, const auto& y) {
      if (order == 0) return x.second.id < y.second.id;
      if (order == 1) {
        if (x.second.nb != y.second.nb) return x.second.nb < y.second.nb;
        return inserted.at(x.first) < inserted.at(y.first);
      }
      return x.first < y.first;
    });
    return rows;
  };
  // Walks the cursor to its k-th visible record (1-based).
  std::vector<std::uint8_t> buf(static_cast<std::size_t>(a.RecordSize()));
  auto go_to = [&](TDataCursor& c, int k) {
    c.First();
    for (int i = 0; i < k; ++i)
      ASSERT_EQ(c.Next(buf.data()), 0);
  };
  auto random_row = [&] { return Row{next_id++, rnd(10), rnd(100)}; };

  for (int step = 0; step < 700; ++step) {
    const int op = rnd(10);
    const auto exp = expected();
    if (op == 0 || op == 1) {
      TDataCursor& c = op == 0 ? a : b;
      Row r = random_row();
      if (!model.empty() && rnd(10) == 0) {
        r.id = model.begin()->second.id;
        const std::int32_t before = ta.Index().RecordCount();
        EXPECT_EQ(CodeOf([&] { c.Insert(Record(c, r).data()); }), kErrDuplicateKey);
        EXPECT_EQ(ta.Index().RecordCount(), before);
        continue;
      }
      c.Insert(Record(c, r).data());
      if (visible(r)) {
        ASSERT_NE(c.PhysicalRecord(), 0) << "insert must leave the cursor on a visible record";
      }
      // Find the new record's number through an unfiltered natural walk.
      std::int32_t n = 0;
      {
        TDataCursor probe(tb);
        probe.Open(true);
        probe.Last();
        std::int32_t found = 0;
        for (probe.Last(); probe.Prior(buf.data()) == 0;)
          if (Int(probe, buf.data(), 1) == r.id) {
            found = probe.PhysicalRecord();
            break;
          }
        n = found;
      }
      ASSERT_NE(n, 0);
      model[n] = r;
      inserted[n] = ++insertions;
      if (op == 0 && visible(r)) {
        EXPECT_EQ(a.PhysicalRecord(), n);
      }
    } else if ((op == 2 || op == 3) && !exp.empty()) {
      const int k = rnd(static_cast<int>(exp.size())) + 1;
      go_to(a, k);
      ASSERT_EQ(a.PhysicalRecord(), exp[k - 1].first);
      if (op == 2) {
        Row r = exp[k - 1].second;
        r.nb = rnd(10);
        r.v = rnd(100);
        ASSERT_EQ(a.Current(buf.data(), rnd(2) == 0), 0);
        a.Modify(Record(a, r).data());
        model[exp[k - 1].first] = r;
      } else {
        a.Delete();
        model.erase(exp[k - 1].first);
      }
    } else if ((op == 4 || op == 8) && !model.empty()) {
      const int k = rnd(static_cast<int>(model.size())) + 1;
      go_to(b, k);
      const std::int32_t n = b.PhysicalRecord();
      ASSERT_TRUE(model.count(n));
      if (op == 4) {
        b.Delete();
        model.erase(n);
      } else {
        Row r = model[n];
        r.nb = rnd(10);
        r.v = rnd(100);
        b.Modify(Record(b, r).data());
        model[n] = r;
      }
    } else if (op == 5) {
      const int choice = rnd(3);
      order = choice == 2 ? 255 : choice;
      a.SetActiveIndex(order);
      ranged = false;
    } else if (op == 6 && order == 1) {
      if (ranged && rnd(2) == 0) {
        a.CancelRange();
        ranged = false;
      } else {
        lo = rnd(10);
        hi = lo + rnd(4);
        a.SetRange(NbPrefix(a, lo), NbPrefix(a, hi));
        ranged = true;
      }
    } else if (op == 7) {
      // Removes filter f, or adds it as `text` and a random value below `range`.
      auto toggle = [&](TDataCursor::TFilter*& f, int& value, const std::string& text, int range) {
        if (f) {
          a.RemoveFilter(f);
          f = nullptr;
          return;
        }
        value = rnd(range);
        f = a.AddFilter(text + std::to_string(value));
      };
      const int which = rnd(3);
      if (which == 2) {
        toggle(nb_filter, nb_equal, "NB = ", 10);
      } else if (which == 0) {
        toggle(v_filter, v_min, "V > ", 100);
      } else if (even_filter) {
        a.RemoveFilter(even_filter);
        even_filter = nullptr;
      } else {
        even_filter =
            a.AddFilter([&a](const std::uint8_t* rec) { return Int(a, rec, 2) % 2 == 0; });
      }
    }

    // The whole visible sequence, both ways, with counts and numbers.
    const auto want = expected();
    ASSERT_EQ(a.RecordCount(), static_cast<std::int32_t>(want.size())) << "step " << step;
    a.First();
    std::size_t i = 0;
    for (; a.Next(buf.data()) == 0; ++i) {
      ASSERT_LT(i, want.size()) << "step " << step;
      const Row& r = want[i].second;
      ASSERT_EQ(Int(a, buf.data(), 1), r.id) << "step " << step;
      ASSERT_EQ(Int(a, buf.data(), 2), r.nb);
      ASSERT_EQ(Int(a, buf.data(), 4), r.v);
      if (order != 1) {
        ASSERT_EQ(a.PhysicalRecord(), want[i].first);
      }
      if (i % 7 == 0) {
        ASSERT_EQ(a.RecordNumber(), static_cast<std::int32_t>(i + 1));
      }
    }
    ASSERT_EQ(i, want.size()) << "step " << step;
    ASSERT_TRUE(a.Eof());
    for (std::size_t j = want.size(); j > 0; --j) {
      ASSERT_EQ(a.Prior(buf.data()), 0);
      ASSERT_EQ(Int(a, buf.data(), 1), want[j - 1].second.id);
    }
    ASSERT_EQ(a.Prior(buf.data()), kErrBeginningOfTable);
    // Straight to a record by its number, and past the last one.
    const auto k = static_cast<std::int32_t>(rnd(static_cast<int>(want.size()) + 2));
    const int code = a.MoveTo(k, buf.data());
    if (k >= 1 && static_cast<std::size_t>(k) <= want.size()) {
      ASSERT_EQ(code, 0) << "step " << step;
      ASSERT_EQ(Int(a, buf.data(), 1), want[static_cast<std::size_t>(k) - 1].second.id);
      ASSERT_EQ(a.RecordNumber(), k);
    } else if (k >= 1) {
      ASSERT_EQ(code, kErrEndOfTable);
      ASSERT_TRUE(a.Eof());
    }
  }
}

// A filter that lets few records through in an index order: the cursor
// moves by the sorted visible keys; both directions, a range, a record
// posted into and out of the visible set, and a change by another cursor.
TEST(DataCursor, SparseFilterInIndexOrderWalksLikeTheModel) {
  TempDir dir;
  CreateTable(dir.path());
  TDataTable t(dir.path(), "t", TStorageSettings{});
  t.Open(false);
  TDataCursor c(t), other(t);
  c.Open();
  other.Open();
  std::vector<Row> rows;
  for (std::int32_t id = 1; id <= 400; ++id) {
    rows.push_back({id, (id * 37) % 50, id % 97 == 0 || id % 101 == 0 ? 7 : id % 7});
    c.Insert(Record(c, rows.back()).data());
  }
  c.SetActiveIndex(c.IndexNumber("NBX"));
  c.AddFilter("V = 7");
  auto expected = [&](std::int32_t lo, std::int32_t hi) {
    std::vector<std::pair<std::int32_t, std::int32_t>> keys;  // (NB, ID): NBX order
    for (const Row& r : rows)
      if (r.v == 7 && r.nb >= lo && r.nb <= hi) keys.push_back({r.nb, r.id});
    std::sort(keys.begin(), keys.end());
    std::vector<std::int32_t> ids;
    for (auto& k : keys)
      ids.push_back(k.second);
    return ids;
  };
  std::vector<std::uint8_t> buf(static_cast<std::size_t>(c.RecordSize()));
  auto walk = [&](bool forward) {
    std::vector<std::int32_t> ids;
    forward ? c.First() : c.Last();
    while ((forward ? c.Next(buf.data()) : c.Prior(buf.data())) == 0)
      ids.push_back(Int(c, buf.data(), 1));
    if (!forward) std::reverse(ids.begin(), ids.end());
    return ids;
  };
  for (int round = 0; round < 3; ++round) {
    EXPECT_EQ(walk(true), expected(0, 49));
    EXPECT_EQ(walk(false), expected(0, 49));
    EXPECT_EQ(c.RecordCount(), static_cast<std::int32_t>(expected(0, 49).size()));
    if (round == 0) {
      // Into the visible set through this cursor, out of it through another.
      rows.push_back({401, 3, 7});
      c.Insert(Record(c, rows.back()).data());
      ASSERT_EQ(other.Next(buf.data()), 0);
      ASSERT_EQ(other.Current(buf.data(), true), 0);
      const std::int32_t id = Int(other, buf.data(), 1);
      PutInt(other, buf.data(), 4, 7);
      other.Modify(buf.data());
      rows[static_cast<std::size_t>(id - 1)].v = 7;
    } else if (round == 1) {
      c.SetRange(NbPrefix(c, 10), NbPrefix(c, 30));
      EXPECT_EQ(walk(true), expected(10, 30));
      EXPECT_EQ(walk(false), expected(10, 30));
      c.CancelRange();
      // Many into the visible set (and some beside it) through this cursor,
      // each key falling anywhere among the sorted visible ones.
      for (std::int32_t k = 0; k < 30; ++k) {
        rows.push_back({402 + k, (k * 13) % 50, k % 5 ? 7 : 3});
        c.Insert(Record(c, rows.back()).data());
      }
    }
  }
}

TEST(DataCursor, EditsAreValidatedAndLeaveTheTableUnchangedOnFailure) {
  TempDir dir;
  CreateTable(dir.path(), true);
  TDataTable t(dir.path(), "t", TStorageSettings{});
  t.Open(false);
  TDataCursor c(t);
  c.Open();
  std::vector<std::uint8_t> buf(static_cast<std::size_t>(c.RecordSize()));
  EXPECT_EQ(c.Next(buf.data()), kErrEndOfTable);
  EXPECT_TRUE(c.Bof() && c.Eof());
  EXPECT_EQ(c.Current(buf.data()), kErrNoCurrentRecord);

  auto rec = Record(c, {1, 1, 5});
  c.SetField(4, rec.data(), std::nullopt);
  EXPECT_EQ(CodeOf([&] { c.Insert(rec.data()); }), kErrValueRequired);
  try {
    c.Insert(Record(c, {1, 1, -1}).data());
    ADD_FAILURE();
  } catch (const EKuraEngineError& e) {
    EXPECT_EQ(e.Code(), kErrBelowMinimum);
    EXPECT_EQ(e.Context().field_name, "V");
  }
  EXPECT_EQ(CodeOf([&] { c.Insert(Record(c, {1, 1, 1001}).data()); }), kErrAboveMaximum);
  EXPECT_EQ(t.Index().RecordCount(), 0);

  rec = Record(c, {1, 1, 1000});
  c.SetFieldText(3, rec.data(), "abc   ");
  c.Insert(rec.data());
  ASSERT_EQ(c.Current(buf.data()), 0);
  std::uint8_t s[11];
  EXPECT_FALSE(c.GetField(3, buf.data(), s));
  EXPECT_STREQ(reinterpret_cast<char*>(s), "abc");
  c.SetFieldText(3, buf.data(), "   ");
  EXPECT_TRUE(c.GetField(3, buf.data(), s));

  // A failed modify (duplicate key, out of range) changes nothing.
  c.Insert(Record(c, {2, 2, 2}).data());
  ASSERT_EQ(c.Current(buf.data(), true), 0);
  PutInt(c, buf.data(), 1, 1);
  EXPECT_EQ(CodeOf([&] { c.Modify(buf.data()); }), kErrDuplicateKey);
  EXPECT_EQ(c.LockedRecord(), 0);
  EXPECT_EQ(CodeOf([&] { c.Modify(Record(c, {2, 2, 2000}).data()); }), kErrAboveMaximum);
  ASSERT_EQ(c.Current(buf.data()), 0);
  EXPECT_EQ(Int(c, buf.data(), 1), 2);
  EXPECT_EQ(Int(c, buf.data(), 4), 2);
  EXPECT_EQ(c.RecordCount(), 2);

  // Filters: a bad text is 10051, a foreign handle 10050, the 65th 9482.
  EXPECT_EQ(CodeOf([&] { c.AddFilter("NB >"); }), kErrFilter);
  EXPECT_EQ(CodeOf([&] { c.RemoveFilter(nullptr); }), kErrFilterHandle);
  for (int i = 0; i < 64; ++i)
    c.AddFilter("NB > " + std::to_string(i % 2), i < 2);
  EXPECT_EQ(CodeOf([&] { c.AddFilter("NB > 0"); }), kErrTooManyFilters);
  EXPECT_EQ(c.RecordCount(), 1);  // NB > 1
}

TEST(DataCursor, FilteredCursorPostsRecordsItCannotSee) {
  TempDir dir;
  CreateTable(dir.path());
  TDataTable t(dir.path(), "t", TStorageSettings{});
  t.Open(false);
  TDataCursor filtered(t), all(t);
  filtered.Open();
  all.Open();
  filtered.AddFilter("NB > 0");
  filtered.Insert(Record(filtered, {1, 3, 0}).data());
  filtered.Insert(Record(filtered, {2, 0, 0}).data());
  EXPECT_EQ(all.RecordCount(), 2);
  EXPECT_EQ(filtered.RecordCount(), 1);
  std::vector<std::uint8_t> buf(static_cast<std::size_t>(filtered.RecordSize()));
  filtered.First();
  int seen = 0;
  while (filtered.Next(buf.data()) == 0) {
    EXPECT_NE(Int(filtered, buf.data(), 2), 0);
    ++seen;
  }
  EXPECT_EQ(seen, 1);
  filtered.Insert(Record(filtered, {3, 7, 0}).data());
  ASSERT_EQ(filtered.Current(buf.data()), 0);
  EXPECT_EQ(Int(filtered, buf.data(), 2), 7);
  EXPECT_EQ(filtered.RecordCount(), 2);
}

// Parent and child take turns through two pipes: one byte each way.
struct Turns {
  int to_child[2], to_parent[2];
  Turns() {
    if (::pipe(to_child) != 0 || ::pipe(to_parent) != 0) std::abort();
  }
  static void Send(int fd) {
    char b = 1;
    if (::write(fd, &b, 1) != 1) std::abort();
  }
  static void Wait(int fd) {
    char b;
    if (::read(fd, &b, 1) != 1) std::_Exit(3);
  }
};

// Runs `body` in a child process on a cursor of its own over table "t" of
// `dir`; the child's exit status is body's result, or 2 when it throws.
pid_t InChild(const std::string& dir, const TStorageSettings& settings,
              const std::function<int(TDataCursor&)>& body) {
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  int status = 2;
  try {
    TDataTable t(dir, "t", settings);
    t.Open(false);
    TDataCursor c(t);
    c.Open();
    status = body(c);
    c.Close();
    t.Close();
  } catch (...) {
    status = 2;
  }
  std::_Exit(status);
}

TEST(DataCursor, CursorsInTwoProcessesResynchroniseAndLock) {
  TempDir dir;
  CreateTable(dir.path());
  TStorageSettings settings;
  settings.lock_retry_count = 3;
  settings.lock_wait_time = 20;
  {
    TDataTable t(dir.path(), "t", settings);
    t.Open(false);
    TDataCursor c(t);
    c.Open();
    for (int id = 1; id <= 5; ++id)
      c.Insert(Record(c, {id, id, id}).data());
  }
  Turns turns;
  const pid_t pid = InChild(dir.path(), settings, [&](TDataCursor& c) {
    int status = 0;
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(c.RecordSize()));
    Turns::Wait(turns.to_child[0]);
    for (int i = 0; i < 3; ++i)
      c.Next(buf.data());
    c.Delete();  // ID 3
    Turns::Send(turns.to_parent[1]);
    Turns::Wait(turns.to_child[0]);
    c.GotoBookmark(c.KeyOf(Record(c, {4, 0, 0}).data()));
    c.Current(buf.data(), true);
    PutInt(c, buf.data(), 4, 40);
    c.Modify(buf.data());
    Turns::Send(turns.to_parent[1]);
    Turns::Wait(turns.to_child[0]);
    c.GotoBookmark(c.KeyOf(Record(c, {5, 0, 0}).data()));
    if (c.Current(buf.data(), true) != 0) status = 4;
    Turns::Send(turns.to_parent[1]);
    Turns::Wait(turns.to_child[0]);
    c.CancelEdit();
    return status;
  });
  ASSERT_GE(pid, 0);
  TDataTable t(dir.path(), "t", settings);
  t.Open(false);
  TDataCursor c(t);
  c.Open();
  std::vector<std::uint8_t> buf(static_cast<std::size_t>(c.RecordSize()));
  for (int i = 0; i < 3; ++i)
    ASSERT_EQ(c.Next(buf.data()), 0);
  ASSERT_EQ(Int(c, buf.data(), 1), 3);
  Turns::Send(turns.to_child[1]);
  Turns::Wait(turns.to_parent[0]);
  // ID 3 is gone: the cursor stands on its neighbour, and the stale copy
  // cannot be written back.
  EXPECT_EQ(CodeOf([&] { c.Modify(buf.data()); }), kErrRecordChanged);
  ASSERT_EQ(c.Current(buf.data()), 0);
  EXPECT_EQ(Int(c, buf.data(), 1), 4);
  EXPECT_EQ(c.RecordCount(), 4);
  EXPECT_EQ(c.RecordNumber(), 3);
  Turns::Send(turns.to_child[1]);
  Turns::Wait(turns.to_parent[0]);
  // The child changed ID 4 under our copy.
  PutInt(c, buf.data(), 4, 99);
  EXPECT_EQ(CodeOf([&] { c.Modify(buf.data()); }), kErrRecordChanged);
  ASSERT_EQ(c.Current(buf.data()), 0);
  EXPECT_EQ(Int(c, buf.data(), 4), 40);
  Turns::Send(turns.to_child[1]);
  Turns::Wait(turns.to_parent[0]);
  // The child holds ID 5 locked: locking fails after the retry settings.
  ASSERT_EQ(c.Next(buf.data()), 0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(CodeOf([&] { c.Current(buf.data(), true); }), kErrRecordInUse);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(CodeOf([&] { c.Delete(); }), kErrRecordInUse);
  EXPECT_EQ(c.RecordCount(), 4);
  Turns::Send(turns.to_child[1]);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  // Unlocked now: the edit goes through.
  ASSERT_EQ(c.Current(buf.data(), true), 0);
  PutInt(c, buf.data(), 4, 50);
  c.Modify(buf.data());
  ASSERT_EQ(c.Current(buf.data()), 0);
  EXPECT_EQ(Int(c, buf.data(), 4), 50);
}

// A forward walk reads records ahead; every change made while it runs must
// still show at the next step: through another cursor of the same table
// handle, through another handle of this process, and, after the read-ahead's
// age bound, from another process.
TEST(DataCursor, ForwardWalkSeesChangesMadeDuringIt) {
  for (const bool natural : {false, true}) {
    SCOPED_TRACE(natural ? "natural order" : "index order");
    TempDir dir;
    CreateTable(dir.path());
    TDataTable ta(dir.path(), "t", TStorageSettings{}), tb(dir.path(), "t", TStorageSettings{});
    ta.Open(false);
    tb.Open(false);
    TDataCursor a(ta), same(ta), other(tb);
    same.Open();
    for (int id = 1; id <= 120; ++id)
      same.Insert(Record(same, {id, id, id}).data());
    a.Open(natural);
    other.Open();
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(a.RecordSize()));
    auto change = [&](TDataCursor& c, int id, int v) {
      ASSERT_TRUE(c.GotoBookmark(c.KeyOf(Record(c, {id, 0, 0}).data()), false));
      ASSERT_EQ(c.Current(buf.data(), true), 0);
      if (v < 0) return c.Delete();
      PutInt(c, buf.data(), 4, v);
      c.Modify(buf.data());
    };
    auto next_id = [&] {
      const int rc = a.Next(buf.data());
      return rc == 0 ? Int(a, buf.data(), 1) : -rc;
    };
    std::vector<int> seen;
    for (int i = 0; i < 30; ++i)
      seen.push_back(next_id());
    change(same, 31, 500);
    ASSERT_EQ(next_id(), 31);
    EXPECT_EQ(Int(a, buf.data(), 4), 500);
    change(other, 33, -1);
    EXPECT_EQ(next_id(), 32);
    EXPECT_EQ(next_id(), 34);
    for (int i = 0; i < 20; ++i)
      next_id();
    const pid_t pid = InChild(dir.path(), TStorageSettings{}, [&](TDataCursor& c) {
      change(c, 56, -1);
      change(c, 57, 700);
      return ::testing::Test::HasFailure() ? 3 : 0;
    });
    ASSERT_GE(pid, 0);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(next_id(), 55);
    EXPECT_EQ(next_id(), 57);
    EXPECT_EQ(Int(a, buf.data(), 4), 700);
    int last = 57, count = 0;
    for (int id = next_id(); id > 0; id = next_id()) {
      EXPECT_EQ(id, last + 1);
      last = id;
      ++count;
    }
    EXPECT_EQ(last, 120);
    EXPECT_EQ(next_id(), -kErrEndOfTable);
    for (int i = 0; i < 30; ++i)
      EXPECT_EQ(seen[static_cast<std::size_t>(i)], i + 1);
  }
}

TEST(DataCursor, SecondCursorOfOneTableHitsTheRecordLock) {
  TempDir dir;
  CreateTable(dir.path());
  TStorageSettings settings;
  settings.lock_retry_count = 2;
  settings.lock_wait_time = 10;
  TDataTable t(dir.path(), "t", settings);
  t.Open(false);
  TDataCursor a(t), b(t, {TLockProtocol::kOptimistic});
  a.Open();
  b.Open();
  a.Insert(Record(a, {1, 1, 1}).data());
  std::vector<std::uint8_t> buf(static_cast<std::size_t>(a.RecordSize()));
  ASSERT_EQ(a.Current(buf.data(), true), 0);
  ASSERT_EQ(b.Next(buf.data()), 0);
  // Optimistic: Current only compares; the lock is taken by Modify.
  ASSERT_EQ(b.Current(buf.data(), true), 0);
  EXPECT_EQ(CodeOf([&] { b.Modify(buf.data()); }), kErrRecordInUse);
  a.CancelEdit();
  ASSERT_EQ(b.Current(buf.data(), true), 0);
  PutInt(b, buf.data(), 4, 7);
  b.Modify(buf.data());
  EXPECT_EQ(b.LockedRecord(), 0);
  ASSERT_EQ(a.Current(buf.data()), 0);
  EXPECT_EQ(Int(a, buf.data(), 4), 7);
}

}  // namespace
}  // namespace kura
