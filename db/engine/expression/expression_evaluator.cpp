// Evaluation of a bound tree for one record.
//
// NULL rules: "=" is true when both sides are NULL, "<>" when exactly one is;
// the order comparisons are false when a non-string side is NULL, and take a
// NULL string as the empty string. LIKE takes NULL as the empty string too.
// Arithmetic on a NULL gives NULL; so does division by zero. AND and OR
// evaluate their right side first and skip the left side when the right one
// decides; otherwise they combine in three-valued logic. Every empty string
// a function produces is NULL, as an empty stored string is.
#include <unicode/ustring.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "db/common/code_page.h"
#include "db/engine/expression/expression.h"
#include "db/storage/index/key_collation.h"

namespace kura {

namespace {

TExpValue StrResult(std::string s) {
  return s.empty() ? TExpValue::Null(kFieldString) : TExpValue::Str(kFieldString, std::move(s));
}

long double AsLongDouble(const TExpValue& v) {
  if (v.type == kFieldDate) return static_cast<long double>(v.i - 1) * 86400000.0L;
  return IsFloatType(v.type) || v.type == kFieldTimestamp ? v.f : static_cast<long double>(v.i);
}

// `s` without the leading and/or trailing characters `c` (one byte, or a
// double-byte character of the code page). Characters are found by walking
// from the start, so that a trail byte is never taken for a character.
std::string Trim(const std::string& s, const std::string& c, std::uint8_t mode) {
  std::vector<std::size_t> starts;  // where each character begins
  for (std::size_t i = 0; i < s.size();) {
    starts.push_back(i);
    i += IsCp932LeadByte(static_cast<unsigned char>(s[i])) && i + 1 < s.size() ? 2 : 1;
  }
  auto is_c = [&](std::size_t k) {
    const std::size_t end = k + 1 < starts.size() ? starts[k + 1] : s.size();
    return s.compare(starts[k], end - starts[k], c) == 0;
  };
  std::size_t first = 0, last = starts.size();
  if (mode != kTrimTrailing)
    while (first < last && is_c(first))
      ++first;
  if (mode != kTrimLeading)
    while (last > first && is_c(last - 1))
      --last;
  if (first == last) return {};
  const std::size_t end = last < starts.size() ? starts[last] : s.size();
  return s.substr(starts[first], end - starts[first]);
}

// x rounded to `digits` decimals as its decimal text reads (the shortest
// text that gives x back), half away from zero: 2.675 gives 2.68, although
// the double nearest 2.675 lies below it.
double RoundDecimal(double x, int digits) {
  char buf[512];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::fixed);
  if (!std::isfinite(x) || ec != std::errc()) return x;
  std::string text(buf, end);
  const bool negative = text[0] == '-';
  if (negative) text.erase(0, 1);
  const std::size_t dot = text.find('.');
  const auto wanted = static_cast<std::size_t>(digits);
  if (dot == std::string::npos || text.size() - dot - 1 <= wanted) return x;
  std::string kept = text.substr(0, dot) + text.substr(dot + 1, wanted);
  if (text[dot + 1 + wanted] >= '5') {
    std::size_t i = kept.size();
    while (i > 0 && kept[i - 1] == '9')
      kept[--i] = '0';
    if (i == 0)
      kept.insert(kept.begin(), '1');
    else
      ++kept[i - 1];
  }
  const std::size_t whole = kept.size() - wanted;
  std::string rounded;
  if (negative) rounded.push_back('-');
  rounded.append(kept, 0, whole);
  if (wanted) {
    rounded.push_back('.');
    rounded.append(kept, whole, std::string::npos);
  }
  return std::strtod(rounded.c_str(), nullptr);
}

bool HoldsInteger(std::uint8_t t) {
  return IsIntegerType(t) || t == kFieldBoolean || t == kFieldDate || t == kFieldTime;
}

// The characters of a CP932 string (one or two bytes each).
std::vector<std::string_view> Characters(std::string_view s) {
  std::vector<std::string_view> out;
  for (std::size_t i = 0; i < s.size();) {
    const std::size_t n =
        IsCp932LeadByte(static_cast<unsigned char>(s[i])) && i + 1 < s.size() ? 2 : 1;
    out.push_back(s.substr(i, n));
    i += n;
  }
  return out;
}

template <typename T>
int Sign(T a, T b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

}  // namespace

TExpressionEvaluator::TExpressionEvaluator(const TExpressionContext& context, const TDataFile* data,
                                           std::uint32_t locale, TLastAutoIncLookup last_auto_inc)
    : context_(context),
      data_(data),
      locale_(locale),
      last_auto_inc_(std::move(last_auto_inc)) {}

// The language tables are loaded when a string is first compared or mapped:
// most statements compare none, and loading them is a good part of a short
// statement's time.
const KeyCollator* TExpressionEvaluator::Collator() const {
  if (locale_ != 0 && !collator_) collator_ = std::make_unique<KeyCollator>(locale_);
  return collator_.get();
}

KeyCaseMapper& TExpressionEvaluator::Mapper() const {
  if (!mapper_) mapper_ = std::make_unique<KeyCaseMapper>(locale_);
  return *mapper_;
}

TExpressionEvaluator::~TExpressionEvaluator() = default;

std::string TExpressionEvaluator::Upper(const std::string& s) const {
  return Mapper().Upper(s, std::numeric_limits<std::size_t>::max() / 2);
}

std::string TExpressionEvaluator::Lower(const std::string& s) const {
  const std::u16string in = Cp932ToUtf16(s);
  std::u16string out(in.size() * 2 + 4, u'\0');
  UErrorCode status = U_ZERO_ERROR;
  const int32_t n = u_strToLower(
      reinterpret_cast<UChar*>(out.data()), static_cast<int32_t>(out.size()),
      reinterpret_cast<const UChar*>(in.data()), static_cast<int32_t>(in.size()), "en_US", &status);
  if (U_FAILURE(status)) return s;
  out.resize(static_cast<std::size_t>(n));
  return Utf16ToCp932(out);
}

int TExpressionEvaluator::Compare(const TExpValue& a, const TExpValue& b) const {
  if (a.type == kFieldString && b.type == kFieldString) {
    if (case_insensitive_) {
      const std::string ua = Upper(a.s), ub = Upper(b.s);
      if (const KeyCollator* c = Collator()) return c->Compare(ua, ub);
      const int r = ua.compare(ub);
      return r < 0 ? -1 : (r > 0 ? 1 : 0);
    }
    if (const KeyCollator* c = Collator()) return c->Compare(a.s, b.s);
    const int r = a.s.compare(b.s);
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
  }
  if (IsByteType(a.type) || IsByteType(b.type)) {
    const int r = a.s.compare(b.s);
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
  }
  if (HoldsInteger(a.type) && HoldsInteger(b.type) &&
      (a.type == kFieldDate) == (b.type == kFieldDate))
    return Sign(a.i, b.i);
  return Sign(AsLongDouble(a), AsLongDouble(b));
}

bool TExpressionEvaluator::CompareOp(std::uint8_t code, const TExpValue& a,
                                     const TExpValue& b) const {
  if (code == kOpEqual || code == kOpNotEqual) {
    bool equal;
    if (a.null || b.null)
      equal = a.null && b.null;
    else
      equal = Compare(a, b) == 0;
    return code == kOpEqual ? equal : !equal;
  }
  int r;
  const bool textual = (a.type == kFieldString || a.type == 0) &&
                       (b.type == kFieldString || b.type == 0) &&
                       (a.type == kFieldString || b.type == kFieldString);
  if (textual) {
    TExpValue x = a, y = b;
    x.type = y.type = kFieldString;
    if (x.null) x.s.clear();
    if (y.null) y.s.clear();
    r = Compare(x, y);
  } else {
    if (a.null || b.null) return false;
    r = Compare(a, b);
  }
  switch (code) {
    case kOpLess:
      return r < 0;
    case kOpLessEqual:
      return r <= 0;
    case kOpGreater:
      return r > 0;
    default:
      return r >= 0;
  }
}

bool TExpressionEvaluator::CharEqual(std::string_view a, std::string_view b) const {
  if (const KeyCollator* c = Collator()) return c->Compare(a, b) == 0;
  return a == b;
}

bool TExpressionEvaluator::Like(const std::string& text, const std::string& pattern) const {
  const auto t = Characters(text);
  const auto p = Characters(pattern);
  std::size_t ti = 0, pi = 0, star = std::string::npos, mark = 0;
  while (ti < t.size()) {
    if (pi < p.size() && p[pi] == "%") {
      star = pi++;
      mark = ti;
    } else if (pi < p.size() && (p[pi] == "_" || CharEqual(p[pi], t[ti]))) {
      ++pi;
      ++ti;
    } else if (star != std::string::npos) {
      pi = star + 1;
      ti = ++mark;
    } else {
      return false;
    }
  }
  while (pi < p.size() && p[pi] == "%")
    ++pi;
  return pi == p.size();
}

TExpValue TExpressionEvaluator::Column(const TExpToken& n, const std::uint8_t* record) const {
  if (!record || !data_ || !n.field) context_.FailIn("Column " + n.column + " has no record");
  std::uint8_t buf[kBcdSize + 256];
  if (!data_->GetField(record, *n.field, buf)) return TExpValue::Null(n.field->Type());
  if (n.field->Type() == kFieldBlob) {
    TExpValue v = TExpValue::Null(kFieldBlob);
    v.null = false;
    return v;
  }
  return DecodeFieldValue(n.field->Shape(), buf);
}

TExpValue TExpressionEvaluator::Arithmetic(const TExpToken& n, const TExpValue& a,
                                           const TExpValue& b) const {
  if (a.null || b.null) return TExpValue::Null(n.type);
  const std::uint8_t code = n.code;
  if (n.type == kFieldString) return TExpValue::Str(kFieldString, a.s + b.s);
  if (n.type == kFieldLargeInt) {
    std::int64_t r = 0;
    bool overflow = false;
    if (code == kOpAdd) overflow = __builtin_add_overflow(a.i, b.i, &r);
    if (code == kOpSubtract) overflow = __builtin_sub_overflow(a.i, b.i, &r);
    if (code == kOpMultiply) overflow = __builtin_mul_overflow(a.i, b.i, &r);
    if (overflow) context_.FailIn("Arithmetic overflow in " + n.source);
    return TExpValue::Int(kFieldLargeInt, r);
  }
  if (n.type == kFieldDate || n.type == kFieldTime) {
    const bool left_is = a.type == n.type;
    const std::int64_t base = left_is ? a.i : b.i, delta = left_is ? b.i : a.i;
    return TExpValue::Int(n.type, code == kOpAdd ? base + delta : base - delta);
  }
  if (n.type == kFieldInteger) return TExpValue::Int(kFieldInteger, a.i - b.i);  // date - date
  if (n.type == kFieldTimestamp) {
    const bool left_is = a.type == kFieldTimestamp;
    const long double base = left_is ? a.f : b.f;
    const long double delta = AsLongDouble(left_is ? b : a);
    return TExpValue::Float(kFieldTimestamp,
                            static_cast<double>(code == kOpAdd ? base + delta : base - delta));
  }
  const long double x = AsLongDouble(a), y = AsLongDouble(b);
  long double r = 0;
  switch (code) {
    case kOpAdd:
      r = x + y;
      break;
    case kOpSubtract:
      r = x - y;
      break;
    case kOpMultiply:
      r = x * y;
      break;
    default:
      if (y == 0) return TExpValue::Null(n.type);
      r = x / y;
  }
  const double d = static_cast<double>(r);
  // A float result beyond the range of a double is an overflow, as for
  // integers (a NaN from finite operands cannot arise: / by 0 is NULL).
  if (std::isinf(d) && std::isfinite(x) && std::isfinite(y))
    context_.FailIn("Arithmetic overflow in " + n.source);
  return TExpValue::Float(kFieldFloat, d);
}

TExpValue TExpressionEvaluator::Cast(const TExpToken& n, const TExpValue& v) const {
  const TValueShape& to = n.cast;
  if (v.null) return TExpValue::Null(to.type);
  auto fail = [&](const std::string& what) {
    context_.FailIn("Cannot CAST " + what + " to " + TypeName(to.type));
  };
  if (to.type == kFieldString) {
    std::string text;
    if (v.type == kFieldString) {
      text = v.s;
    } else if (IsIntegerType(v.type)) {
      text = std::to_string(v.i);
    } else {
      TValueShape from{v.type, 0, static_cast<int>(v.s.size()), 0};
      if (v.type == kFieldBcd) from = {kFieldFloat, 0, 0, 0};
      std::vector<std::uint8_t> bytes;
      TExpValue w = v;
      if (v.type == kFieldBcd || v.type == kFieldExtended) w.type = kFieldFloat;
      if (v.type == kFieldExtended) from.type = kFieldFloat;
      w.f = static_cast<double>(w.f);
      if (!EncodeFieldValue(from, w, &bytes)) fail(TypeName(v.type) + " value");
      text = FormatValue(from, bytes.data());
    }
    if (text.size() > static_cast<std::size_t>(to.length))
      text.resize(static_cast<std::size_t>(to.length));
    return StrResult(std::move(text));
  }
  if (v.type == kFieldString) {
    std::string error;
    TValueShape shape = to;
    if (IsByteType(shape.type))
      shape.length = static_cast<int>(std::min<std::size_t>(v.s.size(), 250));
    const auto bytes = ParseValueText(shape, v.s, &error);
    if (!bytes) fail("'" + v.s + "'");
    return DecodeFieldValue(shape, bytes->data());
  }
  if (IsByteType(to.type)) {
    if (!IsByteType(v.type)) fail(TypeName(v.type) + " value");
    return TExpValue::Str(to.type, v.s.substr(0, static_cast<std::size_t>(to.length)));
  }
  if (to.type == kFieldBoolean) return TExpValue::Bool(AsLongDouble(v) != 0);
  if (IsIntegerType(to.type)) {
    const long double x = std::trunc(AsLongDouble(v));
    std::vector<std::uint8_t> bytes;
    TExpValue w = TExpValue::Float(kFieldFloat, x);
    if (HoldsInteger(v.type)) w = TExpValue::Int(kFieldLargeInt, v.i);
    if (!EncodeFieldValue(to, w, &bytes)) fail(TypeName(v.type) + " value out of range");
    return DecodeFieldValue(to, bytes.data());
  }
  if (IsFloatType(to.type)) {
    const long double x = AsLongDouble(v);
    if (to.type == kFieldBcd) {
      const long double scaled =
          std::round(x * std::pow(10.0L, to.scale)) / std::pow(10.0L, to.scale);
      return TExpValue::Float(kFieldBcd, scaled);
    }
    return TExpValue::Float(to.type, to.type == kFieldFloat ? static_cast<double>(x) : x);
  }
  // dates, times, timestamps
  long double ms = AsLongDouble(v);
  if (v.type == kFieldTime) ms = static_cast<long double>(v.i);
  if (to.type == kFieldTimestamp) return TExpValue::Float(kFieldTimestamp, static_cast<double>(ms));
  const auto day = static_cast<std::int64_t>(std::floor(ms / 86400000.0L));
  if (to.type == kFieldDate)
    return TExpValue::Int(kFieldDate, v.type == kFieldDate ? v.i : day + 1);
  if (to.type == kFieldTime)
    return TExpValue::Int(
        kFieldTime, static_cast<std::int64_t>(ms - static_cast<long double>(day) * 86400000.0L));
  fail(TypeName(v.type) + " value");
  return {};
}

TExpValue TExpressionEvaluator::Function(const TExpToken& n, const std::uint8_t* record) const {
  const auto& ops = n.operands;
  auto arg = [&](std::size_t i) { return Evaluate(*ops[i], record); };
  switch (n.code) {
    case kFnUpper:
    case kFnLower: {
      const TExpValue v = arg(0);
      if (v.null) return TExpValue::Null(kFieldString);
      return StrResult(n.code == kFnUpper ? Upper(v.s) : Lower(v.s));
    }
    case kFnLength: {
      const TExpValue v = arg(0);
      if (v.null) return TExpValue::Null(kFieldInteger);
      return TExpValue::Int(kFieldInteger, static_cast<std::int64_t>(v.s.size()));
    }
    case kFnSubstring: {
      const TExpValue v = arg(0), from = arg(1);
      const TExpValue count =
          ops.size() > 2 ? arg(2)
                         : TExpValue::Int(kFieldLargeInt, std::numeric_limits<std::int32_t>::max());
      if (v.null || from.null || count.null) return TExpValue::Null(kFieldString);
      const std::int64_t len = static_cast<std::int64_t>(v.s.size());
      const std::int64_t first = std::max<std::int64_t>(from.i, 1);
      const std::int64_t end =
          std::min<std::int64_t>(len + 1, count.i < 0 ? from.i : from.i + count.i);
      if (end <= first) return TExpValue::Null(kFieldString);
      return StrResult(
          v.s.substr(static_cast<std::size_t>(first - 1), static_cast<std::size_t>(end - first)));
    }
    case kFnReplace: {
      const TExpValue search = arg(0), with = arg(1), in = arg(2);
      if (in.null) return TExpValue::Null(kFieldString);
      if (search.null) return in;
      std::string out;
      const std::string& s = in.s;
      std::size_t at = 0;
      for (std::size_t hit; (hit = s.find(search.s, at)) != std::string::npos;
           at = hit + search.s.size())
        out.append(s, at, hit - at).append(with.null ? std::string() : with.s);
      out.append(s, at, std::string::npos);
      return StrResult(std::move(out));
    }
    case kFnPos:
    case kFnOccurs: {
      const TExpValue search = arg(0), in = arg(1);
      if (search.null || in.null) return TExpValue::Null(kFieldInteger);
      if (n.code == kFnPos) {
        const std::size_t at = in.s.find(search.s);
        return TExpValue::Int(kFieldInteger,
                              at == std::string::npos ? 0 : static_cast<std::int64_t>(at) + 1);
      }
      std::int64_t count = 0;
      for (std::size_t at = in.s.find(search.s); at != std::string::npos;
           at = in.s.find(search.s, at + search.s.size()))
        ++count;
      return TExpValue::Int(kFieldInteger, count);
    }
    case kFnTrim: {
      TExpValue v = arg(1);
      if (v.null) return v;
      return StrResult(Trim(v.s, ops[0]->value.s, n.option));
    }
    case kFnExtract: {
      const TExpValue v = arg(0);
      if (v.null) return TExpValue::Null(kFieldInteger);
      std::int64_t day = 0, ms = 0;
      if (v.type == kFieldDate) day = v.i;
      if (v.type == kFieldTime) ms = v.i;
      if (v.type == kFieldTimestamp) {
        const auto d = static_cast<std::int64_t>(std::floor(v.f / 86400000.0L));
        day = d + 1;
        ms = static_cast<std::int64_t>(v.f - static_cast<long double>(d) * 86400000.0L);
      }
      int y = 0, m = 0, dm = 0;
      if (n.option <= kPartDayOfYear)
        CivilFromDayNumber(static_cast<std::int32_t>(day), &y, &m, &dm);
      std::int64_t r = 0;
      switch (n.option) {
        case kPartYear:
          r = y;
          break;
        case kPartMonth:
          r = m;
          break;
        case kPartDay:
          r = dm;
          break;
        case kPartDayOfWeek:
          r = ((day % 7) + 7) % 7 + 1;
          break;  // 1 = Sunday
        case kPartDayOfYear:
          r = day - DayNumber(y, 1, 1) + 1;
          break;
        case kPartWeek:
          r = (day - DayNumber(y, 1, 1)) / 7 + 1;
          break;
        case kPartHour:
          r = ms / 3600000;
          break;
        case kPartMinute:
          r = ms / 60000 % 60;
          break;
        default:
          r = ms / 1000 % 60;
          break;
      }
      return TExpValue::Int(kFieldInteger, r);
    }
    case kFnCast:
      return Cast(n, arg(0));
    case kFnAbs: {
      TExpValue v = arg(0);
      if (v.null) return v;
      if (HoldsInteger(v.type)) {
        if (v.i == std::numeric_limits<std::int64_t>::min())
          context_.FailIn("Arithmetic overflow in " + n.source);
        v.i = v.i < 0 ? -v.i : v.i;
      } else {
        v.f = std::fabs(v.f);
      }
      return v;
    }
    case kFnRound: {
      TExpValue v = arg(0);
      if (v.null || HoldsInteger(v.type)) return v;
      return TExpValue::Float(n.type, RoundDecimal(static_cast<double>(v.f), n.option));
    }
    case kFnIf:
      return AsCommonType(arg(0).IsTrue() ? arg(1) : arg(2), n.type);
    case kFnIfNull:
      return AsCommonType(arg(0).null ? arg(1) : arg(2), n.type);
    case kFnCoalesce:
      for (std::size_t i = 0; i < ops.size(); ++i) {
        TExpValue v = arg(i);
        if (!v.null) return AsCommonType(std::move(v), n.type);
      }
      return TExpValue::Null(n.type);
    case kFnTextSearch:
    case kFnTextOccurs:
      context_.FailIn(n.text + " needs a text index on column '" + ops[1]->column +
                      "', and text indexes are not available for this table");
    case kFnLastAutoInc:
    case kFnIdentCurrent:
      if (!last_auto_inc_)
        context_.FailIn(n.text + " cannot reach table '" + ops[0]->value.s + "'");
      return TExpValue::Int(kFieldInteger, last_auto_inc_(ops[0]->value.s));
    default:
      context_.FailIn("Aggregate function " + n.text + " cannot be evaluated for a single record");
  }
}

TExpValue TExpressionEvaluator::Evaluate(const TExpToken& n, const std::uint8_t* record) const {
  switch (n.kind) {
    case kNodeConstant:
      return n.value;
    case kNodeColumn:
      return Column(n, record);
    case kNodeUnary: {
      const TExpValue v = Evaluate(*n.left, record);
      if (n.code == kOpNot)
        return v.null ? TExpValue::Null(kFieldBoolean) : TExpValue::Bool(v.i == 0);
      if (v.null) return TExpValue::Null(n.type);
      if (n.code == kOpPlus)
        return HoldsInteger(v.type) ? TExpValue::Int(n.type, v.i)
                                    : TExpValue::Float(kFieldFloat, v.f);
      if (HoldsInteger(v.type)) {
        if (v.i == std::numeric_limits<std::int64_t>::min())
          context_.FailIn("Arithmetic overflow in " + n.source);
        return TExpValue::Int(n.type, -v.i);
      }
      return TExpValue::Float(kFieldFloat, static_cast<double>(-v.f));
    }
    case kNodeBinary: {
      if (n.code == kOpAnd || n.code == kOpOr) {
        const bool decisive = n.code == kOpOr;  // the value that decides alone
        const TExpValue r = Evaluate(*n.right, record);
        if (!r.null && (r.i != 0) == decisive) return TExpValue::Bool(decisive);
        const TExpValue l = Evaluate(*n.left, record);
        if (!l.null && (l.i != 0) == decisive) return TExpValue::Bool(decisive);
        if (l.null || r.null) return TExpValue::Null(kFieldBoolean);
        return TExpValue::Bool(!decisive);
      }
      const TExpValue a = Evaluate(*n.left, record);
      const TExpValue b = Evaluate(*n.right, record);
      if (IsComparison(n.code)) return TExpValue::Bool(CompareOp(n.code, a, b));
      return Arithmetic(n, a, b);
    }
    case kNodePredicate: {
      const TExpValue x = Evaluate(*n.operands[0], record);
      bool r = false;
      if (n.code == kPredLike) {
        const TExpValue p = Evaluate(*n.operands[1], record);
        r = Like(x.null ? std::string() : x.s, p.null ? std::string() : p.s);
      } else if (n.code == kPredBetween) {
        r = CompareOp(kOpGreaterEqual, x, Evaluate(*n.operands[1], record)) &&
            CompareOp(kOpLessEqual, x, Evaluate(*n.operands[2], record));
      } else if (n.code == kPredIn) {
        for (std::size_t i = 1; i < n.operands.size() && !r; ++i)
          r = CompareOp(kOpEqual, x, Evaluate(*n.operands[i], record));
      } else if (n.code == kPredInSelect && n.in_select) {
        r = n.in_select(*this, x, record);
      } else {
        context_.FailIn("Sub-select queries cannot be evaluated for a single record");
      }
      return TExpValue::Bool(r != n.negated);
    }
    case kNodeFunction:
      return Function(n, record);
    default:
      context_.FailIn("Unknown expression node " + n.text);
  }
}

}  // namespace kura
