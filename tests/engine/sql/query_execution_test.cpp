// Execution: the live test case by case, edits through live and canned
// results, parameters from descriptors, scripts with their rows affected,
// transactions, and the DDL statements on real tables.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <random>

#include "db/storage/coding.h"
#include "tests/engine/sql/sql_test_support.h"

namespace kura::test {
namespace {

class QueryExecutionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db_.Run("create table kifulist (NB integer not null, CMT varchar(250))");
    db_.Run("create table kifudata (NB integer, MNO integer, CLR integer, PNT integer)");
    db_.Run("create index NB on kifudata (NB)");
    for (int nb = 1; nb <= 6; ++nb) {
      db_.Run("insert into kifulist values (" + std::to_string(7 - nb) + ", 'game " +
              std::to_string(7 - nb) + "')");
      for (int m = 1; m <= 3; ++m)
        db_.Run("insert into kifudata (NB, MNO, CLR, PNT) values (" + std::to_string(nb) + ", " +
                std::to_string(m) + ", " + std::to_string(m % 2 + 1) + ", " +
                std::to_string(nb * 10 + m) + ")");
    }
  }

  // Prepares and executes with RequestLive set; returns whether the result is live.
  bool Live(const std::string& sql, std::vector<TExpValue> params = {}) {
    TQueryStatement s(db_.Db());
    s.SetRequestLive(true);
    s.Prepare(sql);
    TQueryResult* r = s.Execute(params);
    EXPECT_TRUE(r);
    EXPECT_EQ(s.ResultLive(), r && r->Live());
    return r && r->Live();
  }

  SqlDatabase db_;
};

TEST_F(QueryExecutionTest, TheProgramsMovesQueryIsLiveAndItsEditsReachTheTable) {
  TQueryStatement s(db_.Db());
  s.SetRequestLive(true);
  s.Prepare("select * from kifudata\r\nWhere NB = ?");
  ASSERT_EQ(s.Parameters().size(), 1u);
  TQueryResult* r = s.Execute({TExpValue::Int(kFieldInteger, 5)});
  ASSERT_TRUE(r && r->Live());
  EXPECT_EQ(s.RowsAffected(), 3);
  EXPECT_EQ(SqlDatabase::Read(*r), (std::vector<std::string>{"5|1|2|51", "5|2|1|52", "5|3|2|53"}));
  // Post an edit through the result: the base table changes.
  TDataCursor& c = r->Cursor();
  std::vector<std::uint8_t> rec(static_cast<std::size_t>(c.RecordSize()));
  c.First();
  ASSERT_EQ(c.Next(rec.data()), 0);
  ASSERT_EQ(c.Current(rec.data(), true), 0);
  std::uint8_t v[4];
  EncodeFixed32(v, 99);
  c.SetField(4, rec.data(), std::span<const std::uint8_t>(v, 4));
  c.Modify(rec.data());
  s.CloseResult();
  EXPECT_EQ(db_.Rows("select PNT from kifudata where NB = 5 and MNO = 1"),
            std::vector<std::string>{"99"});
  // Executed again with a new parameter the statement re-filters.
  r = s.Execute({TExpValue::Int(kFieldInteger, 2)});
  EXPECT_EQ(SqlDatabase::Read(*r).size(), 3u);
  EXPECT_EQ(SqlDatabase::Read(*r)[0], "2|1|2|21");
}

TEST_F(QueryExecutionTest, LiveTestCaseByCase) {
  // ORDER BY without a matching index: canned; the edit stays in the result.
  {
    TQueryStatement s(db_.Db());
    s.SetRequestLive(true);
    s.Prepare("select * from kifulist Where NB > 0 Order by NB");
    TQueryResult* r = s.Execute();
    ASSERT_TRUE(r);
    EXPECT_FALSE(r->Live());
    EXPECT_EQ(SqlDatabase::Read(*r).front(), "1|game 1");
    TDataCursor& c = r->Cursor();
    std::vector<std::uint8_t> rec(static_cast<std::size_t>(c.RecordSize()));
    c.First();
    ASSERT_EQ(c.Next(rec.data()), 0);
    ASSERT_EQ(c.Current(rec.data(), true), 0);
    c.SetFieldText(2, rec.data(), "changed");
    c.Modify(rec.data());
    EXPECT_EQ(SqlDatabase::Read(*r).front(), "1|changed");
  }
  EXPECT_EQ(db_.Rows("select CMT from kifulist where NB = 1"), std::vector<std::string>{"game 1"});
  EXPECT_FALSE(Live("select * from kifulist Order by 1"));
  db_.Run("create index ByNB on kifulist (NB)");
  EXPECT_TRUE(Live("select * from kifulist Where NB > 0 Order by NB"));
  EXPECT_TRUE(Live("select * from kifulist Order by 1"));
  EXPECT_FALSE(Live("select * from kifulist Order by NB desc"));
  EXPECT_FALSE(Live("select * from kifulist Order by 2"));
  EXPECT_TRUE(Live("select * from kifulist"));
  EXPECT_FALSE(Live("select distinct NB from kifulist"));
  EXPECT_FALSE(Live("select count(*) from kifulist"));
  EXPECT_FALSE(Live("select * from kifulist top 2"));
  EXPECT_FALSE(Live("select * from kifulist a, kifudata b where a.NB = b.NB"));
  EXPECT_FALSE(Live("select * from kifulist join kifudata on kifulist.NB = kifudata.NB"));
  EXPECT_FALSE(Live("select * into memory r from kifulist"));
  EXPECT_FALSE(Live("select NB from kifulist where NB in (select NB from kifudata)"));
  EXPECT_FALSE(Live("select NB, NB * 2 as D from kifulist order by D"));
  // An expression column is a computed field of the live result.
  TQueryStatement s(db_.Db());
  s.SetRequestLive(true);
  s.Prepare("select NB, NB * 10 + 1 as X, upper(CMT) from kifulist order by NB");
  TQueryResult* r = s.Execute();
  ASSERT_TRUE(r->Live());
  EXPECT_EQ(SqlDatabase::Read(*r).front(), "1|11|GAME 1");
  // Without RequestLive every result is canned.
  TQueryStatement c(db_.Db());
  c.Prepare("select * from kifulist");
  EXPECT_FALSE(c.Execute()->Live());
}

TEST_F(QueryExecutionTest, OrderByRefusalsOfTheLiveTest) {
  EXPECT_EQ(SqlDetail([&] { Live("select * from kifulist order by 3"); }),
            "Invalid column number '3' specified in ORDER BY clause");
  EXPECT_EQ(SqlDetail([&] { Live("select * from kifulist order by x.NB"); }),
            "Invalid column name 'NB' or table correlation name 'x' specified in ORDER BY clause");
  EXPECT_EQ(SqlDetail([&] { Live("select * from kifulist order by ZZ"); }),
            "Invalid column name 'ZZ' or table correlation name '' specified in ORDER BY clause");
  EXPECT_EQ(SqlDetail([&] { db_.Rows("select NB from kifulist order by 2"); }),
            "Invalid column number '2' specified in ORDER BY clause");
  EXPECT_EQ(SqlDetail([&] { db_.Rows("select * from kifulist where CMT"); }),
            "WHERE or JOIN clause must be a boolean expression");
  EXPECT_EQ(SqlDetail([&] { db_.Rows("select CMT || CMT from kifulist"); }),
            "Column expression 'CMT || CMT' exceeds the maximum allowable field size");
}

TEST_F(QueryExecutionTest, ParametersFromDescriptorsAndBlankStringsAsNull) {
  namespace pd = param_descriptor;
  std::vector<std::uint8_t> desc(2 * pd::kSize, 0), values(64, 0);
  // 1: a 32-bit integer 3 at slot 0; 2: the string "game 3   " at slot 8.
  EncodeFixed16(&desc[pd::kNumber], 1);
  desc[pd::kType] = kFieldInteger;
  desc[pd::kValueSize] = 4;
  EncodeFixed16(&desc[pd::kSlotOffset], 0);
  values[0] = 1;
  EncodeFixed32(&values[1], 3);
  std::uint8_t* d2 = &desc[pd::kSize];
  EncodeFixed16(d2 + pd::kNumber, 2);
  d2[pd::kType] = kFieldString;
  d2[pd::kValueSize] = 20;
  EncodeFixed16(d2 + pd::kSlotOffset, 8);
  values[8] = 1;
  std::memcpy(&values[9], "game 3   ", 9);
  TQueryStatement s(db_.Db());
  s.Prepare("select NB from kifulist where NB = ? and CMT = ?");
  EXPECT_EQ(SqlDatabase::Read(*s.Execute(2, values.data(), desc.data())),
            std::vector<std::string>{"3"});
  // A NULL indicator, and a string of blanks, both bind as NULL: nothing equals them.
  values[0] = 0;
  EXPECT_TRUE(SqlDatabase::Read(*s.Execute(2, values.data(), desc.data())).empty());
  values[0] = 1;
  std::memcpy(&values[9], "      ", 6);
  values[15] = 0;
  EXPECT_TRUE(SqlDatabase::Read(*s.Execute(2, values.data(), desc.data())).empty());
  db_.Run("insert into kifulist (NB) values (50)");
  TQueryStatement n(db_.Db());
  n.Prepare("insert into kifulist values (51, ?)");
  n.Execute({TExpValue::Str(kFieldString, "   ")});
  EXPECT_EQ(db_.Rows("select NB from kifulist where CMT is null order by NB"),
            (std::vector<std::string>{"50", "51"}));
}

TEST_F(QueryExecutionTest, ScriptsAddUpRowsAndRollbackRestoresTheCount) {
  std::int32_t affected = 0;
  // The second result is returned.
  EXPECT_EQ(db_.Rows("select * from kifulist; select NB from kifudata where PNT = 42", {}, false,
                     &affected),
            std::vector<std::string>{"4"});
  EXPECT_EQ(affected, 6 + 1);
  db_.Rows(
      "delete from kifudata where NB = 6; start transaction; insert into kifulist values (9, "
      "'x'); insert into kifulist values (10, 'y'); rollback",
      {}, false, &affected);
  EXPECT_EQ(affected, 3);
  EXPECT_TRUE(db_.Rows("select * from kifulist where NB >= 9").empty());
  EXPECT_TRUE(db_.Rows("select * from kifudata where NB = 6").empty());
  db_.Run("start transaction; insert into kifulist values (11, 'z'); commit flush");
  EXPECT_EQ(db_.Rows("select CMT from kifulist where NB = 11"), std::vector<std::string>{"z"});
  // Parameters are numbered over the whole script.
  EXPECT_EQ(
      db_.Rows("update kifulist set CMT = ? where NB = ?; select CMT from kifulist where NB = ?",
               {TExpValue::Str(kFieldString, "new"), TExpValue::Int(kFieldInteger, 2),
                TExpValue::Int(kFieldInteger, 2)}),
      std::vector<std::string>{"new"});
  // An error stops the script; what ran before stays done.
  std::uint16_t code = 0;
  SqlDetail([&] { db_.Run("insert into kifulist values (12, 'a'); select * from nowhere"); },
            &code);
  EXPECT_EQ(code, kErrTableMissing);
  EXPECT_EQ(db_.Rows("select CMT from kifulist where NB = 12"), std::vector<std::string>{"a"});
}

TEST_F(QueryExecutionTest, TransactionMessages) {
  db_.Run("start transaction");
  EXPECT_EQ(SqlDetail([&] { db_.Run("start transaction"); }),
            "Transaction already in progress for database 'db'");
  db_.Run("rollback");
  EXPECT_EQ(SqlDetail([&] { db_.Run("rollback"); }),
            "Transaction not in progress for database 'db'");
  EXPECT_EQ(SqlDetail([&] { db_.Run("commit"); }), "Transaction not in progress for database 'db'");
}

TEST_F(QueryExecutionTest, CannedResultsGoWhereIntoSaysAndGeneratedOnesAreDeleted) {
  {
    TQueryStatement s(db_.Db());
    s.Prepare("select NB, CMT from kifulist where NB < 3 order by NB desc");
    TQueryResult* r = s.Execute();
    ASSERT_TRUE(r && r->Generated());
    EXPECT_EQ(SqlDatabase::Read(*r), (std::vector<std::string>{"2|game 2", "1|game 1"}));
  }
  db_.Run("select NB as N, CMT into saved from kifulist where NB < 3");
  EXPECT_EQ(db_.Rows("select N from saved order by N"), (std::vector<std::string>{"1", "2"}));
  // An existing table is never overwritten.
  std::uint16_t code = 0;
  SqlDetail([&] { db_.Run("select * into saved from kifulist"); }, &code);
  EXPECT_EQ(code, kErrTableExists);
  EXPECT_EQ(db_.Rows("select count(*) from saved"), std::vector<std::string>{"2"});
}

// A single query block is produced straight into record images; encrypted,
// LANGUAGE and UNION results still go row by row. Both ways, and a statement
// refilling its previous result, give the same rows: strings, NULLs, an
// expression column and a column ordered by but not selected among them.
TEST_F(QueryExecutionTest, CannedResultsAreTheSameWhicheverWayTheyAreMade) {
  db_.Run("create table big (A integer, B smallint, S varchar(12), F float)");
  TQueryStatement insert(db_.Db());
  insert.Prepare("insert into big values (?, ?, ?, ?)");
  std::mt19937 rng(5);
  for (int i = 0; i < 700; ++i) {
    auto maybe_null = [&](TExpValue v) { return rng() % 7 == 0 ? TExpValue::Null(v.type) : v; };
    insert.Execute({maybe_null(TExpValue::Int(kFieldInteger, static_cast<int>(rng() % 50) - 10)),
                    maybe_null(TExpValue::Int(kFieldSmallInt, static_cast<int>(rng() % 9))),
                    maybe_null(TExpValue::Str(kFieldString, std::string(1 + rng() % 3, 'a' + rng() % 4))),
                    maybe_null(TExpValue::Float(kFieldFloat, (rng() % 400) / 8.0))});
  }
  const std::vector<std::string> queries = {
      "select A, S, F from big where A > 3 order by S desc, F, A",
      "select B, A * 3 + 1 as X from big where S <> 'b' order by F, 2 desc",
      "select S, A from big order by A desc top 37",
      "select A, B, S, F from big",
      "select S from big where B = 4 order by B top 0"};
  for (const std::string& q : queries) {
    SCOPED_TRACE(q);
    const std::vector<std::string> images = db_.Rows(q);
    EXPECT_EQ(db_.Rows(q + " encrypted with 'pw'"), images);
    EXPECT_EQ(db_.Rows(q + " language 'ANSI Standard'"), images);
    TQueryStatement again(db_.Db());
    again.Prepare(q);
    EXPECT_EQ(SqlDatabase::Read(*again.Execute()), images);
    EXPECT_EQ(SqlDatabase::Read(*again.Execute()), images);
  }
  // The same rows through UNION ALL with an empty second part.
  EXPECT_EQ(db_.Rows("select A, S from big where A < 0 union all select A, S from big where 1 = 0"),
            db_.Rows("select A, S from big where A < 0"));
}

TEST_F(QueryExecutionTest, RowLimitAndTop) {
  TQueryStatement s(db_.Db());
  s.SetRowLimit(2);
  s.Prepare("select NB from kifudata");
  EXPECT_EQ(SqlDatabase::Read(*s.Execute()).size(), 2u);
  EXPECT_EQ(s.RowsAffected(), 2);
  EXPECT_EQ(db_.Rows("select NB from kifulist top 2").size(), 2u);
  // TOP with ORDER BY keeps the first n ordered rows.
  EXPECT_EQ(db_.Rows("select NB from kifulist order by NB desc top 2"),
            (std::vector<std::string>{"6", "5"}));
}

TEST_F(QueryExecutionTest, JoinsGroupingDistinctUnionAndSubSelects) {
  db_.Run("insert into kifulist values (7, 'no moves')");
  EXPECT_EQ(db_.Rows("select l.NB, count(*), sum(d.PNT), min(d.MNO), max(d.PNT), avg(d.MNO) "
                     "from kifulist l join kifudata d on d.NB = l.NB group by l.NB having "
                     "count(*) > 2 and sum(d.PNT) < 40"),
            std::vector<std::string>{"1|3|36|1|13|2"});
  EXPECT_EQ(db_.Rows("select l.NB, d.MNO from kifulist l left join kifudata d on d.NB = l.NB "
                     "where l.NB >= 6 order by 1, 2"),
            (std::vector<std::string>{"6|1", "6|2", "6|3", "7|NULL"}));
  EXPECT_EQ(
      db_.Rows("select d.PNT, l.NB from kifulist l right outer join kifudata d on d.NB = "
               "l.NB and l.NB = 1 where d.MNO = 1 order by 1"),
      (std::vector<std::string>{"11|1", "21|NULL", "31|NULL", "41|NULL", "51|NULL", "61|NULL"}));
  EXPECT_EQ(db_.Rows("select count(*) from kifulist a, kifudata b where a.NB = b.NB"),
            std::vector<std::string>{"18"});
  EXPECT_EQ(db_.Rows("select distinct CLR from kifudata order by CLR"),
            (std::vector<std::string>{"1", "2"}));
  EXPECT_EQ(
      db_.Rows("select NB from kifulist where NB < 3 union select NB from kifudata where NB < 4")
          .size(),
      3u);
  EXPECT_EQ(db_.Rows("select NB from kifulist where NB < 3 union all select NB from kifudata where "
                     "NB < 3")
                .size(),
            8u);
  EXPECT_EQ(db_.Rows("select NB from kifulist where NB not in (select NB from kifudata) "),
            std::vector<std::string>{"7"});
  EXPECT_EQ(db_.Rows("select count(*), sum(NB) from kifulist where NB > 100"),
            std::vector<std::string>{"0|NULL"});
  EXPECT_EQ(db_.Rows("select CLR, runsum(PNT) from kifudata group by CLR"),
            (std::vector<std::string>{"1|222", "2|666"}));
}

TEST_F(QueryExecutionTest, DdlBuildsAltersAndDropsRealTables) {
  db_.Run(
      "create table g (ID autoinc, NAME char(10) not null, SCORE decimal(8,2), primary key (ID))");
  db_.Run("insert into g (NAME, SCORE) values ('a', 1.5)");
  db_.Run("insert into g (NAME, SCORE) values ('b', 2.25)");
  EXPECT_EQ(db_.Rows("select * from g order by ID"),
            (std::vector<std::string>{"1|a|1.5", "2|b|2.25"}));
  EXPECT_TRUE(Live("select * from g order by ID"));
  db_.Run("create unique index ByName on g (NAME)");
  EXPECT_TRUE(Live("select * from g order by NAME"));
  std::uint16_t code = 0;
  SqlDetail([&] { db_.Run("insert into g (NAME) values ('a')"); }, &code);
  EXPECT_EQ(code, kErrDuplicateKey);
  db_.Run("alter table g add column NOTE varchar(20), drop SCORE, redefine NAME char(20)");
  EXPECT_EQ(db_.Rows("select * from g order by ID"),
            (std::vector<std::string>{"1|a|NULL", "2|b|NULL"}));
  EXPECT_TRUE(Live("select * from g order by NAME"));
  for (const auto& e : std::filesystem::directory_iterator(db_.Path()))
    EXPECT_NE(e.path().extension(), ".DBK") << "backups of the old structure are gone";
  // A conversion that fails leaves the table as it was.
  EXPECT_NE(SqlDetail([&] { db_.Run("alter table g redefine NAME integer"); }), "");
  EXPECT_EQ(db_.Rows("select NAME from g order by ID"), (std::vector<std::string>{"a", "b"}));
  db_.Run("drop index g.ByName");
  EXPECT_FALSE(Live("select * from g order by NAME"));
  db_.Run("update g set NOTE = NAME || '!' where ID = 2");
  EXPECT_EQ(db_.Rows("select NOTE from g where ID = 2"), std::vector<std::string>{"b!"});
  db_.Run("drop table g");
  SqlDetail([&] { db_.Run("select * from g"); }, &code);
  EXPECT_EQ(code, kErrTableMissing);
  db_.Run("drop table if exists g");
  db_.Run("create table if not exists kifulist (X integer)");
  EXPECT_EQ(db_.Rows("select count(*) from kifulist"), std::vector<std::string>{"6"});
}

// A correlated sub-select runs for each outer value (a non-correlated
// reading of the same text gives other rows), also in the WHERE of changes;
// joined UPDATE and DELETE change each target record once, with values of
// the joined tables.
TEST_F(QueryExecutionTest, CorrelatedSubSelectsAndJoinedChanges) {
  // Game k has moves scoring 10k + m; more than 11k only for m > k.
  const std::string correlated =
      "(select d.NB from kifudata d where d.PNT > kifulist.NB * 11 and d.MNO > 0)";
  EXPECT_EQ(db_.Rows("select NB from kifulist where NB in " + correlated + " order by 1"),
            (std::vector<std::string>{"1", "2"}));
  EXPECT_EQ(db_.Rows("select NB from kifulist where NB not in " + correlated + " order by 1"),
            (std::vector<std::string>{"3", "4", "5", "6"}));
  std::int32_t affected = -1;
  db_.Rows("update kifulist set CMT = 'short' where NB in " + correlated, {}, false, &affected);
  EXPECT_EQ(affected, 2);
  db_.Rows("delete from kifudata join kifulist l on l.NB = kifudata.NB where l.CMT = 'short'", {},
           false, &affected);
  EXPECT_EQ(affected, 6);
  // Each target record once, though two list rows join each of them.
  db_.Run("insert into kifulist values (6, 'again')");
  db_.Rows(
      "update kifudata set PNT = l.NB + 100 from kifulist l where l.NB = kifudata.NB and "
      "kifudata.MNO = 1",
      {}, false, &affected);
  EXPECT_EQ(affected, 4);
  EXPECT_EQ(db_.Rows("select NB, PNT from kifudata where MNO = 1 order by 1"),
            (std::vector<std::string>{"3|103", "4|104", "5|105", "6|106"}));
  // An outer column named without its table, where the sub-select's own
  // table lacks that name (CMT); a name both have (NB) is the sub-select's.
  EXPECT_EQ(db_.Rows("select NB from kifulist where NB in (select d.NB from kifudata d "
                     "where d.PNT > NB * 11 and CMT <> 'x')"),
            db_.Rows("select NB from kifulist where NB in (select d.NB from kifudata d "
                     "where d.PNT > d.NB * 11 and kifulist.CMT <> 'x')"));
  EXPECT_EQ(db_.Rows("select NB from kifulist where NB in (select NB from kifudata "
                     "where MNO = 1 and CMT = 'again') order by 1"),
            (std::vector<std::string>{"6"}));
  // A correlation the sub-select's query and the queries around it lack.
  std::uint16_t code = 0;
  SqlDetail(
      [&] {
        db_.Run(
            "select NB from kifulist where NB in (select d.NB from kifudata d "
            "where d.NB = x.NB)");
      },
      &code);
  EXPECT_EQ(code, 11949);
}

}  // namespace
}  // namespace kura::test
