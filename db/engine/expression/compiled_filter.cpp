#include "db/engine/expression/compiled_filter.h"

#include <limits>

#include "db/storage/coding.h"
#include "db/storage/data/record.h"

namespace kura {

namespace {

// Types whose values the evaluator holds in TExpValue::i and compares as
// integers among themselves (dates only with dates).
bool IntegerValued(std::uint8_t t) {
  return IsIntegerType(t) || t == kFieldBoolean || t == kFieldDate || t == kFieldTime;
}

// Whether the evaluator compares values of types a and b as plain integers
// (an untyped NULL, type 0, compares with anything under the NULL rules).
bool Comparable(std::uint8_t a, std::uint8_t b) {
  if (a == 0 || b == 0) return true;
  return (a == kFieldDate) == (b == kFieldDate);
}

}  // namespace

TCompiledFilter::TCompiledFilter(const TExpToken& tree, const TExpressionEvaluator& evaluator)
    : tree_(tree), evaluator_(evaluator), data_(evaluator.Data()) {
  root_ = Compile(tree, true);
  if (root_ >= 0 && steps_[static_cast<std::size_t>(root_)].kind == kTree) root_ = -1;
}

int TCompiledFilter::Add(TStep step) {
  steps_.push_back(std::move(step));
  return static_cast<int>(steps_.size()) - 1;
}

int TCompiledFilter::Compile(const TExpToken& n, bool boolean) {
  TStep s;
  s.node = &n;
  s.code = n.code;
  s.type = kFieldBoolean;
  bool ok = false;
  auto value = [&](const TExpToken& operand) {
    const int k = Compile(operand, false);
    if (k < 0) ok = false;
    return k;
  };
  auto type_of = [&](int k) { return steps_[static_cast<std::size_t>(k)].type; };
  switch (n.kind) {
    case kNodeColumn:
      ok = n.field && data_ && !n.outer_reference && ColumnStep(*n.field, s);
      break;
    case kNodeConstant:
      ok = IntegerValued(n.value.type) || (n.value.type == 0 && n.value.null);
      if (ok) {
        s.kind = kConstant;
        s.type = n.value.type;
        s.constant = {n.value.null ? 0 : n.value.i, n.value.null};
      }
      break;
    case kNodeUnary:
      if (n.code == kOpNot) {
        s.kind = kNot;
        s.operands = {Compile(*n.left, true)};
        ok = true;
      } else if ((n.code == kOpNegate || n.code == kOpPlus) && IntegerValued(n.type)) {
        ok = true;
        s.kind = kNegate;
        s.type = n.type;
        s.operands = {value(*n.left)};
      }
      break;
    case kNodeBinary:
      if (n.code == kOpAnd || n.code == kOpOr) {
        s.kind = n.code == kOpAnd ? kAnd : kOr;
        s.operands = {Compile(*n.left, true), Compile(*n.right, true)};
        ok = true;
      } else if (IsComparison(n.code)) {
        ok = true;
        s.kind = kCompare;
        s.operands = {value(*n.left), value(*n.right)};
        ok = ok && Comparable(type_of(s.operands[0]), type_of(s.operands[1]));
      } else if ((n.code == kOpAdd || n.code == kOpSubtract || n.code == kOpMultiply) &&
                 n.type == kFieldLargeInt) {
        ok = true;
        s.kind = kArithmetic;
        s.type = n.type;
        s.operands = {value(*n.left), value(*n.right)};
        for (int k : s.operands)
          ok = ok && (type_of(k) == 0 || IsIntegerType(type_of(k)));
      }
      break;
    case kNodePredicate:
      if ((n.code == kPredIn && n.operands.size() >= 2) ||
          (n.code == kPredBetween && n.operands.size() == 3)) {
        ok = true;
        s.kind = n.code == kPredIn ? kIn : kBetween;
        s.negated = n.negated;
        for (const auto& operand : n.operands) {
          s.operands.push_back(value(*operand));
          if (!ok) break;
        }
        for (std::size_t i = 1; ok && i < s.operands.size(); ++i)
          ok = Comparable(type_of(s.operands[0]), type_of(s.operands[i]));
      }
      break;
    default:
      break;
  }
  if (ok) return Add(std::move(s));
  if (!boolean) return -1;
  TStep tree;
  tree.kind = kTree;
  tree.node = &n;
  tree.type = n.type;
  return Add(std::move(tree));
}

// The bytes of an integer-valued value of type t in a record.
static std::size_t ValueWidth(std::uint8_t t) {
  switch (t) {
    case kFieldBoolean:
    case kFieldSmallInt:
    case kFieldWord:
      return 2;
    case kFieldLargeInt:
      return 8;
    default:
      return 4;
  }
}

// A field read as TDataFile::GetField reads it, when its slot lies inside
// the record; anything else (a computed field) stays with the evaluator.
bool TCompiledFilter::ColumnStep(const TFieldDescriptor& f, TStep& s) const {
  const std::uint8_t t = f.Type();
  if (!IntegerValued(t)) return false;
  s.kind = kColumn;
  s.type = t;
  if (f.IsAutoInc()) {
    s.auto_inc = true;
    s.offset = record::kAutoInc;
    return true;
  }
  const auto size = static_cast<std::size_t>(data_->RecordSize());
  s.offset = f.Offset() + std::size_t{1};
  return !f.Computed() && f.StorageSize() == ValueWidth(t) && s.offset + ValueWidth(t) <= size;
}

bool TCompiledFilter::Matches(const std::uint8_t* record) const {
  TValue v;
  if (root_ >= 0 && record && Run(root_, record, v))
    return !v.null && v.i != 0 && steps_[static_cast<std::size_t>(root_)].type == kFieldBoolean;
  return evaluator_.Evaluate(tree_, record).IsTrue();
}

void TCompiledFilter::Column(const TStep& s, const std::uint8_t* record, TValue& out) {
  const std::uint8_t* p = record + s.offset;
  if (!s.auto_inc && p[-1] == 0) {
    out = {};
    return;
  }
  out.null = false;
  switch (s.type) {
    case kFieldBoolean:
      out.i = DecodeFixed16(p) != 0 ? 1 : 0;
      break;
    case kFieldSmallInt:
      out.i = static_cast<std::int16_t>(DecodeFixed16(p));
      break;
    case kFieldWord:
      out.i = DecodeFixed16(p);
      break;
    case kFieldUnsigned:
      out.i = DecodeFixed32(p);
      break;
    case kFieldLargeInt:
      out.i = static_cast<std::int64_t>(DecodeFixed64(p));
      break;
    default:  // integer, date, time
      out.i = static_cast<std::int32_t>(DecodeFixed32(p));
      break;
  }
}

bool TCompiledFilter::Equal(const TValue& a, const TValue& b) {
  if (a.null || b.null) return a.null && b.null;
  return a.i == b.i;
}

bool TCompiledFilter::Holds(std::uint8_t code, const TValue& a, const TValue& b) {
  switch (code) {
    case kOpEqual:
      return Equal(a, b);
    case kOpNotEqual:
      return !Equal(a, b);
    default:
      break;
  }
  if (a.null || b.null) return false;
  switch (code) {
    case kOpLess:
      return a.i < b.i;
    case kOpLessEqual:
      return a.i <= b.i;
    case kOpGreater:
      return a.i > b.i;
    default:
      return a.i >= b.i;
  }
}

bool TCompiledFilter::Run(int step, const std::uint8_t* record, TValue& out) const {
  const TStep& s = steps_[static_cast<std::size_t>(step)];
  // Columns and constants are read here rather than by a call of their own.
  auto run = [&](std::size_t operand, TValue& v) {
    const int k = s.operands[operand];
    const TStep& o = steps_[static_cast<std::size_t>(k)];
    if (o.kind == kColumn) {
      Column(o, record, v);
      return true;
    }
    if (o.kind == kConstant) {
      v = o.constant;
      return true;
    }
    return Run(k, record, v);
  };
  auto boolean = [&](bool b) {
    out = {b ? 1 : 0, false};
    return true;
  };
  TValue a, b;
  switch (s.kind) {
    case kColumn:
      Column(s, record, out);
      return true;
    case kConstant:
      out = s.constant;
      return true;
    case kNegate:
      if (!run(0, a)) return false;
      if (!a.null && s.code == kOpNegate) {
        if (a.i == std::numeric_limits<std::int64_t>::min()) return false;
        a.i = -a.i;
      }
      out = a;
      return true;
    case kArithmetic: {
      if (!run(0, a) || !run(1, b)) return false;
      if (a.null || b.null) {
        out = {};
        return true;
      }
      std::int64_t r = 0;
      bool overflow;
      if (s.code == kOpAdd)
        overflow = __builtin_add_overflow(a.i, b.i, &r);
      else if (s.code == kOpSubtract)
        overflow = __builtin_sub_overflow(a.i, b.i, &r);
      else
        overflow = __builtin_mul_overflow(a.i, b.i, &r);
      if (overflow) return false;
      out = {r, false};
      return true;
    }
    case kCompare:
      if (!run(0, a) || !run(1, b)) return false;
      return boolean(Holds(s.code, a, b));
    case kAnd:
    case kOr: {
      // The right side first, as the evaluator takes it.
      const bool decisive = s.kind == kOr;
      if (!run(1, b)) return false;
      if (!b.null && (b.i != 0) == decisive) return boolean(decisive);
      if (!run(0, a)) return false;
      if (!a.null && (a.i != 0) == decisive) return boolean(decisive);
      if (a.null || b.null) {
        out = {};
        return true;
      }
      return boolean(!decisive);
    }
    case kNot:
      if (!run(0, a)) return false;
      if (a.null) {
        out = {};
        return true;
      }
      return boolean(a.i == 0);
    case kIn: {
      if (!run(0, a)) return false;
      bool r = false;
      for (std::size_t i = 1; i < s.operands.size() && !r; ++i) {
        if (!run(i, b)) return false;
        r = Equal(a, b);
      }
      return boolean(r != s.negated);
    }
    case kBetween: {
      if (!run(0, a) || !run(1, b)) return false;
      bool r = Holds(kOpGreaterEqual, a, b);
      if (r) {
        if (!run(2, b)) return false;
        r = Holds(kOpLessEqual, a, b);
      }
      return boolean(r != s.negated);
    }
    case kTree: {
      const TExpValue v = evaluator_.Evaluate(*s.node, record);
      out = {v.i, v.null};
      return true;
    }
  }
  return false;
}

}  // namespace kura
