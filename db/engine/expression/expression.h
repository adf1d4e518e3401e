// Expressions of filters and SQL statements: the value type, the parsed tree
// of TExpToken nodes, the tokenizer and parser, binding with type checks, and
// evaluation for one record.
//
// Grammar (lowest precedence first; each level left-associative):
//   or      := and { OR and }                                   (code 11)
//   and     := not { AND not }                                  (code 10)
//   not     := NOT not | compare                                (code 9)
//   compare := additive [ op additive | predicate ]   at most one comparison
//              op: = (3)  <> (4)  > (5)  < (6)  >= (7)  <= (8); the two
//              characters of <>, >=, <= are separate tokens
//   predicate := [NOT] BETWEEN additive AND additive | [NOT] LIKE additive
//              | [NOT] IN ( value {, value} ) | [NOT] IN ( SELECT ... )
//              | IS [NOT] NULL   (becomes = / <> with a NULL constant)
//   additive:= mul { (+ | - | "|" "|") mul }              (17, 18; || is 17)
//   mul     := unary { (* | /) unary }                          (19, 20)
//   unary   := - unary (15) | + unary (16) | primary
//   primary := ( or ) | ? | * | column | correlation . column | constant
//              | function ( ... ) | aggregate ( ... )
//
// Values: integers of every width are held as int64, floats, BCD and money
// as long double (floats are parsed as double so that every float constant
// is exactly a stored double), strings and bytes as byte strings, dates as
// day numbers (0001-01-01 = 1), times as milliseconds since midnight and
// timestamps as milliseconds since 0001-01-01 (a double).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "db/storage/data/data_file.h"
#include "db/storage/data/field_types.h"

namespace kura {

class KeyCaseMapper;
class KeyCollator;

// ---- values ----

struct TExpValue {
  std::uint8_t type = 0;  // field type code; 0 an untyped NULL
  bool null = true;
  std::int64_t i = 0;  // integers, booleans, dates, times
  long double f = 0;   // floats, BCD, extended, timestamps
  std::string s;       // strings, bytes

  static TExpValue Null(std::uint8_t type = 0) {
    TExpValue v;
    v.type = type;
    return v;
  }
  static TExpValue Int(std::uint8_t type, std::int64_t x) {
    TExpValue v;
    v.type = type;
    v.null = false;
    v.i = x;
    return v;
  }
  static TExpValue Float(std::uint8_t type, long double x) {
    TExpValue v;
    v.type = type;
    v.null = false;
    v.f = x;
    return v;
  }
  static TExpValue Str(std::uint8_t type, std::string x) {
    TExpValue v;
    v.type = type;
    v.null = false;
    v.s = std::move(x);
    return v;
  }
  static TExpValue Bool(bool b) { return Int(kFieldBoolean, b ? 1 : 0); }
  bool IsTrue() const { return !null && type == kFieldBoolean && i != 0; }
};

// Type classes of the checker and the evaluator.
bool IsIntegerType(std::uint8_t t);  // 5, 6, 12, 13, 18
bool IsFloatType(std::uint8_t t);    // 7, 8, 14
inline bool IsNumericType(std::uint8_t t) {
  return IsIntegerType(t) || IsFloatType(t);
}
inline bool IsTextType(std::uint8_t t) {
  return t == kFieldString;
}
inline bool IsByteType(std::uint8_t t) {
  return t == kFieldBytes || t == kFieldVarBytes;
}
// The name of a type in messages ("INTEGER", "CHAR", ...).
std::string TypeName(std::uint8_t t);

// A stored field value (value bytes as TDataFile::GetField gives them).
TExpValue DecodeFieldValue(const TValueShape& shape, const std::uint8_t* bytes);
// The value in the field's storage encoding; false when the value does not
// convert exactly to the field's type (out of range, a fraction, too long).
bool EncodeFieldValue(const TValueShape& shape, const TExpValue& v, std::vector<std::uint8_t>* out);

class TExpressionEvaluator;

// ---- parse tree ----

enum TExpNodeKind : std::uint8_t {
  kNodeUnary = 1,
  kNodeBinary = 2,
  kNodeColumn = 4,
  kNodeConstant = 5,
  kNodeFunction = 10,
  kNodePredicate = 12,
};

enum TExpCode : std::uint8_t {
  kOpEqual = 3,
  kOpNotEqual = 4,
  kOpGreater = 5,
  kOpLess = 6,
  kOpGreaterEqual = 7,
  kOpLessEqual = 8,
  kOpNot = 9,
  kOpAnd = 10,
  kOpOr = 11,
  kOpNegate = 15,
  kOpPlus = 16,
  kOpAdd = 17,  // also concatenation
  kOpSubtract = 18,
  kOpMultiply = 19,
  kOpDivide = 20,
  // extended predicates
  kPredLike = 30,
  kPredBetween = 31,
  kPredIn = 32,
  kPredInSelect = 33,
  // functions
  kFnUpper = 40,
  kFnLower,
  kFnLength,
  kFnSubstring,
  kFnReplace,
  kFnPos,
  kFnOccurs,
  kFnTrim,
  kFnExtract,
  kFnCast,
  kFnAbs,
  kFnRound,
  kFnIf,
  kFnIfNull,
  kFnCoalesce,
  kFnTextSearch,
  kFnTextOccurs,
  kFnLastAutoInc,
  kFnIdentCurrent,
  // aggregates
  kAggCount = 70,
  kAggSum,
  kAggAvg,
  kAggMin,
  kAggMax,
  kAggRunSum,
};

inline bool IsComparison(std::uint8_t code) {
  return code >= kOpEqual && code <= kOpLessEqual;
}
inline bool IsAggregate(std::uint8_t code) {
  return code >= kAggCount && code <= kAggRunSum;
}

enum TTrimMode : std::uint8_t { kTrimBoth = 0, kTrimLeading = 1, kTrimTrailing = 2 };
enum TExtractPart : std::uint8_t {
  kPartYear,
  kPartMonth,
  kPartWeek,
  kPartDay,
  kPartDayOfWeek,
  kPartDayOfYear,
  kPartHour,
  kPartMinute,
  kPartSecond,
};

struct TExpToken {
  std::string text;    // the operator, name or constant as written
  std::string source;  // the whole sub-expression as written (for messages)
  std::uint8_t kind = kNodeConstant;
  std::uint8_t code = 0;
  std::uint8_t type = 0;  // result type after parsing (constants) or binding
  int size = 0;           // result size in bytes where it matters (strings)
  int scale = 0;
  TExpValue value;  // constants and parameters
  bool is_param = false;
  bool negated = false;  // NOT LIKE, NOT BETWEEN, NOT IN
  std::unique_ptr<TExpToken> left, right;
  std::vector<std::unique_ptr<TExpToken>> operands;  // functions, predicates
  TExpToken* parent = nullptr;
  int height = 1;  // levels of the tree below and including this node

  // columns
  std::string correlation, column;
  int field_number = 0;
  const TFieldDescriptor* field = nullptr;
  bool case_insensitive = false;  // wrapped in UPPER or LOWER

  // function details: trim mode or extract part, cast target
  std::uint8_t option = 0;
  TValueShape cast;
  bool count_all = false;  // COUNT(*)
  bool distinct = false;   // COUNT(DISTINCT x), SUM(DISTINCT x), ...

  // A correlated IN (SELECT ...) (code kPredInSelect, the probe as the only
  // operand): whether the probe is among the sub-select's values for the
  // record being evaluated. Set by SQL execution for one run.
  std::function<bool(const TExpressionEvaluator&, const TExpValue&, const std::uint8_t*)> in_select;
  // A column of an enclosing query inside a correlated sub-select, holding
  // that query's current value as a constant.
  bool outer_reference = false;

  bool HasColumns() const;
  bool HasParams() const;
};

// Where an expression's errors go: the code to raise (11949 for SQL, 10051
// for filters), the table named in the message and the context name that
// ends every detail text.
struct TExpressionContext {
  std::uint16_t error_code = 0;
  std::string table_name;
  std::string context_name;  // "filter expression", "WHERE clause", ...

  [[noreturn]] void Fail(const std::string& detail) const;
  // detail + " in " + context name
  [[noreturn]] void FailIn(const std::string& detail) const;
};

// ---- tokenizer and parser ----

enum TTokenType : std::uint8_t {
  kTokEnd = 0,
  kTokWord = 1,
  kTokBracketName = 2,
  kTokString = 3,
  kTokQuotedName = 4,
  kTokChar = 5,
  kTokInteger = 6,
  kTokFloat = 7,
  // any other character: its code
};

enum TParseFlags : int {
  kAllowAggregates = 1,
  kAllowAllColumns = 2,
  kAllowPredicates = 4,
  kAllowParams = 8,
  kAllowSubSelects = 16,
};

class TExpressionParser {
 public:
  explicit TExpressionParser(TExpressionContext context);

  // Copies the text and starts at its beginning.
  void SetText(std::string_view text);
  // Reads the next token and returns its type.
  std::uint8_t NextToken();
  std::uint8_t TokenType() const { return token_type_; }
  // The token's text, delimiters of names and strings stripped.
  std::string TokenText() const;
  bool IsKeyword(std::string_view word) const;
  bool IsToken(std::uint8_t type) const { return token_type_ == type; }
  // The text of the last expression parsed, as written.
  std::string ExpressionText() const;

  // Parses an expression starting at the current token (reading the first
  // token when none has been read); leaves the token after it current.
  std::unique_ptr<TExpToken> ParseExpression(int flags);
  // A whole text: empty text and text left over are errors.
  std::unique_ptr<TExpToken> ParseText(std::string_view text, int flags);

  const TExpressionContext& Context() const { return context_; }
  // The context named in messages from here on ("WHERE clause", ...).
  void SetContextName(std::string name) { context_.context_name = std::move(name); }
  // Offset of the current token in the text (where a script's next
  // statement begins).
  std::size_t TokenStart() const { return token_start_; }
  // The "?" parameters in the order they were read.
  const std::vector<TExpToken*>& Parameters() const { return params_; }
  // Parses "IN (SELECT ...)" for SQL statements; without it sub-selects
  // are refused. Called with the SELECT token current; leaves ")" current.
  std::function<void(TExpressionParser&, TExpToken&)> sub_select;

 private:
  struct TChainTerm {
    std::unique_ptr<TExpToken> node;
    std::size_t start, end;  // its text
  };
  std::unique_ptr<TExpToken> ParseOr();
  std::unique_ptr<TExpToken> ParseAnd();
  std::unique_ptr<TExpToken> ParseChain(std::uint8_t code);
  std::unique_ptr<TExpToken> BalancedChain(std::vector<TChainTerm>& terms, std::size_t lo,
                                           std::size_t hi, std::uint8_t code, const char* word);
  std::unique_ptr<TExpToken> ParseNot();
  std::unique_ptr<TExpToken> ParseCompare();
  std::unique_ptr<TExpToken> ParsePredicate(std::unique_ptr<TExpToken> left, std::size_t start);
  std::unique_ptr<TExpToken> ParseAdditive();
  std::unique_ptr<TExpToken> ParseMultiplicative();
  std::unique_ptr<TExpToken> ParseUnary();
  std::unique_ptr<TExpToken> ParsePrimary();
  std::unique_ptr<TExpToken> ParseFunction(std::uint8_t code, std::size_t start);
  std::unique_ptr<TExpToken> ParseCast(std::unique_ptr<TExpToken> node);
  std::unique_ptr<TExpToken> ParseNumber();
  std::unique_ptr<TExpToken> ColumnNode(std::size_t start);

  std::unique_ptr<TExpToken> Binary(std::uint8_t kind, std::uint8_t code, std::string text,
                                    std::unique_ptr<TExpToken> l, std::unique_ptr<TExpToken> r,
                                    std::size_t start);
  void Finish(TExpToken& node, std::size_t start) const;
  // Sets the children's parent links and the node's height (bounded).
  void Link(TExpToken& node) const;
  void Expect(std::uint8_t type);
  void ExpectKeyword(std::string_view word);
  [[noreturn]] void Unexpected() const;
  void SkipBlanks();

  TExpressionContext context_;
  std::string text_;  // zero-terminated copy
  std::size_t pos_ = 0;
  std::size_t token_start_ = 0, token_end_ = 0;
  std::size_t prev_end_ = 0;  // end of the token before the current one
  std::size_t expr_start_ = 0, expr_end_ = 0;
  std::uint8_t token_type_ = kTokEnd;
  bool started_ = false;
  int flags_ = 0;
  std::vector<TExpToken*> params_;
  struct TDepthGuard;
  int depth_ = 0;
};

// Deepest nesting of parentheses, NOT and signs an expression may have.
inline constexpr int kMaxExpressionDepth = 200;
// Tallest tree an expression may build (a flat AND or OR chain of any length
// builds a balanced tree; a run of arithmetic operators one level a term).
inline constexpr int kMaxExpressionHeight = 1000;
// Longest text kept on an inner node of an AND or OR chain.
inline constexpr std::size_t kMaxChainNodeText = 1024;

// ---- binding ----

// Finds a column by correlation (may be empty) and name; null when unknown.
using TColumnResolver =
    std::function<const TFieldDescriptor*(const std::string& correlation, const std::string& name)>;

// Resolves the columns, fills every node's result type and checks types.
// `boolean` demands a boolean result (WHERE, JOIN, filters).
void BindExpression(TExpToken& root, const TExpressionContext& context,
                    const TColumnResolver& resolve, bool boolean);

// The type of a value taken from an expression of type a or one of type b
// (comparable types): integer and float give float, two integer widths a
// 64-bit integer, date and timestamp a timestamp.
std::uint8_t CommonValueType(std::uint8_t a, std::uint8_t b);
// `v` as a value of type `type` (the common type of its expression), for
// numbers and dates; other values keep their type.
TExpValue AsCommonType(TExpValue v, std::uint8_t type);

// ---- evaluation ----

// What evaluation may need beyond the record: the last auto-increment value
// of a table of the same directory (LASTAUTOINC, IDENT_CURRENT).
using TLastAutoIncLookup = std::function<std::int32_t(const std::string& table)>;

class TExpressionEvaluator {
 public:
  // `locale`: language id | sort id << 16 of the comparisons (0: bytes).
  TExpressionEvaluator(const TExpressionContext& context, const TDataFile* data,
                       std::uint32_t locale, TLastAutoIncLookup last_auto_inc = {});
  ~TExpressionEvaluator();

  // `record` is a record image of the bound table (null for a tree without
  // column references).
  TExpValue Evaluate(const TExpToken& node, const std::uint8_t* record) const;
  // Three-way comparison of two non-NULL comparable values.
  int Compare(const TExpValue& a, const TExpValue& b) const;
  // The comparison operator `code` applied under the NULL rules.
  bool CompareOp(std::uint8_t code, const TExpValue& a, const TExpValue& b) const;
  bool Like(const std::string& text, const std::string& pattern) const;
  std::string Upper(const std::string& s) const;
  std::string Lower(const std::string& s) const;
  std::uint32_t Locale() const { return locale_; }
  // The table whose record images Evaluate reads (may be null).
  const TDataFile* Data() const { return data_; }
  // Strings compare upper-cased (a filter's case-insensitive option).
  void SetCaseInsensitive(bool on) { case_insensitive_ = on; }
  bool CaseInsensitive() const { return case_insensitive_; }

 private:
  TExpValue Column(const TExpToken& node, const std::uint8_t* record) const;
  TExpValue Arithmetic(const TExpToken& node, const TExpValue& a, const TExpValue& b) const;
  TExpValue Function(const TExpToken& node, const std::uint8_t* record) const;
  TExpValue Cast(const TExpToken& node, const TExpValue& v) const;
  bool CharEqual(std::string_view a, std::string_view b) const;

  TExpressionContext context_;
  const TDataFile* data_;
  std::uint32_t locale_;
  TLastAutoIncLookup last_auto_inc_;
  const KeyCollator* Collator() const;  // null for byte order (locale 0)
  KeyCaseMapper& Mapper() const;
  mutable std::unique_ptr<KeyCollator> collator_;  // made on first use
  mutable std::unique_ptr<KeyCaseMapper> mapper_;
  bool case_insensitive_ = false;
};

}  // namespace kura
