// The game-record database through the data module's operations: a fresh
// folder gets both tables, games are stored, loaded, replaced, rotated and
// deleted as the window does it, the adjourned game stays out of the list,
// everything survives a restart, and a store that fails half-way (the moves
// table locked by another process) leaves the stored games as they were.
#include "records/data_module.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <set>

#include "db/engine/cursor/data_cursor.h"
#include "db/engine/session/data_session.h"
#include "db/storage/coding.h"
#include "db/storage/engine_error.h"
#include "db/storage/table/data_table.h"
#include "tests/storage/storage_test_support.h"

namespace kirobaku {
namespace {

using kura::test::TempDir;

Record RandomGame(std::mt19937& random, int setup, int moves) {
  Record r{};
  std::size_t n = 0;
  for (int i = 0; i < setup; ++i)
    r[++n] = {0, kBlack, static_cast<PointIndex>(1 + random() % 361)};
  for (int m = 1; m <= moves; ++m) {
    r[++n] = {m, m % 2 ? kBlack : kWhite, static_cast<PointIndex>(1 + random() % 361)};
  }
  return r;
}

std::vector<MoveEntry> Entries(const Record& r, std::size_t limit = kRecordSize) {
  std::vector<MoveEntry> out;
  for (std::size_t i = 1; i <= limit && i < r.size() && r[i].colour > 0; ++i)
    out.push_back(r[i]);
  return out;
}

std::vector<int> Listed(TDataModule1& m) {
  m.OpenList(TDataModule1::kListedGames);
  std::vector<int> numbers;
  for (m.KuraQuery1.First(); !m.KuraQuery1.Eof(); m.KuraQuery1.Next())
    numbers.push_back(m.KuraQuery1.Fields()[0].AsInteger());
  return numbers;
}

std::vector<MoveEntry> Loaded(TDataModule1& m, int nb) {
  Record r{};
  m.LoadGame(nb, r);
  return Entries(r);
}

TEST(DataModuleTest, GamesKeptThroughEveryOperationAndARestart) {
  TempDir dir;
  const std::string kifu = dir.path() + "/kifu";
  std::mt19937 random(7);
  const Record a = RandomGame(random, 4, 120), b = RandomGame(random, 0, 250),
               c = RandomGame(random, 9, 3);
  {
    TDataModule1 m(kifu);
    m.OpenList(TDataModule1::kListedGames);
    EXPECT_EQ(m.NextFreeGameNumber(), 1);
    EXPECT_EQ(m.StoreImportedGame("a", a), 1);
    EXPECT_EQ(m.StoreImportedGame("b", b), 2);
    EXPECT_EQ(m.StoreImportedGame("c", c), 3);
    // The new game is the list's current row.
    EXPECT_EQ(m.KuraQuery1.Fields()[0].AsInteger(), 3);
    EXPECT_EQ(m.KuraQuery1.Fields()[1].AsString(), "c");
    EXPECT_EQ(Loaded(m, 1), Entries(a));
    EXPECT_EQ(Loaded(m, 2), Entries(b));

    // Register after stepping back: only the entries up to the position.
    m.ReplaceMoves(2, b, 30);
    EXPECT_EQ(Loaded(m, 2), Entries(b, 30));
    m.ReplaceMoves(2, b, 0);
    EXPECT_TRUE(Loaded(m, 2).empty());
    m.ReplaceMoves(2, b, -1);

    // Rotation by 180 degrees: 1 <-> 361, the centre stays; twice restores.
    Record corners{};
    corners[1] = {1, kBlack, 1};
    corners[2] = {2, kWhite, 19};
    corners[3] = {3, kBlack, 181};
    m.ReplaceMoves(3, corners, -1);
    m.RotateGame(3);
    const std::vector<MoveEntry> rotated = Loaded(m, 3);
    ASSERT_EQ(rotated.size(), 3u);
    EXPECT_EQ(rotated[0].point, 361);
    EXPECT_EQ(rotated[1].point, 343);
    EXPECT_EQ(rotated[2].point, 181);
    m.RotateGame(3);
    EXPECT_EQ(Loaded(m, 3), Entries(corners));

    // The adjourned game is stored like a game but never listed.
    m.ReplaceMoves(TDataModule1::kAdjournedGame, a, -1);
    EXPECT_EQ(Listed(m), (std::vector<int>{1, 2, 3}));

    // Deleting game 2 frees its number; a game without stone rows goes silently.
    m.OpenList(TDataModule1::kListedGames);
    ASSERT_TRUE(m.KuraQuery1.Locate("NB", {kura::TFieldValue(int64_t{2})}, {}));
    EXPECT_TRUE(m.DeleteGame(2));
    EXPECT_TRUE(Loaded(m, 2).empty());
    m.OpenList(TDataModule1::kListedGames);
    EXPECT_EQ(m.NextFreeGameNumber(), 2);
    m.ReplaceMoves(3, corners, 0);
    ASSERT_TRUE(m.KuraQuery1.Locate("NB", {kura::TFieldValue(int64_t{3})}, {}));
    EXPECT_FALSE(m.DeleteGame(3));
    EXPECT_EQ(Listed(m), (std::vector<int>{1}));
  }
  // A restart finds everything where it was.
  TDataModule1 again(kifu);
  EXPECT_EQ(Listed(again), (std::vector<int>{1}));
  EXPECT_EQ(Loaded(again, 1), Entries(a));
  EXPECT_EQ(Loaded(again, TDataModule1::kAdjournedGame), Entries(a));
  // Move rows left under an unlisted number (a delete cut short by a crash)
  // do not become part of the next game stored under that number.
  again.ReplaceMoves(2, b, -1);
  EXPECT_EQ(again.StoreImportedGame("d", c), 2);
  EXPECT_EQ(Loaded(again, 2), Entries(c));
}

TEST(DataModuleTest, StoreFailingHalfWayLeavesTheGamesAsTheyWere) {
  TempDir dir;
  const std::string kifu = dir.path() + "/kifu";
  std::mt19937 random(8);
  const Record a = RandomGame(random, 2, 40);
  { TDataModule1 created(kifu); }  // both tables exist, nothing is open

  // Another process takes the moves table for itself between the store's
  // list row and its moves: the store fails half-way.
  kura::test::Signal go, locked, done;
  const pid_t child = kura::test::Spawn([&] {
    go.Wait();
    kura::TDataTable table(kifu, "kifudata", kura::TStorageSettings{});
    table.Open(true);
    locked.Notify();
    done.Wait();
    return 0;
  });
  struct Release {
    kura::test::Signal& done;
    ~Release() { done.Notify(); }
  } release{done};
  {
    TDataModule1 m(kifu);
    m.OpenList(TDataModule1::kListedGames);
    go.Notify();
    ASSERT_TRUE(locked.Wait());
    EXPECT_THROW(m.StoreImportedGame("a", a), kura::EKuraEngineError);
    EXPECT_TRUE(Listed(m).empty());
  }
  done.Notify();
  EXPECT_EQ(kura::test::WaitExit(child), 0);
  TDataModule1 m(kifu);
  EXPECT_TRUE(Listed(m).empty());
  EXPECT_TRUE(Loaded(m, 1).empty());
  EXPECT_EQ(m.StoreImportedGame("a", a), 1);
  EXPECT_EQ(Loaded(m, 1), Entries(a));
}

// The moves table stays open while the moves query is reopened for the next
// game: what another program changed in between is what that load reads.
TEST(DataModuleTest, LoadsSeeWhatAnotherProgramChangedBetweenThem) {
  TempDir dir;
  const std::string kifu = dir.path() + "/kifu";
  std::mt19937 random(9);
  const Record a = RandomGame(random, 0, 30), b = RandomGame(random, 3, 250);
  { TDataModule1 created(kifu); }
  kura::test::Signal go, changed;
  // Every point of game 2 becomes 361, through a cursor of its own session.
  const pid_t child = kura::test::Spawn([&] {
    if (!go.Wait()) return 2;
    kura::TDataSession session;
    kura::TDataDirectory& db = session.OpenDirectory("other", kifu);
    {
      kura::TDataCursor c(db, "kifudata", {.natural_order = true});
      std::vector<std::uint8_t> row(static_cast<std::size_t>(c.RecordSize()));
      std::uint8_t v[4];
      c.First();
      while (c.Next(row.data()) == 0) {
        c.GetField(1, row.data(), v);
        if (kura::DecodeFixed32(v) != 2) continue;
        kura::EncodeFixed32(v, 361);
        c.SetField(4, row.data(), std::span<const std::uint8_t>(v, 4));
        c.Modify(row.data());
      }
    }
    session.CloseDirectory(db);
    changed.Notify();
    return 0;
  });
  {
    TDataModule1 m(kifu);
    ASSERT_EQ(m.StoreImportedGame("a", a), 1);
    ASSERT_EQ(m.StoreImportedGame("b", b), 2);
    EXPECT_EQ(Loaded(m, 1), Entries(a));  // the moves query is open from here on
    EXPECT_EQ(Loaded(m, 2), Entries(b));
    go.Notify();
    ASSERT_TRUE(changed.Wait());
    std::vector<MoveEntry> want = Entries(b);
    for (MoveEntry& e : want)
      e.point = 361;
    EXPECT_EQ(Loaded(m, 2), want);
    EXPECT_EQ(Loaded(m, 1), Entries(a));
  }
  EXPECT_EQ(kura::test::WaitExit(child), 0);
}

// Random stores and deletes held against the set of listed numbers: the next
// free number is always the smallest positive one not listed, and a store
// takes it.
TEST(DataModuleTest, NextFreeNumberIsTheSmallestUnlistedOne) {
  TempDir dir;
  TDataModule1 m(dir.path() + "/kifu");
  std::mt19937 random(20261209);
  const Record game = RandomGame(random, 0, 1);
  std::set<int> listed;
  for (int step = 0; step < 120; ++step) {
    m.OpenList(TDataModule1::kListedGames);
    int expected = 1;
    while (listed.count(expected))
      ++expected;
    ASSERT_EQ(m.NextFreeGameNumber(), expected) << "step " << step;
    if (listed.empty() || random() % 3 != 0) {
      EXPECT_EQ(m.StoreImportedGame("g", game), expected);
      listed.insert(expected);
    } else {
      auto it = listed.begin();
      std::advance(it, random() % listed.size());
      ASSERT_TRUE(m.KuraQuery1.Locate("NB", {kura::TFieldValue(int64_t{*it})}, {}));
      EXPECT_TRUE(m.DeleteGame(*it));
      listed.erase(it);
    }
  }
  EXPECT_EQ(Listed(m), std::vector<int>(listed.begin(), listed.end()));
}

}  // namespace
}  // namespace kirobaku
