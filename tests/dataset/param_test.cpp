#include "db/dataset/param.h"

#include <gtest/gtest.h>

#include "db/common/database_error.h"

namespace kura {
namespace {

TEST(ParamParserTest, MarkersOutsideQuotesBecomePositionalParameters) {
  struct Case {
    std::string sql;
    std::string expected;
    std::vector<std::string> names;
  };
  const Case cases[] = {
      {"select * from kifudata\r\nWhere NB = :NB",
       "select * from kifudata\r\nWhere NB = ?",
       {"NB"}},
      {"a = ':x' and b = :y", "a = ':x' and b = ?", {"y"}},
      {"a = 'it''s :x' or b = :p1_2", "a = 'it''s :x' or b = ?", {"p1_2"}},
      {"\"col:x\" = :v9", "\"col:x\" = ?", {"v9"}},
      {"\"say \"\":x\"\"\" = :_z", "\"say \"\":x\"\"\" = ?", {"_z"}},
      {"t = '12::30' and u = a::b", "t = '12::30' and u = a:b", {}},
      {"x = : y and z = :", "x = : y and z = :", {}},
      {"(:a,:b)", "(?,?)", {"a", "b"}},
      {":a + :a", "? + ?", {"a", "a"}},
      {"n = :\x83\x5Cx;", "n = ?;", {"\x83\x5Cx"}},
      {"x = ':open :y", "x = ':open :y", {}},
      {"::p", ":p", {}},
  };
  for (const Case& c : cases) {
    TParams params;
    EXPECT_EQ(params.ParseSQL(c.sql, true), c.expected) << c.sql;
    ASSERT_EQ(params.Count(), static_cast<int>(c.names.size())) << c.sql;
    for (int i = 0; i < params.Count(); ++i)
      EXPECT_EQ(params[i].Name(), c.names[i]) << c.sql;

    TParams untouched;
    EXPECT_EQ(untouched.ParseSQL(c.sql, false), c.expected);
    EXPECT_EQ(untouched.Count(), 0);
  }
}

TEST(ParamParserTest, ReparsingKeepsValuesOfParametersThatExisted) {
  TParams old;
  old.ParseSQL("where NB = :NB and CMT = :CMT", true);
  old.ParamByName("nb").SetAsInteger(5);
  old[1].SetAsString("first");

  TParams fresh;
  EXPECT_EQ(fresh.ParseSQL("where nb = :nb or nb = :NB or x = :other", true),
            "where nb = ? or nb = ? or x = ?");
  fresh.AssignValues(old);
  ASSERT_EQ(fresh.Count(), 3);
  for (int i : {0, 1}) {
    EXPECT_TRUE(fresh[i].Bound());
    EXPECT_EQ(fresh[i].DataType(), TFieldType::ftInteger);
    EXPECT_EQ(fresh[i].AsInteger(), 5);
  }
  EXPECT_FALSE(fresh[2].Bound());
  EXPECT_EQ(fresh[2].DataType(), TFieldType::ftUnknown);
  EXPECT_TRUE(fresh[2].IsNull());
  EXPECT_EQ(fresh[0].Name(), "nb");  // the new text's spelling
}

TEST(ParamParserTest, ValuesConvertAndBadAccessIsReported) {
  TParams params;
  params.ParseSQL(":a :b :c", true);
  params[0].SetAsString("12");
  params[1].SetAsBoolean(true);
  params[2].SetAsFloat(2.5);
  EXPECT_EQ(params[0].AsInteger(), 12);
  EXPECT_EQ(params[0].GetDataSize(), 3u);
  EXPECT_EQ(params[1].AsString(), "True");
  EXPECT_EQ(params[1].GetDataSize(), 2u);
  EXPECT_EQ(params[2].AsString(), "2.5");
  params[2].Clear();
  EXPECT_TRUE(params[2].IsNull());
  EXPECT_EQ(params[2].DataType(), TFieldType::ftFloat);

  params[0].SetAsString("x1");
  try {
    params[0].AsInteger();
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "'x1' is not a valid integer value");
  }
  try {
    params.ParamByName("zz");
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Parameter 'zz' not found");
  }
  try {
    params[3];
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "List index out of bounds (3)");
  }
}

}  // namespace
}  // namespace kura
