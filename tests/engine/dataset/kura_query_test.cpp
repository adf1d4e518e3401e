// TKuraQuery over a game-record database made through SQL: the program's two
// query texts line by line as it builds them, live edits through their
// results, parameters and their descriptors, Locate, and the edit conflicts
// with another query on the same rows.
#include "db/engine/dataset/kura_query.h"

#include <gtest/gtest.h>

#include <vector>

#include "db/common/database_error.h"
#include "db/dataset/data_source.h"
#include "db/storage/engine_error.h"
#include "tests/storage/storage_test_support.h"

namespace kura {
namespace {

using test::CodeOf;
using test::TempDir;

std::string MessageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no error)";
}

struct KifuDatabase : ::testing::Test {
  TempDir dir;

  void SetUp() override {
    Exec({"CREATE TABLE kifulist (NB INTEGER, CMT CHAR(60))"});
    Exec({"CREATE INDEX NB ON kifulist (NB)"});
    Exec({"CREATE TABLE kifudata (NB INTEGER, MNO INTEGER, CLR INTEGER, PNT INTEGER)"});
    Exec({"CREATE INDEX NB ON kifudata (NB)"});
  }

  void Exec(std::vector<std::string> sql) {
    TKuraQuery q;
    q.SetDatabaseName(dir.path());
    q.SetSQL(std::move(sql));
    q.ExecSQL();
  }

  // The list query as the program opens it.
  void OpenList(TKuraQuery& q) {
    q.Close();
    q.ClearSQL();
    q.AddSQL("select * from kifulist");
    q.AddSQL(" Where NB > 0");
    q.AddSQL("Order by NB");
    q.Open();
  }
  // The moves query as the program opens it.
  void OpenMoves(TKuraQuery& q, int nb) {
    q.Close();
    q.ClearSQL();
    q.AddSQL("select * from kifudata");
    q.AddSQL("Where NB = :NB");
    q.Params()[0].SetAsInteger(nb);
    q.Open();
  }
  std::unique_ptr<TKuraQuery> Query() {
    auto q = std::make_unique<TKuraQuery>();
    q->SetDatabaseName(dir.path());
    q->SetRequestLive(true);
    return q;
  }
  static std::vector<std::vector<int>> Rows(TKuraQuery& q) {
    std::vector<std::vector<int>> rows;
    for (q.First(); !q.Eof(); q.Next()) {
      std::vector<int> row;
      for (int i = 0; i < q.FieldCount(); ++i)
        row.push_back(q.Fields()[i].AsInteger());
      rows.push_back(row);
    }
    return rows;
  }
  static void AppendMove(TKuraQuery& q, int nb, int mno, int clr, int pnt) {
    q.Append();
    q.Fields()[0].SetAsInteger(nb);
    q.Fields()[1].SetAsInteger(mno);
    q.Fields()[2].SetAsInteger(clr);
    q.Fields()[3].SetAsInteger(pnt);
  }
};

// The moves query as the program builds it, over the table with its index
// on NB and, as a database made by hand may be, without it (then the
// condition is tested on every record and the result stays live).
struct MovesQuery : KifuDatabase, ::testing::WithParamInterface<bool> {};

INSTANTIATE_TEST_SUITE_P(Index, MovesQuery, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "OnNB" : "None"; });

TEST_P(MovesQuery, FollowsTheProgramsTextAndKeepsAppendOrder) {
  if (!GetParam()) Exec({"DROP INDEX kifudata.NB"});
  auto moves = Query();
  moves->AddSQL("select * from kifudata");
  moves->AddSQL("Where NB = :NB");
  ASSERT_EQ(moves->Params().Count(), 1);
  EXPECT_EQ(moves->Params()[0].Name(), "NB");
  EXPECT_EQ(moves->Text(), "select * from kifudata\r\nWhere NB = ?");
  EXPECT_EQ(moves->EngineVersion(), "3.30");
  moves->SetEngineVersion("3.10");
  EXPECT_EQ(moves->EngineVersion(), "3.30");
  // A parameter never given a value.
  EXPECT_EQ(MessageOf([&] { moves->Open(); }), "No value for parameter 'NB'");
  EXPECT_FALSE(moves->Active());

  // Games 5 and 6 interleaved, then game 5's first rows deleted and more
  // appended: the result follows the order of appending.
  OpenMoves(*moves, 5);
  EXPECT_FALSE(moves->ReadOnly());
  EXPECT_TRUE(moves->IsEmpty());
  AppendMove(*moves, 5, 0, 1, 61);
  AppendMove(*moves, 5, 1, 2, 300);
  AppendMove(*moves, 5, 2, 1, 100);
  moves->Post();
  auto other = Query();
  OpenMoves(*other, 6);
  AppendMove(*other, 6, 1, 1, 181);
  other->Post();
  OpenMoves(*moves, 5);
  EXPECT_EQ(Rows(*moves),
            (std::vector<std::vector<int>>{{5, 0, 1, 61}, {5, 1, 2, 300}, {5, 2, 1, 100}}));
  moves->First();
  moves->Delete();
  AppendMove(*moves, 5, 3, 2, 5);
  moves->Post();
  OpenMoves(*moves, 5);
  EXPECT_EQ(Rows(*moves),
            (std::vector<std::vector<int>>{{5, 1, 2, 300}, {5, 2, 1, 100}, {5, 3, 2, 5}}));
  OpenMoves(*moves, 6);
  EXPECT_EQ(Rows(*moves), (std::vector<std::vector<int>>{{6, 1, 1, 181}}));
  // Delete until the end empties the result; on an empty result it fails.
  OpenMoves(*moves, 5);
  moves->First();
  while (!moves->Eof())
    moves->Delete();
  EXPECT_TRUE(moves->IsEmpty());
  EXPECT_EQ(MessageOf([&] { moves->Delete(); }), "空のデータセットには, この操作は実行できません");

  // Changing the text while open closes; the next open runs the new text.
  OpenMoves(*moves, 6);
  moves->SetSQL({"select * from kifudata where PNT = 181"});
  EXPECT_FALSE(moves->Active());
  EXPECT_EQ(moves->Params().Count(), 0);
  moves->Open();
  EXPECT_EQ(Rows(*moves), (std::vector<std::vector<int>>{{6, 1, 1, 181}}));
}

TEST_F(KifuDatabase, ListQueryIsLiveOrderedAndLocatesByNumber) {
  auto list = Query();
  OpenList(*list);
  ASSERT_FALSE(list->ReadOnly());
  for (int nb : {3, 1, 2}) {
    list->Append();
    list->Fields()[0].SetAsInteger(nb);
    list->Fields()[1].SetAsString("game " + std::to_string(nb));
  }
  // A row outside the condition is stored but leaves the result.
  list->Append();
  list->Fields()[0].SetAsInteger(0);
  list->Fields()[1].SetAsString("   ");
  list->Post();
  OpenList(*list);
  std::vector<int> numbers;
  for (list->First(); !list->Eof(); list->Next())
    numbers.push_back(list->Fields()[0].AsInteger());
  EXPECT_EQ(numbers, (std::vector<int>{1, 2, 3}));

  ASSERT_TRUE(list->Locate("NB", {TFieldValue(int64_t{2})}, {}));
  EXPECT_EQ(list->Fields()[1].AsString(), "game 2");
  EXPECT_FALSE(list->Locate("NB", {TFieldValue(int64_t{9})}, {}));
  EXPECT_EQ(list->Fields()[0].AsInteger(), 2);

  // A comment of blanks is stored as NULL.
  list->Edit();
  list->Fields()[1].SetAsString("    ");
  list->Post();
  EXPECT_TRUE(list->Fields()[1].IsNull());
  auto all = Query();
  all->SetSQL({"select * from kifulist where NB = 0"});
  all->Open();
  ASSERT_FALSE(all->IsEmpty());
  EXPECT_TRUE(all->Fields()[1].IsNull());
}

TEST_F(KifuDatabase, EditConflictsWithAnotherQuery) {
  auto list = Query();
  OpenList(*list);
  for (int nb : {1, 2}) {
    list->Append();
    list->Fields()[0].SetAsInteger(nb);
    list->Fields()[1].SetAsString("x");
  }
  list->Post();
  auto a = Query();
  auto b = Query();
  OpenList(*a);
  OpenList(*b);
  // b holds game 1 for editing: a's Edit of the same row fails at once.
  b->First();
  b->Edit();
  a->First();
  EXPECT_EQ(CodeOf([&] { a->Edit(); }), kErrRecordInUse);
  b->Fields()[1].SetAsString("changed");
  b->Post();
  // a still shows the row as it read it: Edit finds it changed.
  EXPECT_EQ(CodeOf([&] { a->Edit(); }), kErrRecordChanged);
}

TEST_F(KifuDatabase, MasterValuesFillUnboundParameters) {
  auto list = Query();
  OpenList(*list);
  list->Append();
  list->Fields()[0].SetAsInteger(7);
  list->Post();
  auto moves = Query();
  OpenMoves(*moves, 7);
  AppendMove(*moves, 7, 1, 1, 42);
  moves->Post();
  moves->Close();

  TDataSource source;
  source.SetDataSet(list.get());
  auto detail = Query();
  detail->SetSQL({"select * from kifudata where NB = :NB"});
  detail->SetDataSource(&source);
  detail->Open();
  EXPECT_EQ(Rows(*detail), (std::vector<std::vector<int>>{{7, 1, 1, 42}}));
  // A value the program set wins over the master's.
  detail->Close();
  detail->Params()[0].SetAsInteger(8);
  detail->Open();
  EXPECT_TRUE(detail->IsEmpty());
}

}  // namespace
}  // namespace kura

namespace kura {
namespace {

// A live result with a select list shows its columns in their order and
// under their names: table fields, editable and reaching the table, and
// computed columns, read-only and following the row they are computed from.
TEST_F(KifuDatabase, LiveSelectListShowsItsColumns) {
  auto list = Query();
  OpenList(*list);
  for (int nb : {1, 2, 3}) {
    list->Append();
    list->Fields()[0].SetAsInteger(nb);
    list->Fields()[1].SetAsString("game " + std::to_string(nb));
  }
  list->Post();
  list->Close();

  auto q = Query();
  q->SetSQL({"select CMT, NB, NB * 10 + 1 AS TEN, UPPER(CMT) AS BIG from kifulist",
             "where NB > 1 order by NB"});
  q->Open();
  ASSERT_FALSE(q->ReadOnly());
  ASSERT_EQ(q->FieldCount(), 4);
  std::vector<std::string> names;
  for (int i = 0; i < q->FieldCount(); ++i)
    names.push_back(q->Fields()[i].FieldName());
  EXPECT_EQ(names, (std::vector<std::string>{"CMT", "NB", "TEN", "BIG"}));
  std::vector<std::string> rows;
  for (q->First(); !q->Eof(); q->Next()) {
    rows.push_back(q->Fields()[0].AsString() + "|" + q->Fields()[1].AsString() + "|" +
                   q->Fields()[2].AsString() + "|" + q->Fields()[3].AsString());
  }
  EXPECT_EQ(rows, (std::vector<std::string>{"game 2|2|21|GAME 2", "game 3|3|31|GAME 3"}));

  // Edits by position reach the table; computed columns follow the row.
  ASSERT_TRUE(q->Locate("NB", {TFieldValue(int64_t{3})}, {}));
  q->Edit();
  q->Fields()[0].SetAsString("third");
  q->Fields()[1].SetAsInteger(4);
  EXPECT_EQ(q->Fields()[2].AsInteger(), 41);
  EXPECT_EQ(MessageOf([&] { q->Fields()[2].SetAsInteger(7); }), "Field TEN cannot be modified.");
  q->Post();
  EXPECT_EQ(q->Fields()[3].AsString(), "THIRD");
  EXPECT_EQ(MessageOf([&] { q->Locate("TEN", {TFieldValue(int64_t{41})}, {}); }),
            "Field 'TEN' not found");
  auto all = Query();
  all->SetSQL({"select * from kifulist where NB = 4"});
  all->Open();
  ASSERT_FALSE(all->IsEmpty());
  EXPECT_EQ(all->Fields()[1].AsString(), "third");
}

}  // namespace
}  // namespace kura
