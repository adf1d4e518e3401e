// The tokenizer and the recursive-descent parser of expressions.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <limits>

#include "db/common/code_page.h"
#include "db/engine/expression/expression.h"
#include "db/storage/engine_error.h"

namespace kura {

namespace {

bool IsWordStart(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || (c >= 128 && c <= 254);
}
bool IsWordChar(unsigned char c) {
  return IsWordStart(c) || (c >= '0' && c <= '9') || c == '!' || c == '$' || c == '@';
}
bool IsDigit(unsigned char c) {
  return c >= '0' && c <= '9';
}

bool SameWord(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(a[i])) !=
        std::toupper(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

struct TFunctionName {
  const char* name;
  std::uint8_t code;
};
constexpr TFunctionName kFunctions[] = {
    {"UPPER", kFnUpper},
    {"LOWER", kFnLower},
    {"LENGTH", kFnLength},
    {"SUBSTRING", kFnSubstring},
    {"REPLACE", kFnReplace},
    {"POS", kFnPos},
    {"OCCURS", kFnOccurs},
    {"TRIM", kFnTrim},
    {"EXTRACT", kFnExtract},
    {"CAST", kFnCast},
    {"ABS", kFnAbs},
    {"ROUND", kFnRound},
    {"IF", kFnIf},
    {"IFNULL", kFnIfNull},
    {"COALESCE", kFnCoalesce},
    {"TEXTSEARCH", kFnTextSearch},
    {"TEXTOCCURS", kFnTextOccurs},
    {"LASTAUTOINC", kFnLastAutoInc},
    {"IDENT_CURRENT", kFnIdentCurrent},
    {"COUNT", kAggCount},
    {"SUM", kAggSum},
    {"AVG", kAggAvg},
    {"MIN", kAggMin},
    {"MAX", kAggMax},
    {"RUNSUM", kAggRunSum},
};

struct TCastName {
  const char* name;
  std::uint8_t type;
  std::uint8_t subtype;
  int sized;  // 0 none, 1 (length), 2 (length[, scale])
};
constexpr TCastName kCastTypes[] = {
    {"SMALLINT", kFieldSmallInt, 0, 0},
    {"WORD", kFieldWord, 0, 0},
    {"INTEGER", kFieldInteger, 0, 0},
    {"INT", kFieldInteger, 0, 0},
    {"LARGEINT", kFieldLargeInt, 0, 0},
    {"AUTOINC", kFieldInteger, kSubtypeAutoInc, 0},
    {"DECIMAL", kFieldBcd, 0, 2},
    {"NUMERIC", kFieldBcd, 0, 2},
    {"FLOAT", kFieldFloat, 0, 2},
    {"MONEY", kFieldFloat, kSubtypeMoney, 0},
    {"CHARACTER", kFieldString, 0, 1},
    {"CHAR", kFieldString, 0, 1},
    {"VARCHAR", kFieldString, 0, 1},
    {"BYTES", kFieldBytes, 0, 1},
    {"VARBYTES", kFieldVarBytes, 0, 1},
    {"BINARY", kFieldBytes, 0, 1},
    {"VARBINARY", kFieldVarBytes, 0, 1},
    {"DATE", kFieldDate, 0, 0},
    {"TIME", kFieldTime, 0, 0},
    {"TIMESTAMP", kFieldTimestamp, 0, 0},
    {"BOOLEAN", kFieldBoolean, 0, 0},
    {"BOOL", kFieldBoolean, 0, 0},
    {"BIT", kFieldBoolean, 0, 0},
    {"BLOB", kFieldBlob, kSubtypeBinary, 1},
    {"LONGVARBINARY", kFieldBlob, kSubtypeBinary, 1},
    {"LONGVARCHAR", kFieldBlob, kSubtypeMemo, 1},
    {"MEMO", kFieldBlob, kSubtypeMemo, 1},
    {"GRAPHIC", kFieldBlob, kSubtypeGraphic, 1},
};

constexpr const char* kExtractParts[] = {"YEAR",      "MONTH", "WEEK",   "DAY",   "DAYOFWEEK",
                                         "DAYOFYEAR", "HOUR",  "MINUTE", "SECOND"};

std::unique_ptr<TExpToken> Constant(std::string text, TExpValue v) {
  auto n = std::make_unique<TExpToken>();
  n->kind = kNodeConstant;
  n->text = std::move(text);
  n->type = v.type;
  n->size = static_cast<int>(v.s.size());
  n->value = std::move(v);
  return n;
}

// Local date and time now: day number, milliseconds since midnight.
void LocalNow(std::int32_t* day, std::int32_t* ms) {
  const auto now = std::chrono::system_clock::now();
  const std::time_t t = std::chrono::system_clock::to_time_t(now);
  std::tm tm{};
  localtime_r(&t, &tm);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  *day = DayNumber(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
  *ms = ((tm.tm_hour * 60 + tm.tm_min) * 60 + tm.tm_sec) * 1000 + static_cast<std::int32_t>(millis);
}

}  // namespace

// ---- context ----

void TExpressionContext::Fail(const std::string& detail) const {
  TErrorContext c;
  c.table_name = table_name;
  c.extra_message = detail;
  RaiseEngineError(error_code, c);
}

void TExpressionContext::FailIn(const std::string& detail) const {
  Fail(detail + " in " + context_name);
}

bool TExpToken::HasColumns() const {
  if (kind == kNodeColumn) return true;
  if (left && left->HasColumns()) return true;
  if (right && right->HasColumns()) return true;
  for (const auto& o : operands)
    if (o->HasColumns()) return true;
  return false;
}

bool TExpToken::HasParams() const {
  if (is_param) return true;
  if (left && left->HasParams()) return true;
  if (right && right->HasParams()) return true;
  for (const auto& o : operands)
    if (o->HasParams()) return true;
  return false;
}

// ---- tokenizer ----

TExpressionParser::TExpressionParser(TExpressionContext context) : context_(std::move(context)) {}

void TExpressionParser::SetText(std::string_view text) {
  text_.assign(text);
  // The text ends at its first zero byte, as a zero-terminated copy would.
  text_.resize(std::min(text_.size(), text_.find('\0')));
  pos_ = token_start_ = token_end_ = prev_end_ = expr_start_ = expr_end_ = 0;
  token_type_ = kTokEnd;
  started_ = false;
  params_.clear();
}

void TExpressionParser::SkipBlanks() {
  for (;;) {
    while (pos_ < text_.size() && static_cast<unsigned char>(text_[pos_]) >= 1 &&
           static_cast<unsigned char>(text_[pos_]) <= 32)
      ++pos_;
    if (text_.compare(pos_, 2, "/*") != 0) return;
    const std::size_t end = text_.find("*/", pos_ + 2);
    if (end == std::string::npos)
      context_.Fail("Missing ending comment slash and asterisk in " + context_.context_name);
    pos_ = end + 2;
  }
}

std::uint8_t TExpressionParser::NextToken() {
  started_ = true;
  prev_end_ = token_end_;
  SkipBlanks();
  token_start_ = pos_;
  if (pos_ >= text_.size()) {
    token_end_ = pos_;
    return token_type_ = kTokEnd;
  }
  const auto c = static_cast<unsigned char>(text_[pos_]);
  auto quoted = [&](char close, std::uint8_t type, const char* what) {
    std::size_t p = pos_ + 1;
    for (;;) {
      if (p >= text_.size()) {
        // The text of the unclosed token, delimiters stripped.
        std::string t = text_.substr(pos_ + 1);
        context_.Fail(std::string("Missing ") + what + " after '" + t + "' in " +
                      context_.context_name);
      }
      if (text_[p] == close) {
        if (close != ']' && p + 1 < text_.size() && text_[p + 1] == close) {
          p += 2;
          continue;
        }
        break;
      }
      ++p;
    }
    pos_ = p + 1;
    token_end_ = pos_;
    return token_type_ = type;
  };
  if (IsWordStart(c)) {
    while (pos_ < text_.size() && IsWordChar(static_cast<unsigned char>(text_[pos_])))
      ++pos_;
    token_end_ = pos_;
    return token_type_ = kTokWord;
  }
  if (c == '[') return quoted(']', kTokBracketName, "right bracket");
  if (c == '\'') return quoted('\'', kTokString, "single quote");
  if (c == '"') return quoted('"', kTokQuotedName, "double quote");
  if (c == '#') {
    ++pos_;
    while (pos_ < text_.size() && IsDigit(static_cast<unsigned char>(text_[pos_])))
      ++pos_;
    token_end_ = pos_;
    return token_type_ = kTokChar;
  }
  if (IsDigit(c) || (c == '.' && pos_ + 1 < text_.size() &&
                     IsDigit(static_cast<unsigned char>(text_[pos_ + 1])))) {
    bool is_float = c == '.';
    ++pos_;
    while (pos_ < text_.size()) {
      const auto d = static_cast<unsigned char>(text_[pos_]);
      const auto prev = static_cast<unsigned char>(text_[pos_ - 1]);
      if (IsDigit(d)) {
        ++pos_;
      } else if (d == '.' || d == 'E' || d == 'e' ||
                 ((d == '+' || d == '-') && (prev == 'E' || prev == 'e'))) {
        is_float = true;
        ++pos_;
      } else {
        break;
      }
    }
    token_end_ = pos_;
    return token_type_ = is_float ? kTokFloat : kTokInteger;
  }
  ++pos_;
  token_end_ = pos_;
  return token_type_ = c;
}

std::string TExpressionParser::TokenText() const {
  if (token_type_ == kTokEnd) return {};
  std::string raw = text_.substr(token_start_, token_end_ - token_start_);
  if (token_type_ < kTokBracketName || token_type_ > kTokQuotedName) return raw;
  std::string inner = raw.substr(1, raw.size() - 2);
  if (token_type_ == kTokBracketName) return inner;
  const char q = raw[0];
  std::string out;
  for (std::size_t i = 0; i < inner.size(); ++i) {
    out += inner[i];
    if (inner[i] == q && i + 1 < inner.size() && inner[i + 1] == q) ++i;
  }
  return out;
}

bool TExpressionParser::IsKeyword(std::string_view word) const {
  return token_type_ == kTokWord &&
         SameWord(std::string_view(text_).substr(token_start_, token_end_ - token_start_), word);
}

std::string TExpressionParser::ExpressionText() const {
  return text_.substr(expr_start_, expr_end_ - expr_start_);
}

// ---- parser helpers ----

void TExpressionParser::Unexpected() const {
  context_.Fail("Unknown or unexpected symbol '" + TokenText() + "' found in " +
                context_.context_name);
}

void TExpressionParser::Expect(std::uint8_t type) {
  if (token_type_ != type) Unexpected();
  NextToken();
}

void TExpressionParser::ExpectKeyword(std::string_view word) {
  if (!IsKeyword(word)) Unexpected();
  NextToken();
}

void TExpressionParser::Finish(TExpToken& node, std::size_t start) const {
  node.source = text_.substr(start, prev_end_ > start ? prev_end_ - start : 0);
  Link(node);
}

void TExpressionParser::Link(TExpToken& node) const {
  int height = 0;
  auto child = [&](TExpToken& c) {
    c.parent = &node;
    height = std::max(height, c.height);
  };
  if (node.left) child(*node.left);
  if (node.right) child(*node.right);
  for (auto& o : node.operands)
    child(*o);
  node.height = height + 1;
  // Long runs of + - * / (left-deep, and not associative) are the one way a
  // tree grows tall without nesting; bounding the height keeps every
  // recursive walk of the tree within the stack.
  if (node.height > kMaxExpressionHeight)
    context_.Fail("Expression nested too deeply (more than " +
                  std::to_string(kMaxExpressionHeight) + " operators in a row) in " +
                  context_.context_name);
}

std::unique_ptr<TExpToken> TExpressionParser::Binary(std::uint8_t kind, std::uint8_t code,
                                                     std::string text, std::unique_ptr<TExpToken> l,
                                                     std::unique_ptr<TExpToken> r,
                                                     std::size_t start) {
  auto n = std::make_unique<TExpToken>();
  n->kind = kind;
  n->code = code;
  n->text = std::move(text);
  n->left = std::move(l);
  n->right = std::move(r);
  Finish(*n, start);
  return n;
}

// ---- parser ----

// Bounds the recursion of nested parentheses, NOT and signs, so that no text
// can exhaust the stack.
struct TExpressionParser::TDepthGuard {
  explicit TDepthGuard(TExpressionParser& p) : p_(p) {
    if (++p_.depth_ > kMaxExpressionDepth)
      p_.context_.Fail("Expression nested too deeply (more than " +
                       std::to_string(kMaxExpressionDepth) + " levels) in " +
                       p_.context_.context_name);
  }
  ~TDepthGuard() { --p_.depth_; }
  TExpressionParser& p_;
};

std::unique_ptr<TExpToken> TExpressionParser::ParseExpression(int flags) {
  if (!started_) NextToken();
  flags_ = flags;
  expr_start_ = token_start_;
  auto tree = ParseOr();
  expr_end_ = prev_end_;
  return tree;
}

std::unique_ptr<TExpToken> TExpressionParser::ParseText(std::string_view text, int flags) {
  SetText(text);
  NextToken();
  if (token_type_ == kTokEnd) {
    std::string name = context_.context_name;
    if (!name.empty())
      name[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(name[0])));
    context_.Fail(name + " is empty");
  }
  auto tree = ParseExpression(flags);
  if (token_type_ != kTokEnd) Unexpected();
  return tree;
}

std::unique_ptr<TExpToken> TExpressionParser::ParseOr() {
  const TDepthGuard depth(*this);
  return ParseChain(kOpOr);
}

std::unique_ptr<TExpToken> TExpressionParser::ParseAnd() {
  return ParseChain(kOpAnd);
}

// A flat run of ORs (of ANDs) is read in a loop and built as a balanced tree,
// so that a condition of any number of terms has a tree of logarithmic height
// and every recursive walk (binding, evaluation, selection, destruction) stays
// shallow. AND and OR are associative, and evaluation takes the right operand
// first at every node, so any bracketing tests the terms in the same order,
// right to left, and stops at the same term.
std::unique_ptr<TExpToken> TExpressionParser::ParseChain(std::uint8_t code) {
  const char* word = code == kOpOr ? "OR" : "AND";
  std::vector<TChainTerm> terms;
  for (;;) {
    const std::size_t start = token_start_;
    auto term = code == kOpOr ? ParseAnd() : ParseNot();
    terms.push_back({std::move(term), start, prev_end_});
    if (!IsKeyword(word)) break;
    NextToken();
  }
  if (terms.size() == 1) return std::move(terms[0].node);
  return BalancedChain(terms, 0, terms.size(), code, word);
}

std::unique_ptr<TExpToken> TExpressionParser::BalancedChain(std::vector<TChainTerm>& terms,
                                                            std::size_t lo, std::size_t hi,
                                                            std::uint8_t code, const char* word) {
  if (hi - lo == 1) return std::move(terms[lo].node);
  const std::size_t mid = lo + (hi - lo) / 2;
  auto n = std::make_unique<TExpToken>();
  n->kind = kNodeBinary;
  n->code = code;
  n->text = word;
  n->left = BalancedChain(terms, lo, mid, code, word);
  n->right = BalancedChain(terms, mid, hi, code, word);
  // The text of an inner node serves only messages; long ones are left out
  // so that the texts of a long chain take memory linear in its length.
  const std::size_t begin = terms[lo].start, end = terms[hi - 1].end;
  const bool whole = lo == 0 && hi == terms.size();
  if (whole || end - begin <= kMaxChainNodeText) n->source = text_.substr(begin, end - begin);
  Link(*n);
  return n;
}

std::unique_ptr<TExpToken> TExpressionParser::ParseNot() {
  const TDepthGuard depth(*this);
  const std::size_t start = token_start_;
  if (IsKeyword("NOT")) {
    NextToken();
    return Binary(kNodeUnary, kOpNot, "NOT", ParseNot(), nullptr, start);
  }
  return ParseCompare();
}

std::unique_ptr<TExpToken> TExpressionParser::ParseCompare() {
  const std::size_t start = token_start_;
  auto left = ParseAdditive();
  std::uint8_t code = 0;
  std::string op;
  if (token_type_ == '=') {
    code = kOpEqual;
    op = "=";
    NextToken();
  } else if (token_type_ == '<') {
    NextToken();
    if (token_type_ == '>') {
      code = kOpNotEqual;
      op = "<>";
      NextToken();
    } else if (token_type_ == '=') {
      code = kOpLessEqual;
      op = "<=";
      NextToken();
    } else {
      code = kOpLess;
      op = "<";
    }
  } else if (token_type_ == '>') {
    NextToken();
    if (token_type_ == '=') {
      code = kOpGreaterEqual;
      op = ">=";
      NextToken();
    } else {
      code = kOpGreater;
      op = ">";
    }
  } else if (IsKeyword("NOT") || IsKeyword("LIKE") || IsKeyword("BETWEEN") || IsKeyword("IN") ||
             IsKeyword("IS")) {
    return ParsePredicate(std::move(left), start);
  }
  if (code == 0) return left;
  return Binary(kNodeBinary, code, op, std::move(left), ParseAdditive(), start);
}

std::unique_ptr<TExpToken> TExpressionParser::ParsePredicate(std::unique_ptr<TExpToken> left,
                                                             std::size_t start) {
  if (!(flags_ & kAllowPredicates))
    context_.Fail("Extended predicate operators (LIKE, BETWEEN, IN, IS NULL) are not allowed in " +
                  context_.context_name);
  if (IsKeyword("IS")) {
    NextToken();
    bool negated = false;
    if (IsKeyword("NOT")) {
      negated = true;
      NextToken();
    }
    ExpectKeyword("NULL");
    return Binary(kNodeBinary, negated ? kOpNotEqual : kOpEqual, negated ? "<>" : "=",
                  std::move(left), Constant("NULL", TExpValue::Null()), start);
  }
  auto node = std::make_unique<TExpToken>();
  node->kind = kNodePredicate;
  if (IsKeyword("NOT")) {
    node->negated = true;
    NextToken();
  }
  node->operands.push_back(std::move(left));
  if (IsKeyword("LIKE")) {
    node->code = kPredLike;
    node->text = "LIKE";
    NextToken();
    node->operands.push_back(ParseAdditive());
  } else if (IsKeyword("BETWEEN")) {
    node->code = kPredBetween;
    node->text = "BETWEEN";
    NextToken();
    node->operands.push_back(ParseAdditive());
    ExpectKeyword("AND");
    node->operands.push_back(ParseAdditive());
  } else if (IsKeyword("IN")) {
    node->code = kPredIn;
    node->text = "IN";
    NextToken();
    Expect('(');
    if (IsKeyword("SELECT")) {
      if (!(flags_ & kAllowSubSelects) || !sub_select)
        context_.Fail("Sub-select queries are not allowed in " + context_.context_name);
      node->code = kPredInSelect;
      // The sub-select parses expressions of its own; this one goes on
      // under its own flags.
      const int flags = flags_;
      sub_select(*this, *node);
      flags_ = flags;
    } else if (token_type_ == ')') {
      context_.Fail(std::string("You must provide at least one value as an operand of the ") +
                    (node->negated ? "NOT IN" : "IN") + " operator  in " + context_.context_name);
    } else {
      node->operands.push_back(ParseAdditive());
      while (token_type_ == ',') {
        NextToken();
        node->operands.push_back(ParseAdditive());
      }
    }
    Expect(')');
  } else {
    Unexpected();
  }
  Finish(*node, start);
  return node;
}

std::unique_ptr<TExpToken> TExpressionParser::ParseAdditive() {
  const std::size_t start = token_start_;
  auto left = ParseMultiplicative();
  for (;;) {
    if (token_type_ == '+' || token_type_ == '-') {
      const bool plus = token_type_ == '+';
      NextToken();
      left = Binary(kNodeBinary, plus ? kOpAdd : kOpSubtract, plus ? "+" : "-", std::move(left),
                    ParseMultiplicative(), start);
    } else if (token_type_ == '|') {
      NextToken();
      if (token_type_ != '|')
        context_.Fail(
            "Second concatenation symbol '|' expected after first concatentation symbol, instead "
            "found '" +
            TokenText() + "' in " + context_.context_name);
      NextToken();
      left = Binary(kNodeBinary, kOpAdd, "||", std::move(left), ParseMultiplicative(), start);
    } else {
      return left;
    }
  }
}

std::unique_ptr<TExpToken> TExpressionParser::ParseMultiplicative() {
  const std::size_t start = token_start_;
  auto left = ParseUnary();
  while (token_type_ == '*' || token_type_ == '/') {
    const bool mul = token_type_ == '*';
    NextToken();
    left = Binary(kNodeBinary, mul ? kOpMultiply : kOpDivide, mul ? "*" : "/", std::move(left),
                  ParseUnary(), start);
  }
  return left;
}

std::unique_ptr<TExpToken> TExpressionParser::ParseUnary() {
  const TDepthGuard depth(*this);
  const std::size_t start = token_start_;
  if (token_type_ == '-' || token_type_ == '+') {
    const bool minus = token_type_ == '-';
    NextToken();
    return Binary(kNodeUnary, minus ? kOpNegate : kOpPlus, minus ? "-" : "+", ParseUnary(), nullptr,
                  start);
  }
  return ParsePrimary();
}

std::unique_ptr<TExpToken> TExpressionParser::ParseNumber() {
  const std::string text = TokenText();
  const bool is_float = token_type_ == kTokFloat;
  auto invalid = [&] {
    context_.Fail("Constant '" + text + "' is not a valid number in " + context_.context_name);
  };
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  TExpValue v;
  if (!is_float) {
    const unsigned long long u = std::strtoull(begin, &end, 10);
    if (end != begin + text.size()) invalid();
    if (errno == 0 &&
        u <= static_cast<unsigned long long>(std::numeric_limits<std::int32_t>::max()))
      v = TExpValue::Int(kFieldInteger, static_cast<std::int64_t>(u));
    else if (errno == 0 &&
             u <= static_cast<unsigned long long>(std::numeric_limits<std::int64_t>::max()))
      v = TExpValue::Int(kFieldLargeInt, static_cast<std::int64_t>(u));
    else
      v = TExpValue::Float(kFieldFloat, std::strtod(begin, nullptr));
  } else {
    const double d = std::strtod(begin, &end);
    if (end != begin + text.size() || errno == ERANGE) invalid();
    v = TExpValue::Float(kFieldFloat, d);
  }
  auto n = Constant(text, v);
  NextToken();
  return n;
}

std::unique_ptr<TExpToken> TExpressionParser::ColumnNode(std::size_t start) {
  auto n = std::make_unique<TExpToken>();
  n->kind = kNodeColumn;
  n->column = TokenText();
  NextToken();
  if (token_type_ == '.') {
    NextToken();
    if (token_type_ == '*' && (flags_ & kAllowAllColumns)) {
      // correlation.* in a select list
      n->correlation = n->column;
      n->column = n->text = "*";
      NextToken();
      Finish(*n, start);
      return n;
    }
    if (token_type_ != kTokWord && token_type_ != kTokBracketName &&
        token_type_ != kTokQuotedName && token_type_ != kTokString)
      context_.Fail(
          "Symbol or string expression expected after table correlation name separator '.', "
          "instead found '" +
          TokenText() + "' in " + context_.context_name);
    n->correlation = n->column;
    n->column = TokenText();
    NextToken();
  }
  n->text = n->column;
  Finish(*n, start);
  return n;
}

std::unique_ptr<TExpToken> TExpressionParser::ParsePrimary() {
  const std::size_t start = token_start_;
  switch (token_type_) {
    case '(': {
      NextToken();
      auto inner = ParseOr();
      Expect(')');
      inner->source = text_.substr(start, prev_end_ - start);
      return inner;
    }
    case '?': {
      if (!(flags_ & kAllowParams))
        context_.Fail("Parameters are not allowed in " + context_.context_name);
      auto n = Constant("?", TExpValue::Null());
      n->is_param = true;
      params_.push_back(n.get());
      NextToken();
      Finish(*n, start);
      return n;
    }
    case '*': {
      if (!(flags_ & kAllowAllColumns))
        context_.Fail("* (all columns) symbol is not allowed in " + context_.context_name);
      auto n = std::make_unique<TExpToken>();
      n->kind = kNodeColumn;
      n->column = n->text = "*";
      NextToken();
      Finish(*n, start);
      return n;
    }
    case kTokInteger:
    case kTokFloat: {
      auto n = ParseNumber();
      Finish(*n, start);
      return n;
    }
    case kTokString: {
      const std::string s = TokenText();
      auto n =
          Constant(s, s.empty() ? TExpValue::Null(kFieldString) : TExpValue::Str(kFieldString, s));
      n->type = kFieldString;
      NextToken();
      Finish(*n, start);
      return n;
    }
    case kTokChar: {
      const std::string t = TokenText();
      int code = t.size() > 1 ? 0 : 256;
      for (std::size_t i = 1; i < t.size() && code <= 255; ++i)
        code = code * 10 + (t[i] - '0');
      if (code > 255)
        context_.Fail("Character constants (#) must be within the range of 0 to 255 in " +
                      context_.context_name);
      const char ch = static_cast<char>(code);
      // #0 is a one-character string whose character ends it: the empty string.
      auto n = Constant(t, ch == 0 ? TExpValue::Null(kFieldString)
                                   : TExpValue::Str(kFieldString, std::string(1, ch)));
      n->type = kFieldString;
      NextToken();
      Finish(*n, start);
      return n;
    }
    case kTokBracketName:
    case kTokQuotedName:
      return ColumnNode(start);
    case kTokWord:
      break;
    default:
      Unexpected();
  }
  // Words: constants, functions, columns.
  const std::string word = TokenText();
  auto keyword_constant = [&](TExpValue v) {
    auto n = Constant(word, std::move(v));
    NextToken();
    Finish(*n, start);
    return n;
  };
  if (IsKeyword("NULL")) return keyword_constant(TExpValue::Null());
  if (IsKeyword("TRUE")) return keyword_constant(TExpValue::Bool(true));
  if (IsKeyword("FALSE")) return keyword_constant(TExpValue::Bool(false));
  if (IsKeyword("CURRENT_DATE") || IsKeyword("CURRENT_TIME") || IsKeyword("CURRENT_TIMESTAMP")) {
    std::int32_t day = 0, ms = 0;
    LocalNow(&day, &ms);
    TExpValue v;
    if (IsKeyword("CURRENT_DATE"))
      v = TExpValue::Int(kFieldDate, day);
    else if (IsKeyword("CURRENT_TIME"))
      v = TExpValue::Int(kFieldTime, ms);
    else
      v = TExpValue::Float(kFieldTimestamp, static_cast<long double>(day - 1) * 86400000.0L + ms);
    auto n = Constant(word, v);
    NextToken();
    if (token_type_ == '(') {
      NextToken();
      Expect(')');
    }
    Finish(*n, start);
    return n;
  }
  // A word followed by "(" is a function call.
  const std::size_t save_pos = pos_, save_start = token_start_, save_end = token_end_,
                    save_prev = prev_end_;
  NextToken();
  const bool call = token_type_ == '(';
  pos_ = save_pos;
  token_start_ = save_start;
  token_end_ = save_end;
  prev_end_ = save_prev;
  token_type_ = kTokWord;
  if (!call) return ColumnNode(start);
  for (const auto& f : kFunctions) {
    if (!IsKeyword(f.name)) continue;
    if (IsAggregate(f.code) && !(flags_ & kAllowAggregates))
      context_.Fail("Aggregate functions are not allowed in " + context_.context_name);
    return ParseFunction(f.code, start);
  }
  context_.Fail("Unknown or unexpected function '" + word + "' found in " + context_.context_name);
}

std::unique_ptr<TExpToken> TExpressionParser::ParseFunction(std::uint8_t code, std::size_t start) {
  auto n = std::make_unique<TExpToken>();
  n->kind = kNodeFunction;
  n->code = code;
  n->text = TokenText();
  NextToken();  // the name
  Expect('(');
  auto arg = [&](auto parse) { n->operands.push_back((this->*parse)()); };
  auto string_constant = [&](const char* what) {
    if (token_type_ != kTokString)
      context_.Fail(std::string(what) + " must be a string constant in " + context_.context_name);
    n->operands.push_back(Constant(TokenText(), TExpValue::Str(kFieldString, TokenText())));
    NextToken();
  };
  switch (code) {
    case kFnUpper:
    case kFnLower:
    case kFnLength:
    case kFnAbs:
      arg(&TExpressionParser::ParseOr);
      if (code != kFnLength && code != kFnAbs && n->operands[0]->kind == kNodeColumn)
        n->operands[0]->case_insensitive = true;
      break;
    case kFnSubstring:
      arg(&TExpressionParser::ParseAdditive);
      ExpectKeyword("FROM");
      arg(&TExpressionParser::ParseAdditive);
      if (IsKeyword("FOR")) {
        NextToken();
        arg(&TExpressionParser::ParseAdditive);
      }
      break;
    case kFnReplace:
      arg(&TExpressionParser::ParseAdditive);
      ExpectKeyword("WITH");
      arg(&TExpressionParser::ParseAdditive);
      ExpectKeyword("IN");
      arg(&TExpressionParser::ParseAdditive);
      break;
    case kFnPos:
    case kFnOccurs:
      arg(&TExpressionParser::ParseAdditive);
      ExpectKeyword("IN");
      arg(&TExpressionParser::ParseAdditive);
      break;
    case kFnTextSearch:
    case kFnTextOccurs:
      string_constant("Search text of a text search");
      ExpectKeyword("IN");
      if (token_type_ != kTokWord && token_type_ != kTokBracketName &&
          token_type_ != kTokQuotedName)
        context_.Fail("Text search column must be a column name in " + context_.context_name);
      n->operands.push_back(ColumnNode(token_start_));
      break;
    case kFnTrim: {
      n->option = kTrimBoth;
      if (IsKeyword("LEADING")) {
        n->option = kTrimLeading;
        NextToken();
      } else if (IsKeyword("TRAILING")) {
        n->option = kTrimTrailing;
        NextToken();
      } else if (IsKeyword("BOTH")) {
        NextToken();
      }
      if (token_type_ != kTokString && token_type_ != kTokChar)
        context_.Fail("TRIM character must be a single character constant in " +
                      context_.context_name);
      auto c = ParsePrimary();
      // One character: a byte, or a double-byte character of the code page.
      const std::string& ch = c->value.s;
      const bool one = ch.size() == 1 ||
                       (ch.size() == 2 && IsCp932LeadByte(static_cast<unsigned char>(ch[0])));
      if (c->value.null || !one)
        context_.Fail("TRIM character must be a single character constant in " +
                      context_.context_name);
      n->operands.push_back(std::move(c));
      ExpectKeyword("FROM");
      arg(&TExpressionParser::ParseAdditive);
      break;
    }
    case kFnExtract: {
      bool found = false;
      for (std::size_t i = 0; i < std::size(kExtractParts); ++i) {
        if (IsKeyword(kExtractParts[i])) {
          n->option = static_cast<std::uint8_t>(i);
          found = true;
        }
      }
      if (!found) Unexpected();
      NextToken();
      ExpectKeyword("FROM");
      arg(&TExpressionParser::ParseAdditive);
      break;
    }
    case kFnCast:
      arg(&TExpressionParser::ParseOr);
      ExpectKeyword("AS");
      n = ParseCast(std::move(n));
      break;
    case kFnRound:
      arg(&TExpressionParser::ParseAdditive);
      if (IsKeyword("TO")) {
        NextToken();
        long places = -1;
        if (token_type_ == kTokInteger) places = std::strtol(TokenText().c_str(), nullptr, 10);
        if (places < 0 || places > 32)
          context_.Fail(
              "TO argument of ROUND function must be an integer constant from 0 to 32 in " +
              context_.context_name);
        n->option = static_cast<std::uint8_t>(places);
        NextToken();
      }
      break;
    case kFnIf:
    case kFnIfNull:
      arg(&TExpressionParser::ParseOr);
      if (token_type_ == ',') {
        NextToken();
        arg(&TExpressionParser::ParseOr);
        Expect(',');
        arg(&TExpressionParser::ParseOr);
      } else {
        ExpectKeyword("THEN");
        arg(&TExpressionParser::ParseOr);
        ExpectKeyword("ELSE");
        arg(&TExpressionParser::ParseOr);
      }
      break;
    case kFnCoalesce:
      arg(&TExpressionParser::ParseOr);
      while (token_type_ == ',') {
        NextToken();
        arg(&TExpressionParser::ParseOr);
      }
      break;
    case kFnLastAutoInc:
    case kFnIdentCurrent:
      string_constant(code == kFnLastAutoInc ? "Argument of LASTAUTOINC"
                                             : "Argument of IDENT_CURRENT");
      break;
    case kAggCount:
      if (token_type_ == '*') {
        n->count_all = true;
        NextToken();
        break;
      }
      [[fallthrough]];
    default:  // aggregates
      if (IsKeyword("DISTINCT")) {
        n->distinct = true;
        NextToken();
      }
      arg(&TExpressionParser::ParseOr);
      break;
  }
  Expect(')');
  Finish(*n, start);
  return n;
}

std::unique_ptr<TExpToken> TExpressionParser::ParseCast(std::unique_ptr<TExpToken> n) {
  for (const auto& t : kCastTypes) {
    if (!IsKeyword(t.name)) continue;
    n->cast.type = t.type;
    n->cast.subtype = t.subtype;
    NextToken();
    if (token_type_ == '(' && t.sized > 0) {
      NextToken();
      if (token_type_ != kTokInteger) Unexpected();
      n->cast.length = std::atoi(TokenText().c_str());
      NextToken();
      if (token_type_ == ',' && t.sized == 2) {
        NextToken();
        if (token_type_ != kTokInteger) Unexpected();
        n->cast.scale = std::atoi(TokenText().c_str());
        NextToken();
      }
      Expect(')');
    }
    if ((n->cast.type == kFieldString || IsByteType(n->cast.type)) && n->cast.length == 0)
      n->cast.length = kMaxDeclaredLength;
    if ((n->cast.type == kFieldString || IsByteType(n->cast.type)) &&
        (n->cast.length < 1 || n->cast.length > kMaxDeclaredLength))
      context_.Fail("Length of CAST type " + std::string(t.name) + " must be from 1 to " +
                    std::to_string(kMaxDeclaredLength) + " in " + context_.context_name);
    if (n->cast.type == kFieldBcd && (n->cast.scale < 0 || n->cast.scale > kBcdDigits))
      context_.Fail("Scale of CAST type " + std::string(t.name) + " must be from 0 to " +
                    std::to_string(kBcdDigits) + " in " + context_.context_name);
    return n;
  }
  Unexpected();
}

}  // namespace kura
