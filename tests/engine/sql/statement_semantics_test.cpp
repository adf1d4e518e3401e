// Whole statements: long conditions, result types of mixed expressions and
// UNION chains, writes that change all their rows or none, values a column
// cannot hold, and the NULL rules across tables.
#include <gtest/gtest.h>

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
  std::string One(const std::string& sql) {
    const auto rows = db_.Rows(sql);
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
  db_.Run("update p set v = 'w' where " +
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

}  // namespace
}  // namespace kura::test
