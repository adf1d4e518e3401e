// Binding of a parsed tree to a table's fields, and its type checks.
//
// Type classes: numbers (every integer width, floats, BCD, extended), strings,
// booleans, dates with timestamps, times, byte strings, BLOBs. Comparisons
// need one class on both sides (an untyped NULL or parameter fits any);
// arithmetic: numbers with numbers (integers give 64-bit integers, "/" and
// any float give floats), "+" on strings concatenates, dates and times plus
// or minus integers stay dates and times, and their differences are
// integers; timestamps move by numbers of milliseconds.
#include "db/engine/expression/expression.h"

namespace kura {

namespace {

int TypeClass(std::uint8_t t) {
  if (IsNumericType(t)) return 1;
  switch (t) {
    case kFieldString:
      return 2;
    case kFieldBoolean:
      return 3;
    case kFieldDate:
    case kFieldTimestamp:
      return 4;
    case kFieldTime:
      return 5;
    case kFieldBytes:
    case kFieldVarBytes:
      return 6;
    case kFieldBlob:
      return 7;
    default:
      return 0;
  }
}

// The type of a value that may come from either of two comparable
// expressions (IF, IFNULL, COALESCE, a UNION column): an integer and a float
// make a float, integers of two widths a 64-bit integer, a date and a
// timestamp a timestamp.
std::uint8_t CommonType(std::uint8_t a, std::uint8_t b) {
  if (a == 0) return b;
  if (b == 0 || a == b) return a;
  if (IsNumericType(a) && IsNumericType(b))
    return IsFloatType(a) || IsFloatType(b) ? std::uint8_t{kFieldFloat}
                                            : std::uint8_t{kFieldLargeInt};
  if (TypeClass(a) == 4 && TypeClass(b) == 4) return kFieldTimestamp;
  return a;
}

class TBinder {
 public:
  TBinder(const TExpressionContext& c, const TColumnResolver& r) : context_(c), resolve_(r) {}

  void Bind(TExpToken& n);

 private:
  static std::string Describe(const TExpToken& n) {
    return (n.source.empty() ? n.text : n.source) + " (" + TypeName(n.type) + ")";
  }
  [[noreturn]] void Mismatch(const TExpToken& a, const TExpToken& b) const {
    context_.FailIn("Type mismatch between " + Describe(a) + " and " + Describe(b));
  }
  static bool Comparable(std::uint8_t a, std::uint8_t b) {
    if (a == 0 || b == 0) return TypeClass(a) != 7 && TypeClass(b) != 7;
    return TypeClass(a) == TypeClass(b) && TypeClass(a) != 7;
  }
  void RequireBoolean(const TExpToken& n, const char* what) const {
    if (n.type != 0 && n.type != kFieldBoolean)
      context_.FailIn(std::string(what) + " must be a boolean expression, not " + Describe(n));
  }
  void RequireString(const TExpToken& n, const std::string& what) const {
    if (n.type != 0 && n.type != kFieldString) context_.FailIn(what + " must be a string value");
  }
  void RequireInteger(const TExpToken& n, const std::string& what) const {
    if (n.type != 0 && !IsIntegerType(n.type)) context_.FailIn(what + " must be an integer value");
  }
  void RequireNumber(const TExpToken& n, const std::string& what) const {
    if (n.type != 0 && !IsNumericType(n.type)) context_.FailIn(what + " must be a numeric value");
  }
  void BindColumn(TExpToken& n);
  void BindArithmetic(TExpToken& n);
  void BindFunction(TExpToken& n);

  const TExpressionContext& context_;
  const TColumnResolver& resolve_;
};

void TBinder::BindColumn(TExpToken& n) {
  if (n.column == "*") context_.FailIn("* (all columns) symbol is not allowed");
  const TFieldDescriptor* f = resolve_ ? resolve_(n.correlation, n.column) : nullptr;
  if (!f) {
    const std::string name = n.correlation.empty() ? n.column : n.correlation + "." + n.column;
    context_.FailIn("Invalid column name '" + name + "'");
  }
  n.field = f;
  n.field_number = f->Number();
  n.type = f->Type();
  n.size = f->StorageSize();
  n.scale = f->Scale();
}

void TBinder::BindArithmetic(TExpToken& n) {
  const std::uint8_t a = n.left->type, b = n.right->type;
  const std::uint8_t code = n.code;
  auto set = [&](std::uint8_t t) {
    n.type = t;
    if (t == kFieldString) n.size = n.left->size + n.right->size;
  };
  if (TypeClass(a) == 7 || TypeClass(b) == 7) Mismatch(*n.left, *n.right);
  if (a == 0 || b == 0) {
    const std::uint8_t other = a == 0 ? b : a;
    if (other == 0) return set(0);
    if (other == kFieldString && code != kOpAdd) Mismatch(*n.left, *n.right);
    if (other == kFieldBoolean || IsByteType(other)) Mismatch(*n.left, *n.right);
    return set(IsIntegerType(other) ? std::uint8_t{kFieldLargeInt}
               : IsFloatType(other) ? std::uint8_t{kFieldFloat}
                                    : other);
  }
  if (IsNumericType(a) && IsNumericType(b)) {
    if (code == kOpDivide || IsFloatType(a) || IsFloatType(b)) return set(kFieldFloat);
    return set(kFieldLargeInt);
  }
  if (code == kOpAdd && a == kFieldString && b == kFieldString) return set(kFieldString);
  for (std::uint8_t t : {std::uint8_t(kFieldDate), std::uint8_t(kFieldTime)}) {
    if (a == t && IsIntegerType(b) && (code == kOpAdd || code == kOpSubtract)) return set(t);
    if (b == t && IsIntegerType(a) && code == kOpAdd) return set(t);
    if (a == t && b == t && code == kOpSubtract) return set(kFieldInteger);
  }
  if (a == kFieldTimestamp && IsNumericType(b) && (code == kOpAdd || code == kOpSubtract))
    return set(kFieldTimestamp);
  if (b == kFieldTimestamp && IsNumericType(a) && code == kOpAdd) return set(kFieldTimestamp);
  if (a == kFieldTimestamp && b == kFieldTimestamp && code == kOpSubtract) return set(kFieldFloat);
  Mismatch(*n.left, *n.right);
}

void TBinder::BindFunction(TExpToken& n) {
  auto& ops = n.operands;
  const std::string name = n.text;
  auto arg_name = [&](const char* which) {
    return std::string(which) + " argument of " + name + " function";
  };
  switch (n.code) {
    case kFnUpper:
    case kFnLower:
      RequireString(*ops[0], "Argument of " + name + " function");
      n.type = kFieldString;
      n.size = ops[0]->size;
      return;
    case kFnLength:
      if (ops[0]->type != 0 && ops[0]->type != kFieldString && !IsByteType(ops[0]->type))
        context_.FailIn("Argument of LENGTH function must be a string value");
      n.type = kFieldInteger;
      return;
    case kFnSubstring:
      RequireString(*ops[0], "Argument of SUBSTRING function");
      RequireInteger(*ops[1], "FROM argument of SUBSTRING function");
      if (ops.size() > 2) RequireInteger(*ops[2], "FOR argument of SUBSTRING function");
      n.type = kFieldString;
      n.size = ops[0]->size;
      return;
    case kFnReplace:
      RequireString(*ops[0], "Search argument of REPLACE function");
      RequireString(*ops[1], "WITH argument of REPLACE function");
      RequireString(*ops[2], "IN argument of REPLACE function");
      n.type = kFieldString;
      return;
    case kFnPos:
    case kFnOccurs:
      RequireString(*ops[0], "Search argument of " + name + " function");
      RequireString(*ops[1], "IN argument of " + name + " function");
      n.type = kFieldInteger;
      return;
    case kFnTrim:
      RequireString(*ops[1], "FROM argument of TRIM function");
      n.type = kFieldString;
      n.size = ops[1]->size;
      return;
    case kFnExtract: {
      const std::uint8_t t = ops[0]->type;
      const bool date_part = n.option <= kPartDayOfYear;
      const bool ok = t == 0 || t == kFieldTimestamp || (date_part && t == kFieldDate) ||
                      (!date_part && t == kFieldTime);
      if (!ok)
        context_.FailIn("FROM argument of EXTRACT function must be a " +
                        std::string(date_part ? "date or timestamp" : "time or timestamp") +
                        " value");
      n.type = kFieldInteger;
      return;
    }
    case kFnCast: {
      const std::uint8_t from = ops[0]->type, to = n.cast.type;
      const bool ok = from == 0 || from == to || from == kFieldString || to == kFieldString ||
                      (IsNumericType(from) && (IsNumericType(to) || to == kFieldBoolean)) ||
                      (from == kFieldBoolean && IsNumericType(to)) ||
                      (TypeClass(from) == 4 && TypeClass(to) == 4) ||
                      (from == kFieldTimestamp && to == kFieldTime);
      if (!ok || TypeClass(from) == 7 || (to == kFieldBlob && from != 0))
        context_.FailIn("Cannot CAST " + Describe(*ops[0]) + " to " + TypeName(to));
      n.type = to;
      n.size = to == kFieldString ? n.cast.length : StorageSize(to, n.cast.length);
      n.scale = n.cast.scale;
      return;
    }
    case kFnAbs:
    case kFnRound:
      RequireNumber(*ops[0], "Argument of " + name + " function");
      n.type = ops[0]->type;
      if (n.code == kFnRound && IsFloatType(n.type)) n.type = kFieldFloat;
      return;
    case kFnIf:
    case kFnIfNull: {
      if (n.code == kFnIf) RequireBoolean(*ops[0], "Condition of IF function");
      const TExpToken& a = *ops[1];
      const TExpToken& b = *ops[2];
      if (!Comparable(a.type, b.type)) Mismatch(a, b);
      n.type = CommonType(a.type, b.type);
      n.size = std::max(a.size, b.size);
      return;
    }
    case kFnCoalesce:
      n.type = 0;
      for (const auto& o : ops) {
        if (!Comparable(ops[0]->type ? ops[0]->type : o->type, o->type)) Mismatch(*ops[0], *o);
        n.type = CommonType(n.type, o->type);
        n.size = std::max(n.size, o->size);
      }
      return;
    case kFnTextSearch:
    case kFnTextOccurs:
      if (ops[1]->type != kFieldString && ops[1]->type != kFieldBlob)
        context_.FailIn("Column of " + name + " function must be a string or memo column");
      n.type = n.code == kFnTextSearch ? kFieldBoolean : kFieldInteger;
      return;
    case kFnLastAutoInc:
    case kFnIdentCurrent:
      n.type = kFieldInteger;
      return;
    case kAggCount:
      n.type = kFieldInteger;
      return;
    case kAggSum:
    case kAggRunSum:
    case kAggAvg:
      if (!n.operands.empty()) RequireNumber(*ops[0], arg_name("Value"));
      n.type = (n.code == kAggAvg || IsFloatType(ops[0]->type)) ? kFieldFloat : kFieldLargeInt;
      return;
    case kAggMin:
    case kAggMax:
      if (TypeClass(ops[0]->type) == 7) context_.FailIn(name + " of a BLOB value is not possible");
      n.type = ops[0]->type;
      n.size = ops[0]->size;
      return;
    default:
      context_.FailIn("Unknown function " + name);
  }
}

void TBinder::Bind(TExpToken& n) {
  if (n.left) Bind(*n.left);
  if (n.right) Bind(*n.right);
  for (auto& o : n.operands)
    Bind(*o);
  switch (n.kind) {
    case kNodeColumn:
      BindColumn(n);
      return;
    case kNodeConstant:
      n.type = n.value.type;
      return;
    case kNodeUnary:
      if (n.code == kOpNot) {
        RequireBoolean(*n.left, "Operand of NOT");
        n.type = kFieldBoolean;
      } else {
        RequireNumber(*n.left, "Operand of unary " + n.text);
        n.type = IsIntegerType(n.left->type) ? std::uint8_t{kFieldLargeInt}
                 : n.left->type == 0         ? std::uint8_t{0}
                                             : std::uint8_t{kFieldFloat};
      }
      return;
    case kNodeBinary:
      if (n.code == kOpAnd || n.code == kOpOr) {
        RequireBoolean(*n.left, n.code == kOpAnd ? "Operand of AND" : "Operand of OR");
        RequireBoolean(*n.right, n.code == kOpAnd ? "Operand of AND" : "Operand of OR");
        n.type = kFieldBoolean;
      } else if (IsComparison(n.code)) {
        if (!Comparable(n.left->type, n.right->type)) {
          // A BLOB column may still be tested against NULL.
          const bool blob_null =
              (n.left->type == kFieldBlob && n.right->kind == kNodeConstant &&
               n.right->type == 0) ||
              (n.right->type == kFieldBlob && n.left->kind == kNodeConstant && n.left->type == 0);
          if (!blob_null || (n.code != kOpEqual && n.code != kOpNotEqual))
            Mismatch(*n.left, *n.right);
        }
        n.type = kFieldBoolean;
      } else {
        BindArithmetic(n);
      }
      return;
    case kNodePredicate:
      if (n.code == kPredLike) {
        RequireString(*n.operands[0], "Operand of LIKE");
        RequireString(*n.operands[1], "Pattern of LIKE");
      } else {
        for (std::size_t i = 1; i < n.operands.size(); ++i)
          if (!Comparable(n.operands[0]->type, n.operands[i]->type))
            Mismatch(*n.operands[0], *n.operands[i]);
      }
      n.type = kFieldBoolean;
      return;
    case kNodeFunction:
      BindFunction(n);
      return;
    default:
      return;
  }
}

}  // namespace

std::uint8_t CommonValueType(std::uint8_t a, std::uint8_t b) {
  return CommonType(a, b);
}

void BindExpression(TExpToken& root, const TExpressionContext& context,
                    const TColumnResolver& resolve, bool boolean) {
  TBinder(context, resolve).Bind(root);
  if (boolean && root.type != kFieldBoolean) {
    if (context.context_name == "WHERE clause" || context.context_name == "JOIN clause")
      context.Fail("WHERE or JOIN clause must be a boolean expression");
    std::string name = context.context_name;
    if (!name.empty() && name[0] >= 'a' && name[0] <= 'z')
      name[0] = static_cast<char>(name[0] - 32);
    context.Fail(name + " must be a boolean expression");
  }
}

}  // namespace kura
