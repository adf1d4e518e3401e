// The SQL grammar: every refusal with its detail text, and what parsing
// records for execution (flags, names, parameters, the DDL parts).
#include <gtest/gtest.h>

#include "tests/engine/sql/sql_test_support.h"

namespace kura::test {
namespace {

class SqlParserTest : public ::testing::Test {
 protected:
  std::string Refusal(const std::string& sql) {
    TQueryStatement s(db_.Db());
    std::uint16_t code = 0;
    const std::string detail = SqlDetail([&] { s.Prepare(sql); }, &code);
    EXPECT_EQ(code, detail.empty() ? 0 : kErrSql) << sql;
    EXPECT_FALSE(s.Prepared()) << sql;
    return detail;
  }
  TDataQuery& Parse(TQueryStatement& s, const std::string& sql) {
    s.Prepare(sql);
    return s.MainQuery();
  }
  SqlDatabase db_;
};

TEST_F(SqlParserTest, EveryRefusalCarriesItsDetailText) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"",
       "SELECT, INSERT, UPDATE, DELETE, CREATE, ALTER, or DROP keyword expected, instead found ''"},
      {"FETCH x",
       "SELECT, INSERT, UPDATE, DELETE, CREATE, ALTER, or DROP keyword expected, instead found "
       "'FETCH'"},
      {"(update t)", "SELECT keyword expected, instead found 'update'"},
      {"(select * from t", "Right parentheses expected after SELECT statement, instead found ''"},
      {"select * t", "FROM keyword expected, instead found 't'"},
      {"select * from", "Table name expected after FROM keyword, instead found ''"},
      {"select * from 5", "Table name expected after FROM keyword, instead found '5'"},
      {"select a as 5 from t", "Symbol or string expected after AS keyword, instead found '5'"},
      {"select * from t as 5", "Symbol or string expected after AS keyword, instead found '5'"},
      {"select a as x.( from t",
       "Symbol or string expected after table correlation name, instead found '('"},
      {"select * from t join", "Table name expected after JOIN keyword, instead found ''"},
      {"select * from t join u where", "ON keyword expected in JOIN clause, instead found 'where'"},
      {"select * from t inner u", "JOIN keyword expected after INNER keyword, instead found 'u'"},
      {"select * from t left outer u",
       "JOIN keyword expected after LEFT or OUTER keyword, instead found 'u'"},
      {"select * from t right x",
       "JOIN keyword expected after RIGHT or OUTER keyword, instead found 'x'"},
      {"select * from t order NB", "BY keyword expected after ORDER keyword, instead found 'NB'"},
      {"select * from t order by 'x'",
       "Column name or column number expected in ORDER BY clause, instead found 'x'"},
      {"select * from t group NB", "BY keyword expected after GROUP keyword, instead found 'NB'"},
      {"select * from t group by ,",
       "Column name or column number expected in GROUP BY clause, instead found ','"},
      {"select * from t top x", "Integer value expected after TOP keyword, instead found 'x'"},
      {"select * from t with x", "LOCKS keyword expected after WITH keyword, instead found 'x'"},
      {"select * into from t", "Result table name expected in INTO clause, instead found 'from'"},
      {"select * from t where NB > 0 x", "End of SELECT statement expected, instead found 'x'"},
      {"select * from t language 'Klingon'",
       "Invalid language constant 'Klingon' specified after LANGUAGE keyword"},
      {"select * from t language 'ANSI Standard' sort 'Nope'",
       "Invalid sort constant 'Nope' specified after SORT keyword"},
      {"select * from t encrypted 'pw'",
       "WITH keyword expected after ENCRYPTED keyword, instead found 'pw'"},
      {"select * from t where a in (select * into r from u)",
       "The INTO clause can only be used with the master query"},
      {"select * from t union select * into r from u",
       "The INTO clause can only be used with the master query"},
      {"select * from t order by a union select * from u",
       "You cannot use an ORDER BY clause within a UNIONed query"},
      {"select * from t union select * from u order by a",
       "You cannot use an ORDER BY clause within a UNIONed query"},
      {"select ? from t", "Parameters are not allowed in source column expression"},
      {"select * from t group by a having ? > 1", "Parameters are not allowed in HAVING clause"},
      {"select sum(count(a)) from t", "Aggregate functions cannot be nested"},
      {"select 1 + sum(a) from t", "Aggregate functions cannot be used within expressions"},
      {"select * from t where sum(a) > 1", "Aggregate functions are not allowed in WHERE clause"},
      {"select * from t having a > 1",
       "A GROUP BY clause must exist in order to use the HAVING clause"},
      {"select * from t where x.a = 1",
       "Table correlation name 'x' referenced in WHERE clause is not defined in the FROM clause"},
      {"select * from t a, u a", "Duplicate table correlation name 'a' found in source tables"},
      {"select * from t, t", "Duplicate table correlation name 't' found in source tables"},
      {"select * from t where", "Unknown or unexpected symbol '' found in WHERE clause"},
      {"insert t values (1)", "INTO keyword expected, instead found 't'"},
      {"insert into (a) values (1)", "Table name expected after INTO keyword, instead found '('"},
      {"insert into t (a, b values (1)",
       "Right parentheses expected after list of table columns, instead found 'values'"},
      {"insert into t values 1",
       "Left parentheses expected after VALUES keyword, instead found '1'"},
      {"insert into t values (1, 2",
       "Right parentheses expected after list of values, instead found ''"},
      {"insert into t (a) 1", "VALUES or SELECT  keyword expected, instead found '1'"},
      {"insert into t values (1) commit",
       "INTERVAL and/or FLUSH keywords expected after COMMIT keyword, instead found ''"},
      {"insert into t values (1) commit interval x",
       "Integer value expected after INTERVAL keyword, instead found 'x'"},
      {"insert into t values (1) x", "End of INSERT statement expected, instead found 'x'"},
      {"update 5 set a = 1", "Table name expected, instead found '5'"},
      {"update t a = 1", "SET keyword expected, instead found '='"},
      {"update t set a 1", "Assignment (=) operator expected after column name, instead found '1'"},
      {"update t set a = 1 where b = 2 nojoinoptimize x",
       "End of UPDATE statement expected, instead found 'x'"},
      {"delete t", "FROM keyword expected, instead found 't'"},
      {"delete from t where a = 1 commit flush more",
       "End of DELETE statement expected, instead found 'more'"},
      {"create table t (a integer) x", "End of CREATE TABLE statement expected, instead found 'x'"},
      {"drop table t x", "End of DROP TABLE statement expected, instead found 'x'"},
      {"start transaction now", "End of START TRANSACTION statement expected, instead found 'now'"},
      {"rollback x", "End of ROLLBACK statement expected, instead found 'x'"},
      {"commit work flush x", "End of COMMIT statement expected, instead found 'x'"},
  };
  for (const auto& [sql, detail] : cases)
    EXPECT_EQ(Refusal(sql), detail) << sql;
}

TEST_F(SqlParserTest, NestingIsBoundedInsteadOfExhaustingTheStack) {
  std::string deep = "select * from t where " + std::string(100000, '(') + "1";
  EXPECT_NE(Refusal(deep).find("nested too deeply"), std::string::npos);
  std::string subs = "select * from t where a in (";
  for (int i = 0; i < 200; ++i)
    subs += "select a from t where a in (";
  EXPECT_NE(Refusal(subs).find("nested"), std::string::npos);
  EXPECT_NE(Refusal("select * from t where " + std::string(50000, '-') + "1").find("nested"),
            std::string::npos);
}

TEST_F(SqlParserTest, SelectRecordsClausesFlagsAndNames) {
  TQueryStatement s(db_.Db());
  s.SetRequestLive(true);
  s.SetRowLimit(7);
  TDataQuery& q = Parse(s,
                        "SeLeCt distinct a, b+1 as \"two\", t.c [three], * From [my t] x "
                        "left outer join u on u.k = x.a, memory w\r\n"
                        "Where a > ? and u.v < ? oRdEr By 1 desc, x.b Ascending nocase "
                        "top 5 with locks language 'ANSI Standard' nojoinoptimize;");
  EXPECT_EQ(q.kind, kStmtSelect);
  EXPECT_TRUE(q.distinct && q.has_where && q.multiple_tables && q.has_order_by && q.order_nocase &&
              q.with_locks && q.no_join_optimize && q.has_expressions);
  EXPECT_FALSE(q.select_all || q.grouped);
  EXPECT_TRUE(q.request_live);
  EXPECT_EQ(q.row_limit, 7);
  EXPECT_EQ(q.top, 5);
  ASSERT_EQ(q.columns.size(), 4u);
  EXPECT_EQ(q.columns[0].name, "a");
  EXPECT_EQ(q.columns[1].name, "two");
  EXPECT_TRUE(q.columns[1].is_expression);
  EXPECT_EQ(q.columns[1].text, "b+1");
  EXPECT_EQ(q.columns[2].name, "three");
  EXPECT_EQ(q.columns[2].correlation, "t");
  EXPECT_TRUE(q.columns[3].all_columns);
  ASSERT_EQ(q.sources.size(), 3u);
  EXPECT_EQ(q.sources[0].name, "my t");
  EXPECT_EQ(q.sources[0].correlation, "x");
  EXPECT_EQ(q.sources[1].correlation, "u");
  EXPECT_EQ(q.sources[1].join.kind, kJoinLeft);
  EXPECT_TRUE(q.sources[1].join.condition);
  EXPECT_TRUE(q.sources[2].in_memory);
  EXPECT_EQ(q.sources[2].position, 3);
  ASSERT_EQ(q.order_by.size(), 2u);
  EXPECT_EQ(q.order_by[0].number, 1);
  EXPECT_TRUE(q.order_by[0].descending);
  EXPECT_EQ(q.order_by[1].correlation, "x");
  EXPECT_EQ(q.order_by[1].name, "b");
  EXPECT_FALSE(q.order_by[1].descending);
  EXPECT_EQ(s.Parameters().size(), 2u);
}

TEST_F(SqlParserTest, CorrelationNamesDefaultAndStopAtClauseWords) {
  TQueryStatement s(db_.Db());
  TDataQuery& q = Parse(s, "select * from db\\kifulist where NB > 0");
  EXPECT_EQ(q.sources[0].database, "db");
  EXPECT_EQ(q.sources[0].correlation, "kifulist");
  EXPECT_TRUE(q.has_where);
  EXPECT_TRUE(q.select_all);
  TQueryStatement s2(db_.Db());
  EXPECT_EQ(Parse(s2, "select * from \"/tmp/x/games.dat\" order by 1").sources[0].correlation,
            "games");
  TQueryStatement s3(db_.Db());
  TDataQuery& g = Parse(s3, "select a, count(*), avg(b) from t group by a having count(*) > 1");
  EXPECT_TRUE(g.grouped && g.has_having);
  EXPECT_EQ(g.columns[1].aggregate, kAggKindCount);
  EXPECT_EQ(g.columns[2].aggregate, kAggKindAvg);
  // DISTINCT is dropped when the query groups.
  TQueryStatement s4(db_.Db());
  EXPECT_FALSE(Parse(s4, "select distinct a, sum(b) from t group by a").distinct);
}

TEST_F(SqlParserTest, OtherStatementKindsRecordTheirParts) {
  TQueryStatement s(db_.Db());
  TDataQuery& ins =
      Parse(s, "insert into memory t (a, b) values (?, 'x') noautoinc commit interval 10 flush");
  EXPECT_EQ(ins.kind, kStmtInsert);
  EXPECT_TRUE(ins.table_in_memory && ins.no_auto_inc && ins.commit_flush);
  EXPECT_EQ(ins.commit_interval, 10);
  EXPECT_EQ(ins.update_fields.size(), 2u);
  EXPECT_EQ(ins.update_values.size(), 2u);
  EXPECT_EQ(s.Parameters().size(), 1u);

  TQueryStatement u(db_.Db());
  TDataQuery& upd = Parse(u, "update t x set a = a + ?, b = 'y' where x.c = ? commit flush");
  EXPECT_EQ(upd.kind, kStmtUpdate);
  EXPECT_EQ(upd.sources[0].correlation, "x");
  EXPECT_EQ(upd.update_fields[1].name, "b");
  EXPECT_EQ(u.Parameters().size(), 2u);

  TQueryStatement c(db_.Db());
  TDataQuery& ct = Parse(
      c,
      "create table if not exists games (NB integer not null, CMT varchar(250) default 'none' "
      "charcase upper description 'comment', PRICE decimal(10, 2) min 0 max 99.5, "
      "primary key (NB desc) compress dupbyte) description 'list' language 'ANSI Standard' "
      "encrypted with 'pw' blob block size 1024");
  EXPECT_EQ(ct.kind, kStmtCreateTable);
  EXPECT_TRUE(ct.if_not_exists);
  ASSERT_EQ(ct.create_fields.size(), 3u);
  EXPECT_TRUE(ct.create_fields[0].not_null);
  EXPECT_EQ(ct.create_fields[1].length, 250);
  EXPECT_EQ(*ct.create_fields[1].default_value, "none");
  EXPECT_EQ(ct.create_fields[1].char_case, 2);
  EXPECT_EQ(ct.create_fields[2].type, kFieldBcd);
  EXPECT_EQ(ct.create_fields[2].scale, 2);
  EXPECT_EQ(*ct.create_fields[2].maximum, "99.5");
  ASSERT_EQ(ct.create_indexes.size(), 1u);
  EXPECT_TRUE(ct.create_indexes[0].fields[0].descending);
  EXPECT_EQ(ct.table_password, "pw");
  EXPECT_EQ(ct.blob_block_size, 1024);

  TQueryStatement i(db_.Db());
  TDataQuery& ci = Parse(
      i, "create unique nocase index if not exists ByName on games (CMT, NB desc) compress full");
  EXPECT_EQ(ci.kind, kStmtCreateIndex);
  EXPECT_TRUE(ci.create_indexes[0].unique && ci.create_indexes[0].nocase);
  EXPECT_EQ(ci.create_indexes[0].fields.size(), 2u);

  TQueryStatement a(db_.Db());
  TDataQuery& al =
      Parse(a, "alter table games add column X smallint, drop CMT, redefine NB largeint");
  EXPECT_EQ(al.alter_actions.size(), 3u);
  EXPECT_EQ(al.alter_actions[2].field.type, kFieldLargeInt);

  TQueryStatement d(db_.Db());
  EXPECT_EQ(Parse(d, "drop index games.ByName").index_name, "ByName");
  TQueryStatement d2(db_.Db());
  EXPECT_TRUE(Parse(d2, "DROP TABLE IF EXISTS games").if_exists);
  TQueryStatement t(db_.Db());
  EXPECT_EQ(Parse(t, "start transaction; insert into t values (1); rollback").kind,
            kStmtStartTransaction);
}

TEST_F(SqlParserTest, StatementKindNames) {
  const char* names[] = {
      "UNKNOWN",           "SELECT",      "INSERT",     "UPDATE",       "DELETE",
      "CREATE TABLE",      "ALTER TABLE", "DROP TABLE", "CREATE INDEX", "DROP INDEX",
      "START TRANSACTION", "ROLLBACK",    "COMMIT"};
  for (int k = 0; k <= 12; ++k)
    EXPECT_EQ(StatementKindName(static_cast<std::uint8_t>(k)), names[k]);
  EXPECT_EQ(StatementKindName(200), "UNKNOWN");
}

}  // namespace
}  // namespace kura::test
