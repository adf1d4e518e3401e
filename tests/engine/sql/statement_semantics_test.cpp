// Whole statements: long conditions, result types of mixed expressions and
// UNION chains, writes that change all their rows or none, values a column
// cannot hold, and the NULL rules across tables.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

#include "tests/engine/sql/sql_test_support.h"

namespace kura::test {
namespace {

class StatementSemanticsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db_.Run("create table p (id integer, v varchar(8), primary key (id))");
    for (int i = 1; i <= 6; ++i)
      db_.Run("insert into p values (" + std::to_string(i) + ", 'v" + std::to_string(i) + "')");
  }
  // The rows of a query, or its error as one row (so that one failing
  // check does not hide the next).
  std::vector<std::string> Rows(const std::string& sql) {
    try {
      return db_.Rows(sql);
    } catch (const EKuraEngineError& e) {
      return {"error: " + std::string(e.what())};
    }
  }
  void Run(const std::string& sql) {
    try {
      db_.Run(sql);
    } catch (const EKuraEngineError& e) {
      ADD_FAILURE() << sql.substr(0, 200) << ": " << e.what();
    }
  }
  std::string One(const std::string& sql) {
    const auto rows = Rows(sql);
    return rows.size() == 1 ? rows[0] : "rows: " + std::to_string(rows.size());
  }
  SqlDatabase db_;
};

// A chain of `n` terms joined by `op`, `term(i)` the i-th term.
template <typename F>
std::string Chain(int n, const std::string& op, F term) {
  std::string s;
  for (int i = 1; i <= n; ++i)
    s += (i > 1 ? op : "") + term(i);
  return s;
}

TEST_F(StatementSemanticsTest, LongFlatConditionsRunAndLongArithmeticIsRefused) {
  // 25,000 terms (about 300 KB): a left-deep tree of that height overflowed
  // the stack, and took memory quadratic in the terms.
  const int n = 25000;
  const std::string any = Chain(n, " OR ", [](int i) { return "id = " + std::to_string(i); });
  EXPECT_EQ(One("select count(*) from p where v = 'v9' or " + any), "6");
  const std::string none =
      Chain(n, " AND ", [](int i) { return "id <> " + std::to_string(i % 5 + 1); });
  EXPECT_EQ(One("select count(*) from p where " + none), "1");
  // Evaluated record by record (no index serves id + 0), in a change.
  Run("update p set v = 'w' where " +
          Chain(n, " OR ", [](int i) { return "id + 0 = " + std::to_string(i % 4 + 2); }));
  EXPECT_EQ(One("select count(*) from p where v = 'w'"), "4");
  // A run of arithmetic is not associative and stays a left-deep tree: a
  // long one is refused, not crashed on.
  std::uint16_t code = 0;
  const std::string sum = Chain(5000, " + ", [](int) { return std::string("id"); });
  const std::string detail = SqlDetail([&] { db_.Rows("select " + sum + " from p"); }, &code);
  EXPECT_EQ(code, 11949);
  EXPECT_NE(detail.find("nested too deeply"), std::string::npos) << detail;
  const std::string short_sum = Chain(900, " + ", [](int) { return std::string("id"); });
  EXPECT_EQ(One("select " + short_sum + " from p where id = 2"), "1800");
}


TEST_F(StatementSemanticsTest, MixedTypesTakeTheirCommonTypeInBranchesSumsAndUnions) {
  Run("create table f (x float, s varchar(20))");
  for (const char* r : {"(1.1, 'Tokyo')", "(2.2, 'a')", "(3.3, NULL)"})
    Run(std::string("insert into f values ") + r);
  // A long-double sum is given as the double nearest to it.
  EXPECT_EQ(One("select sum(x), sum(1.1), avg(x) from f"), "6.6|3.3|2.2");
  EXPECT_EQ(Rows("select s, runsum(x) from f group by s"),
            (std::vector<std::string>{"NULL|3.3", "Tokyo|4.4", "a|6.6"}));
  // IF, IFNULL and COALESCE: an integer and a float branch make a float.
  EXPECT_EQ(Rows("select id, if(id > 1, 1, 2.5) * 2, -if(id > 1, 2.5, id), "
                     "coalesce(null, if(id > 1, null, id), 0.5) from p where id <= 2"),
            (std::vector<std::string>{"1|5|-1|1", "2|2|-2.5|0.5"}));
  EXPECT_EQ(One("select if(id > 1, 1, 2.5), ifnull(id, 3, 0.25) from p where id = 1"), "2.5|0.25");
  // UNION applies to what stands on its left, as written.
  auto sorted = [](std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
  };
  EXPECT_EQ(sorted(Rows("select 1 from p where id < 3 union select 3 from p where id = 1 "
                            "union all select 3 from p where id = 1")),
            (std::vector<std::string>{"1", "3", "3"}));
  EXPECT_EQ(sorted(Rows("select 3 from p where id = 1 union all select 3 from p where id = 1 "
                            "union select 1 from p where id = 1")),
            (std::vector<std::string>{"1", "3"}));
  // A UNION column holds every part's values: the longest string, a float
  // for an integer and a float.
  EXPECT_EQ(sorted(Rows("select v from p where id = 1 union all select s from f")),
            (std::vector<std::string>{"NULL", "Tokyo", "a", "v1"}));
  EXPECT_EQ(sorted(Rows("select id from p where id = 1 union select x from f where x < 2")),
            (std::vector<std::string>{"1", "1.1"}));
  // A float beyond the range of a double is an overflow, not infinity.
  std::uint16_t code = 0;
  const std::string detail = SqlDetail([&] { db_.Rows("select x * 1E308 * 10 from f"); }, &code);
  EXPECT_EQ(code, 11949);
  EXPECT_NE(detail.find("Arithmetic overflow"), std::string::npos) << detail;
}

TEST_F(StatementSemanticsTest, NullEqualsNullInJoinKeysSubSelectsAndGroups) {
  Run("create table e (dept integer, salary integer, code varchar(4))");
  Run("create table d (did integer, budget integer)");
  for (const char* r : {"(1, 10, 'a b')", "(1, NULL, 'a')", "(2, NULL, NULL)", "(NULL, 5, 'c')"})
    Run(std::string("insert into e values ") + r);
  for (const char* r : {"(1, NULL)", "(2, 10)", "(NULL, 5)"})
    Run(std::string("insert into d values ") + r);
  // The same rows whichever way the condition is run: by a hash join on
  // both keys, on one key, or tested row by row.
  const std::vector<std::string> expected{"NULL|5", "1|NULL"};
  for (const char* sql :
       {"select e.dept, e.salary from e, d where e.dept = d.did and d.budget = e.salary",
        "select e.dept, e.salary from e join d on e.dept = d.did where d.budget = e.salary",
        "select e.dept, e.salary from e left join d on d.did = e.dept and d.budget = e.salary "
        "where d.did = e.dept",
        "select e.dept, e.salary from e, d where e.dept + 0 = d.did and d.budget = e.salary"})
    EXPECT_EQ(Rows(std::string(sql) + " order by 1, 2"), expected) << sql;
  // IN (SELECT ...) as IN (list): a NULL probe finds a NULL value.
  EXPECT_EQ(One("select count(*) from e where salary in (select budget from d)"), "4");
  EXPECT_EQ(One("select count(*) from e where salary in (null, 5, 10)"), "4");
  EXPECT_EQ(One("select count(*) from e where e.salary in (select d.budget from d "
                "where d.did = e.dept)"),
            "2");
  // ' ' is stored as NULL: it groups with NULL, once.
  EXPECT_EQ(Rows("select substring(code from 2 for 1), count(*) from e group by 1"),
            (std::vector<std::string>{"NULL|4"}));
  EXPECT_EQ(Rows("select distinct substring(code from 2 for 1) from e"),
            (std::vector<std::string>{"NULL"}));
}

TEST_F(StatementSemanticsTest, AFailedChangeOfSeveralRowsChangesNone) {
  auto ids = [&] { return db_.Rows("select id, v from p order by id"); };
  const std::vector<std::string> start = ids();
  std::uint16_t code = 0;
  auto refused = [&](const std::string& sql) {
    code = 0;
    SqlDetail([&] { db_.Run(sql); }, &code);
    return code;
  };
  // Row 4 changes before row 5 is refused: outside a transaction the
  // statement runs in one of its own.
  EXPECT_EQ(refused("update p set id = 50 where id >= 4"), 9729);
  EXPECT_EQ(ids(), start);
  EXPECT_EQ(refused("insert into p select 10 - id, 'n' from p"), 9729);
  EXPECT_EQ(ids(), start);
  EXPECT_EQ(refused("update p set v = if(id = 5, 'far too long', 'ok')"), 11949);
  EXPECT_EQ(ids(), start);
  // Uniqueness holds for the statement's result: a key shifted either way
  // is no conflict, whatever the order the rows are visited in.
  Run("update p set id = id + 1");
  EXPECT_EQ(One("select min(id), max(id), count(*) from p"), "2|7|6");
  Run("update p set id = id - 1");
  EXPECT_EQ(ids(), start);
  // Chains 1 > 2 > 4 > 8, 3 > 6 > 12, 5 > 10: several rounds.
  Run("update p set id = id * 2");
  EXPECT_EQ(One("select min(id), max(id), sum(id) from p"), "2|12|42");
  Run("update p set id = id / 2");
  EXPECT_EQ(ids(), start);
  // A cycle of keys (a swap) cannot be ordered: refused, nothing changed.
  EXPECT_EQ(refused("update p set id = 7 - id"), 9729);
  EXPECT_EQ(ids(), start);
  // Inside a transaction a failed statement undoes its own changes and
  // leaves the transaction's earlier work.
  for (const char* end : {"rollback", "commit"}) {
    Run("start transaction");
    Run("insert into p values (100, 'x')");
    EXPECT_EQ(refused("update p set id = 50 where id >= 4"), 9729);
    EXPECT_EQ(refused("insert into p select 10 - id, 'n' from p"), 9729);
    // 4, 5 and 100 change before 6 is refused (1 is not the statement's).
    EXPECT_EQ(refused("update p set id = if(id = 6, 1, id + 200) where id >= 4 or id = 100"),
              9729);
    EXPECT_EQ(One("select count(*), sum(id) from p"), "7|121") << end;
    Run("delete from p where id = 100");
    Run(end);
    EXPECT_EQ(ids(), start) << end;
  }
  TSharedTable& p = db_.Db().OpenTable("p", true, false);
  p.Table().ReadLock();
  EXPECT_NO_THROW(p.Table().Verify());
  p.Table().ReleaseReadLock();
  db_.Db().CloseTable(p);
}

TEST_F(StatementSemanticsTest, FunctionsValuesAndMessagesOfTheSmallerRules) {
  Run("create table a (n autoinc, s varchar(8))");
  Run("insert into a (s) values ('x')");
  Run("insert into a (s) values ('y')");
  // LASTAUTOINC and IDENT_CURRENT reach the tables of the database.
  EXPECT_EQ(One("select lastautoinc('a'), ident_current('A') from p where id = 1"), "2|2");
  EXPECT_EQ(One("select count(*) from a where n = lastautoinc('a')"), "1");
  Run("update p set v = 'z' where id = ident_current('a')");
  EXPECT_EQ(One("select v from p where id = 2"), "z");
  // ROUND rounds the decimal text as it reads, half away from zero.
  EXPECT_EQ(One("select round(2.675 to 2), round(61.05 to 1), round(-0.125 to 2), "
                "round(9.995 to 2), round(2.5) from p where id = 1"),
            "2.68|61.1|-0.13|10|3");
  // Trailing blanks are not stored, so they do not count against a length;
  // TRIM takes a double-byte character.
  Run("insert into a (s) values ('abcdefgh   ')");
  EXPECT_EQ(One("select s from a where n = 3"), "abcdefgh");
  const std::string a = "\x83\x41";  // a double-byte character of CP932
  EXPECT_EQ(One("select trim(both '" + a + "' from '" + a + a + "b" + a + "'), trim(leading '" +
                a + "' from '" + a + "\x83" + "b') from p where id = 1"),
            "b|\x83" "b");
  // A date stored into a timestamp column is that day's midnight.
  Run("create table ts (t timestamp)");
  Run("insert into ts values (cast('2020-01-03' as date))");
  EXPECT_EQ(One("select count(*) from ts where t = cast('2020-01-03 00:00:00' as timestamp)"), "1");
  // Messages: a select-list error is not a WHERE error, the primary index
  // is named, a sub-select's column is named.
  std::uint16_t code = 0;
  std::string detail =
      SqlDetail([&] { db_.Rows("select cast(v as integer) from p where id = 1"); }, &code);
  EXPECT_EQ(detail.find("WHERE clause"), std::string::npos) << detail;
  EXPECT_NE(detail.find("source column expression"), std::string::npos) << detail;
  try {
    db_.Run("insert into p values (1, 'again')");
    ADD_FAILURE() << "a duplicate key was stored";
  } catch (const EKuraEngineError& e) {
    EXPECT_EQ(e.Code(), 9729);
    EXPECT_NE(std::string(e.what()).find("'primary key'"), std::string::npos) << e.what();
  }
  detail = SqlDetail([&] { db_.Rows("select id from p where id in (select s from a)"); });
  EXPECT_NE(detail.find("s (CHAR)"), std::string::npos) << detail;
}

TEST_F(StatementSemanticsTest, TopThroughAnIndexGivesTheRowsOfOrderingAll) {
  // ORDER BY 2 (the indexed k) walks the index; ORDER BY 3 (k + 0, the same
  // values) orders every row that passes: the same rows, ties included.
  Run("create table r (id integer, k integer, d date, v varchar(4))");
  Run("create index ByK on r (k)");
  Run("create index ByD on r (d)");
  std::mt19937 rng(5);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  for (int i = 0; i < 300; ++i) {
    const std::string k = pick(0, 9) == 0 ? "NULL" : std::to_string(pick(-20, 20));
    Run("insert into r values (" + std::to_string(i) + ", " + k + ", cast('2020-01-" +
            std::to_string(pick(10, 20)) + "' as date), 'v" + std::to_string(pick(0, 9)) + "')");
  }
  Run("delete from r where id in (3, 50, 51, 299)");
  for (int round = 0; round < 150; ++round) {
    const std::string dir = pick(0, 1) ? " desc" : "";
    const std::string top = " top " + std::to_string(pick(0, 40));
    const std::string col = pick(0, 2) ? "k" : "d";
    // Bounds on the ordering column put the walk's start and end.
    const std::string a = std::to_string(pick(-25, 15)), b = std::to_string(pick(-10, 25));
    const std::string day = "cast('2020-01-" + std::to_string(pick(10, 21)) + "' as date)";
    const std::vector<std::string> bounds = {
        "k between " + a + " and " + b, "k < " + b, a + " <= k", "k > " + a + " and k <= " + b,
        "k = " + a, "d >= " + day, day + " > d", "d between " + day + " and " + day};
    std::string where;
    if (pick(0, 2)) where = "(v like 'v" + std::to_string(pick(0, 9)) + "%' or id < " +
                            std::to_string(pick(0, 99)) + ")";
    if (pick(0, 2)) where += (where.empty() ? "" : " and ") + bounds[pick(0, 7)];
    if (!where.empty()) where = " where " + where;
    const std::string base = "select id, " + col + ", " + col + " + 0 from r" + where;
    EXPECT_EQ(Rows(base + " order by 2" + dir + top), db_.Rows(base + " order by 3" + dir + top))
        << base << dir << top;
  }
}
}  // namespace
}  // namespace kura::test
