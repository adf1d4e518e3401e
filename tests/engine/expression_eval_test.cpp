// Evaluation rules for one record: NULLs, comparisons of mixed widths and
// types, string order under the built-in ordering and a language, LIKE,
// the functions, and AND/OR taking the right side first.
#include <gtest/gtest.h>

#include "tests/engine/engine_test_support.h"

namespace kura::test {
namespace {

class Evaluation : public ::testing::Test {
 protected:
  Evaluation()
      : table_({Field("I", kFieldInteger), Field("S", kFieldString, 10), Field("F", kFieldFloat),
                Field("D", kFieldDate), Field("B", kFieldBoolean), Field("T", kFieldTime),
                Field("N", kFieldInteger), Field("E", kFieldString, 10), Field("W", kFieldSmallInt),
                Field("L", kFieldLargeInt)}) {
    record_ = table_.Insert(
        {TExpValue::Int(kFieldInteger, 5), TExpValue::Str(kFieldString, "abc"),
         TExpValue::Float(kFieldFloat, 2.5), TExpValue::Int(kFieldDate, DayNumber(2020, 3, 15)),
         TExpValue::Bool(true), TExpValue::Int(kFieldTime, ((12 * 60 + 34) * 60 + 56) * 1000 + 789),
         TExpValue::Null(), TExpValue::Null(), TExpValue::Int(kFieldSmallInt, -3),
         TExpValue::Int(kFieldLargeInt, std::int64_t{1} << 40)});
  }
  bool Eval(const std::string& text) {
    TTableRecordSource source(table_.Table());
    const auto filter =
        table_.Filter(text, [&](const std::string& t) { return source.LastAutoInc(t); });
    return filter->Matches(source.ReadRecord(record_));
  }

  ScratchTable table_;
  std::int32_t record_ = 0;
};

TEST_F(Evaluation, RulesTableDriven) {
  const std::vector<std::pair<std::string, bool>> cases = {
      // NULL rules
      {"N = NULL", true},
      {"N IS NULL", true},
      {"I IS NULL", false},
      {"N <> 1", true},
      {"N = 1", false},
      {"N < 1", false},
      {"N >= 1", false},
      {"N = N", true},
      {"N <> N", false},
      {"NOT (N = 1)", true},
      {"E < 'a'", true},
      {"E >= 'a'", false},
      {"E <= ''", true},
      {"E = ''", true},
      {"E <> 'x'", true},
      {"S <> 'x'", true},
      {"I + N IS NULL", true},
      {"(N = 1) OR (N IS NULL)", true},
      // numbers of different widths and types
      {"I = 5.0", true},
      {"I < 5.5", true},
      {"W = -3", true},
      {"W < I", true},
      {"L = 1099511627776", true},
      {"L > 2147483648", true},
      {"F > 2", true},
      {"F = 2.5", true},
      {"F * 2 = I", true},
      {"I / 2 = 2.5", true},
      {"I - 7 = -2", true},
      {"1 / 0 IS NULL", true},
      {"B = TRUE", true},
      {"B > FALSE", true},
      {"NOT B", false},
      // strings (bytes, case-sensitive), dates and times
      {"S = 'abc'", true},
      {"S = 'ABC'", false},
      {"UPPER(S) = 'ABC'", true},
      {"LOWER('ABC') = S", true},
      {"S < 'abd'", true},
      {"S > 'ab'", true},
      {"'b' > S", true},
      {"'a' < 'B'", false},
      {"#97 || 'bc' = S", true},
      {"S + S = 'abcabc'", true},
      {"D = CAST('2020-03-15' AS DATE)", true},
      {"D + 1 = CAST('2020-03-16' AS DATE)", true},
      {"D - CAST('2020-03-01' AS DATE) = 14", true},
      {"CAST(D AS TIMESTAMP) < CAST('2020-03-15 00:00:01' AS TIMESTAMP)", true},
      {"T > CAST('12:00:00' AS TIME)", true},
      // LIKE
      {"S LIKE 'a%'", true},
      {"S LIKE '%c'", true},
      {"S LIKE 'a_c'", true},
      {"S LIKE '_'", false},
      {"S LIKE '%'", true},
      {"E LIKE '%'", true},
      {"S LIKE '%b%'", true},
      {"S LIKE 'A%'", false},
      {"'aXbXc' LIKE '%X%c'", true},
      {"'abab' LIKE '%ab'", true},
      {"'abx' LIKE '%ab'", false},
      {"S NOT LIKE 'x%'", true},
      {"'\x82\xA0\x82\xA2' LIKE '_\x82\xA2'", true},
      {"'\x82\xA0\x82\xA2' LIKE '__\x82\xA2'", false},
      // functions
      {"LENGTH(S) = 3", true},
      {"SUBSTRING(S FROM 2) = 'bc'", true},
      {"SUBSTRING(S FROM 2 FOR 1) = 'b'", true},
      {"SUBSTRING(S FROM 9) IS NULL", true},
      {"REPLACE('b' WITH 'xx' IN S) = 'axxc'", true},
      {"POS('c' IN S) = 3", true},
      {"POS('z' IN S) = 0", true},
      {"OCCURS('an' IN 'banana') = 2", true},
      {"TRIM(LEADING 'a' FROM S) = 'bc'", true},
      {"TRIM(BOTH 'x' FROM 'xxaxx') = 'a'", true},
      {"TRIM(TRAILING 'x' FROM 'xxaxx') = 'xxa'", true},
      {"EXTRACT(YEAR FROM D) = 2020", true},
      {"EXTRACT(MONTH FROM D) = 3", true},
      {"EXTRACT(DAY FROM D) = 15", true},
      {"EXTRACT(DAYOFWEEK FROM D) = 1", true},
      {"EXTRACT(DAYOFYEAR FROM D) = 75", true},
      {"EXTRACT(HOUR FROM T) = 12", true},
      {"EXTRACT(MINUTE FROM T) = 34", true},
      {"EXTRACT(SECOND FROM T) = 56", true},
      {"CAST(I AS CHAR(5)) = '5'", true},
      {"CAST('42' AS INTEGER) = 42", true},
      {"CAST(F AS INTEGER) = 2", true},
      {"CAST(I AS BOOLEAN)", true},
      {"ABS(W) = 3", true},
      {"ROUND(2.5) = 3", true},
      {"ROUND(1.25 TO 1) = 1.3", true},
      {"IF(I > 1 THEN 'big' ELSE 'small') = 'big'", true},
      {"IF(N > 1, 1, 2) = 2", true},
      {"IFNULL(N, 1, 2) = 1", true},
      {"IFNULL(I THEN 1 ELSE 2) = 2", true},
      {"COALESCE(N, I, 7) = 5", true},
      {"COALESCE(N) IS NULL", true},
      {"LASTAUTOINC('T') = 1", true},
      // AND/OR decide by their right side without evaluating the left
      {"9223372036854775807 + I > 0 OR I = 5", true},
      {"9223372036854775807 + I > 0 AND I = 4", false},
  };
  for (const auto& [text, expected] : cases)
    EXPECT_EQ(Eval(text), expected) << text;
}

TEST_F(Evaluation, ErrorsRaisedAtEvaluation) {
  std::uint16_t code = 0;
  EXPECT_EQ(DetailOf([&] { Eval("I = 5 OR 9223372036854775807 + I > 0"); }, &code),
            "Arithmetic overflow in 9223372036854775807 + I in filter expression");
  EXPECT_EQ(code, kErrFilter);
  EXPECT_EQ(DetailOf([&] { Eval("TEXTSEARCH('go' IN S)"); }, &code),
            "TEXTSEARCH needs a text index on column 'S', and text indexes are not available for "
            "this table in filter expression");
  EXPECT_EQ(code, kErrFilter);
  EXPECT_EQ(DetailOf([&] { Eval("CAST('x1' AS INTEGER) = 1"); }, &code),
            "Cannot CAST 'x1' to INTEGER in filter expression");
  EXPECT_EQ(DetailOf([&] { Eval("TEXTOCCURS('go' IN S) > 1"); }).find("text index") > 0, true);
}

TEST(EvaluationLanguage, StringsCompareUnderTheTablesCollation) {
  ScratchTable t({Field("S", kFieldString, 10)}, 1033);
  const std::int32_t n = t.Insert({TExpValue::Str(kFieldString, "abc")});
  TTableRecordSource source(t.Table());
  const std::vector<std::pair<std::string, bool>> cases = {
      {"'a' < 'B'", true},   {"S < 'ABD'", true},        {"S = 'abc'", true},
      {"S = 'ABC'", false},  {"UPPER(S) = 'ABC'", true}, {"S LIKE 'A%'", false},
      {"S LIKE '_b%'", true}};
  for (const auto& [text, expected] : cases)
    EXPECT_EQ(t.Filter(text)->Matches(source.ReadRecord(n)), expected) << text;
}

}  // namespace
}  // namespace kura::test
