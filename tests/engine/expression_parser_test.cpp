// The tokenizer, the parser's precedence and constant forms, and every
// parse, binding and type-check message with its error code.
#include <gtest/gtest.h>

#include "tests/engine/engine_test_support.h"

namespace kura::test {
namespace {

std::string Shape(const TExpToken& n) {
  switch (n.kind) {
    case kNodeColumn:
      return n.correlation.empty() ? n.column : n.correlation + "." + n.column;
    case kNodeConstant:
      if (n.is_param) return "?";
      if (n.value.null) return "NULL";
      if (n.type == kFieldString) return "'" + n.value.s + "'";
      return n.text + ":" + std::to_string(n.type);
    case kNodeUnary:
      return "(" + n.text + "u " + Shape(*n.left) + ")";
    case kNodeBinary:
      return "(" + n.text + " " + Shape(*n.left) + " " + Shape(*n.right) + ")";
    default: {
      std::string s = "(" + std::string(n.negated ? "NOT " : "") + n.text;
      for (const auto& o : n.operands)
        s += " " + Shape(*o);
      return s + ")";
    }
  }
}

TEST(ExpressionTokenizer, TokenTypesAndTexts) {
  TExpressionParser p({kErrFilter, "t", "filter expression"});
  p.SetText(
      "abc_1$@ \xE0\x40x [my col] 'it''s' \"q\"\"q\" #12 12 1.5 .5 1e+5 1E+ ( ) , . = < > + - * / "
      "| ; ? \\");
  const std::vector<std::pair<int, std::string>> expected = {{kTokWord, "abc_1$@"},
                                                             {kTokWord, "\xE0@x"},
                                                             {kTokBracketName, "my col"},
                                                             {kTokString, "it's"},
                                                             {kTokQuotedName, "q\"q"},
                                                             {kTokChar, "#12"},
                                                             {kTokInteger, "12"},
                                                             {kTokFloat, "1.5"},
                                                             {kTokFloat, ".5"},
                                                             {kTokFloat, "1e+5"},
                                                             {kTokFloat, "1E+"},
                                                             {'(', "("},
                                                             {')', ")"},
                                                             {',', ","},
                                                             {'.', "."},
                                                             {'=', "="},
                                                             {'<', "<"},
                                                             {'>', ">"},
                                                             {'+', "+"},
                                                             {'-', "-"},
                                                             {'*', "*"},
                                                             {'/', "/"},
                                                             {'|', "|"},
                                                             {';', ";"},
                                                             {'?', "?"},
                                                             {'\\', "\\"},
                                                             {kTokEnd, ""}};
  for (const auto& [type, text] : expected) {
    EXPECT_EQ(p.NextToken(), type) << text;
    EXPECT_EQ(p.TokenText(), text);
  }
  p.SetText("select");
  p.NextToken();
  EXPECT_TRUE(p.IsKeyword("SELECT"));
  EXPECT_TRUE(p.IsToken(kTokWord));
}

TEST(ExpressionParser, PrecedenceAndConstantForms) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"x < > 1", "(<> x 1:6)"},
      {"x<=1 ", "(<= x 1:6)"},
      {"x > = 1", "(>= x 1:6)"},
      {"a OR b AND NOT c = 1", "(OR a (AND b (NOTu (= c 1:6))))"},
      {"a AND b OR c", "(OR (AND a b) c)"},
      {"1 + 2 * 3 - -4 / 2", "(- (+ 1:6 (* 2:6 3:6)) (/ (-u 4:6) 2:6))"},
      {"S || 'x' = 'ax'", "(= (|| S 'x') 'ax')"},
      {"I IS NULL", "(= I NULL)"},
      {"I IS NOT NULL", "(<> I NULL)"},
      {"[Order] = 'it''s'", "(= Order 'it's')"},
      {"S = #65", "(= S 'A')"},
      {"S = #0066", "(= S 'B')"},
      {"S = ''", "(= S NULL)"},
      {"L = 2147483648", "(= L 2147483648:18)"},
      {"I = 2147483647", "(= I 2147483647:6)"},
      {"F = 1.5E3", "(= F 1.5E3:7)"},
      {"F = 99999999999999999999", "(= F 99999999999999999999:7)"},
      {"t.Name = \"my \"\"col\"\"\"", "(= t.Name my \"col\")"},
      {"I /* one */ = /* two */ /**/ 1", "(= I 1:6)"},
      {"I BETWEEN 1 AND 2 AND I <> 3", "(AND (BETWEEN I 1:6 2:6) (<> I 3:6))"},
      {"S NOT LIKE 'a%'", "(NOT LIKE S 'a%')"},
      {"I NOT IN (1, 2 + 3)", "(NOT IN I 1:6 (+ 2:6 3:6))"},
      {"(a OR b) AND c", "(AND (OR a b) c)"},
      {"SUBSTRING(S FROM 2 FOR 3) = 'x'", "(= (SUBSTRING S 2:6 3:6) 'x')"},
      {"REPLACE('a' WITH 'b' IN S) = POS('c' IN S)", "(= (REPLACE 'a' 'b' S) (POS 'c' S))"},
      {"IF(I > 1, 1, 2) = IFNULL(I THEN 3 ELSE 4)",
       "(= (IF (> I 1:6) 1:6 2:6) (IFNULL I 3:6 4:6))"},
      {"Upper = 1", "(= Upper 1:6)"},
  };
  for (const auto& [text, shape] : cases) {
    TExpressionParser p({kErrFilter, "t", "filter expression"});
    EXPECT_EQ(Shape(*p.ParseText(text, kAllowPredicates)), shape) << text;
  }
  TExpressionParser p({kErrFilter, "t", "filter expression"});
  auto tree = p.ParseText("CURRENT_DATE() > CURRENT_TIMESTAMP", kAllowPredicates);
  EXPECT_EQ(tree->left->type, kFieldDate);
  EXPECT_EQ(tree->right->type, kFieldTimestamp);
  EXPECT_EQ(p.ExpressionText(), "CURRENT_DATE() > CURRENT_TIMESTAMP");
}

struct MessageCase {
  std::string text;
  std::string detail;
  std::string context = "filter expression";
  int flags = kAllowPredicates;
};

TEST(ExpressionParser, EveryMessageWithItsCode) {
  ScratchTable t({Field("I", kFieldInteger), Field("S", kFieldString, 10)});
  const std::vector<MessageCase> cases = {
      {"I = 1 /* open", "Missing ending comment slash and asterisk in filter expression"},
      {"[Order = 1", "Missing right bracket after 'Order = 1' in filter expression"},
      {"S = 'abc", "Missing single quote after 'abc' in filter expression"},
      {"\"S = 1", "Missing double quote after 'S = 1' in filter expression"},
      {"S LIKE 'a'",
       "Extended predicate operators (LIKE, BETWEEN, IN, IS NULL) are not allowed in HAVING clause",
       "HAVING clause", kAllowAggregates},
      {"I IS NULL",
       "Extended predicate operators (LIKE, BETWEEN, IN, IS NULL) are not allowed in HAVING clause",
       "HAVING clause", kAllowAggregates},
      {"I IN ()",
       "You must provide at least one value as an operand of the IN operator  in filter "
       "expression"},
      {"I NOT IN ()",
       "You must provide at least one value as an operand of the NOT IN operator  in filter "
       "expression"},
      {"I IN (SELECT I FROM t)", "Sub-select queries are not allowed in filter expression"},
      {"S | S = 'a'",
       "Second concatenation symbol '|' expected after first concatentation symbol, instead found "
       "'S' in filter expression"},
      {"* = 1", "* (all columns) symbol is not allowed in filter expression"},
      {"t.( = 1",
       "Symbol or string expression expected after table correlation name separator '.', instead "
       "found '(' in filter expression"},
      {"COUNT(*) > 1", "Aggregate functions are not allowed in filter expression"},
      {"I = )", "Unknown or unexpected symbol ')' found in filter expression"},
      {"I = 1 = 1", "Unknown or unexpected symbol '=' found in filter expression"},
      {"FOO(1) = 1", "Unknown or unexpected function 'FOO' found in filter expression"},
      {"I = 1E+", "Constant '1E+' is not a valid number in filter expression"},
      {"I = 1.2.3", "Constant '1.2.3' is not a valid number in filter expression"},
      {"S = #256",
       "Character constants (#) must be within the range of 0 to 255 in filter expression"},
      {"? = 1", "Parameters are not allowed in filter expression"},
      {"  /* nothing */ ", "Filter expression is empty"},
      {"SUBSTRING(S FROM 'a') = 'b'",
       "FROM argument of SUBSTRING function must be an integer value in filter expression"},
      {"SUBSTRING(S FROM 1 FOR S) = 'b'",
       "FOR argument of SUBSTRING function must be an integer value in filter expression"},
      {"I = 'a'", "Type mismatch between I (INTEGER) and 'a' (CHAR) in filter expression"},
      {"S + 1 = 'a'", "Type mismatch between S (CHAR) and 1 (INTEGER) in filter expression"},
      {"X = 1", "Invalid column name 'X' in filter expression"},
      {"I + 1", "Filter expression must be a boolean expression"},
      {"I + 1", "WHERE or JOIN clause must be a boolean expression", "WHERE clause", 4 + 8 + 16},
      {"I = 1 = 1", "Unknown or unexpected symbol '=' found in WHERE clause", "WHERE clause",
       4 + 8 + 16},
      {"NOT", "Unknown or unexpected symbol '' found in WHERE clause", "WHERE clause", 4 + 8 + 16},
      {"", "Source column expression is empty", "source column expression", 1 + 2 + 4},
      {"TRIM(BOTH 'ab' FROM S) = 'x'",
       "TRIM character must be a single character constant in filter expression"},
      {"ROUND(I TO 33) = 1",
       "TO argument of ROUND function must be an integer constant from 0 to 32 in filter "
       "expression"},
  };
  for (const MessageCase& c : cases) {
    const bool sql = c.context != "filter expression";
    const TExpressionContext context{sql ? kErrSql : kErrFilter, "t", c.context};
    std::uint16_t code = 0;
    const std::string detail = DetailOf(
        [&] {
          TExpressionParser p(context);
          auto tree = p.ParseText(c.text, c.flags);
          const TDataFile& d = t.Table().Data();
          BindExpression(
              *tree, context,
              [&d](const std::string&, const std::string& n) { return d.FieldByName(n); },
              c.context != "source column expression");
        },
        &code);
    EXPECT_EQ(detail, c.detail) << c.text;
    EXPECT_EQ(code, sql ? kErrSql : kErrFilter) << c.text;
  }
  try {
    t.Filter("I = ");
    FAIL();
  } catch (const EKuraEngineError& e) {
    EXPECT_STREQ(e.what(),
                 "Kura Engine Error # 10051 Filter error for the table 't' - Unknown or unexpected "
                 "symbol '' found in filter expression");
  }
}

}  // namespace
}  // namespace kura::test
