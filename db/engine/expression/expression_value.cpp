// Conversions between stored field values and expression values.
#include <cmath>
#include <cstring>
#include <limits>

#include "db/engine/expression/expression.h"
#include "db/storage/coding.h"

namespace kura {

bool IsIntegerType(std::uint8_t t) {
  return t == kFieldSmallInt || t == kFieldInteger || t == kFieldWord || t == kFieldUnsigned ||
         t == kFieldLargeInt;
}

bool IsFloatType(std::uint8_t t) {
  return t == kFieldFloat || t == kFieldBcd || t == kFieldExtended;
}

std::string TypeName(std::uint8_t t) {
  switch (t) {
    case 0:
      return "NULL";
    case kFieldString:
      return "CHAR";
    case kFieldDate:
      return "DATE";
    case kFieldBlob:
      return "BLOB";
    case kFieldBoolean:
      return "BOOLEAN";
    case kFieldSmallInt:
      return "SMALLINT";
    case kFieldInteger:
      return "INTEGER";
    case kFieldFloat:
      return "FLOAT";
    case kFieldBcd:
      return "DECIMAL";
    case kFieldBytes:
      return "BYTES";
    case kFieldTime:
      return "TIME";
    case kFieldTimestamp:
      return "TIMESTAMP";
    case kFieldWord:
      return "WORD";
    case kFieldUnsigned:
      return "UNSIGNED";
    case kFieldExtended:
      return "EXTENDED";
    case kFieldVarBytes:
      return "VARBYTES";
    case kFieldLargeInt:
      return "LARGEINT";
    default:
      return "UNKNOWN";
  }
}

namespace {

long double DecodeBcd(const std::uint8_t* p) {
  const int scale = p[1] & 0x3F;
  const bool negative = (p[1] & 0x80) != 0;
  long double v = 0;
  for (int i = 0; i < kBcdDigits; ++i) {
    const std::uint8_t b = p[2 + i / 2];
    v = v * 10 + ((i % 2 == 0) ? (b >> 4) : (b & 0x0F));
  }
  v /= std::pow(10.0L, scale);
  return negative ? -v : v;
}

bool EncodeBcd(long double v, int scale, std::uint8_t* p) {
  std::memset(p, 0, kBcdSize);
  if (!std::isfinite(v) || scale < 0 || scale > kBcdDigits) return false;
  const bool negative = v < 0;
  long double units = std::fabs(v) * std::pow(10.0L, scale);
  if (units != std::floor(units) || units >= std::pow(10.0L, kBcdDigits)) return false;
  p[0] = kBcdDigits;
  p[1] = static_cast<std::uint8_t>(scale | (negative ? 0x80 : 0));
  for (int i = kBcdDigits - 1; i >= 0; --i) {
    const auto d = static_cast<std::uint8_t>(std::fmod(units, 10.0L));
    units = std::floor(units / 10);
    p[2 + i / 2] |= (i % 2 == 0) ? static_cast<std::uint8_t>(d << 4) : d;
  }
  return true;
}

template <typename T>
bool ExactInteger(const TExpValue& v, T* out) {
  long double x;
  if (IsIntegerType(v.type) || v.type == kFieldBoolean) {
    if (v.i < static_cast<std::int64_t>(std::numeric_limits<T>::min()) ||
        (v.i > 0 && static_cast<std::uint64_t>(v.i) >
                        static_cast<std::uint64_t>(std::numeric_limits<T>::max())))
      return false;
    *out = static_cast<T>(v.i);
    return true;
  }
  if (!IsFloatType(v.type)) return false;
  x = v.f;
  if (!std::isfinite(x) || x != std::floor(x)) return false;
  if (x < static_cast<long double>(std::numeric_limits<T>::min()) ||
      x > static_cast<long double>(std::numeric_limits<T>::max()))
    return false;
  *out = static_cast<T>(x);
  return true;
}

}  // namespace

TExpValue DecodeFieldValue(const TValueShape& shape, const std::uint8_t* p) {
  switch (shape.type) {
    case kFieldString: {
      const auto* end = static_cast<const std::uint8_t*>(
          std::memchr(p, 0, static_cast<std::size_t>(shape.length) + 1));
      const std::size_t n =
          end ? static_cast<std::size_t>(end - p) : static_cast<std::size_t>(shape.length);
      return TExpValue::Str(kFieldString, std::string(reinterpret_cast<const char*>(p), n));
    }
    case kFieldBytes:
    case kFieldVarBytes:
      return TExpValue::Str(shape.type, std::string(reinterpret_cast<const char*>(p),
                                                    static_cast<std::size_t>(shape.length)));
    case kFieldDate:
    case kFieldTime:
    case kFieldInteger:
      return TExpValue::Int(shape.type, static_cast<std::int32_t>(DecodeFixed32(p)));
    case kFieldBoolean:
      return TExpValue::Int(shape.type, DecodeFixed16(p) != 0 ? 1 : 0);
    case kFieldSmallInt:
      return TExpValue::Int(shape.type, static_cast<std::int16_t>(DecodeFixed16(p)));
    case kFieldWord:
      return TExpValue::Int(shape.type, DecodeFixed16(p));
    case kFieldUnsigned:
      return TExpValue::Int(shape.type, DecodeFixed32(p));
    case kFieldLargeInt:
      return TExpValue::Int(shape.type, static_cast<std::int64_t>(DecodeFixed64(p)));
    case kFieldFloat:
    case kFieldTimestamp: {
      double d;
      const std::uint64_t bits = DecodeFixed64(p);
      std::memcpy(&d, &bits, 8);
      return TExpValue::Float(shape.type, d);
    }
    case kFieldExtended:
      return TExpValue::Float(shape.type, DecodeExtended(p));
    case kFieldBcd:
      return TExpValue::Float(shape.type, DecodeBcd(p));
    default:  // BLOB: only its NULL-ness is an expression value
      return TExpValue::Null(shape.type);
  }
}

bool EncodeFieldValue(const TValueShape& shape, const TExpValue& v,
                      std::vector<std::uint8_t>* out) {
  const int size = StorageSize(shape.type, shape.length);
  out->assign(static_cast<std::size_t>(std::max(size, 0)), 0);
  if (v.null || size <= 0) return false;
  std::uint8_t* p = out->data();
  switch (shape.type) {
    case kFieldString:
      if (v.type != kFieldString || v.s.size() > static_cast<std::size_t>(shape.length) ||
          v.s.find('\0') != std::string::npos)
        return false;
      std::memcpy(p, v.s.data(), v.s.size());
      return true;
    case kFieldBytes:
    case kFieldVarBytes:
      if (!IsByteType(v.type) || v.s.size() != static_cast<std::size_t>(shape.length)) return false;
      std::memcpy(p, v.s.data(), v.s.size());
      return true;
    case kFieldDate:
    case kFieldTime:
      if (v.type != shape.type) return false;
      EncodeFixed32(p, static_cast<std::uint32_t>(v.i));
      return true;
    case kFieldBoolean:
      if (v.type != kFieldBoolean) return false;
      EncodeFixed16(p, v.i ? 1 : 0);
      return true;
    case kFieldInteger: {
      std::int32_t x;
      if (!ExactInteger(v, &x)) return false;
      EncodeFixed32(p, static_cast<std::uint32_t>(x));
      return true;
    }
    case kFieldSmallInt: {
      std::int16_t x;
      if (!ExactInteger(v, &x)) return false;
      EncodeFixed16(p, static_cast<std::uint16_t>(x));
      return true;
    }
    case kFieldWord: {
      std::uint16_t x;
      if (!ExactInteger(v, &x)) return false;
      EncodeFixed16(p, x);
      return true;
    }
    case kFieldUnsigned: {
      std::uint32_t x;
      if (!ExactInteger(v, &x)) return false;
      EncodeFixed32(p, x);
      return true;
    }
    case kFieldLargeInt: {
      std::int64_t x;
      if (!ExactInteger(v, &x)) return false;
      EncodeFixed64(p, static_cast<std::uint64_t>(x));
      return true;
    }
    case kFieldFloat:
    case kFieldTimestamp: {
      if (shape.type == kFieldTimestamp ? v.type != kFieldTimestamp : !IsNumericType(v.type))
        return false;
      const long double x = IsIntegerType(v.type) ? static_cast<long double>(v.i) : v.f;
      const double d = static_cast<double>(x);
      if (static_cast<long double>(d) != x) return false;
      std::uint64_t bits;
      std::memcpy(&bits, &d, 8);
      EncodeFixed64(p, bits);
      return true;
    }
    case kFieldExtended:
      if (!IsNumericType(v.type)) return false;
      EncodeExtended(p, IsIntegerType(v.type) ? static_cast<long double>(v.i) : v.f);
      return true;
    case kFieldBcd:
      if (!IsNumericType(v.type)) return false;
      return EncodeBcd(IsIntegerType(v.type) ? static_cast<long double>(v.i) : v.f, shape.scale, p);
    default:
      return false;
  }
}

TExpValue AsCommonType(TExpValue v, std::uint8_t type) {
  if (v.null) {
    v.type = type;
    return v;
  }
  if (type == 0 || v.type == type) return v;
  if (IsFloatType(type) && IsIntegerType(v.type)) return TExpValue::Float(type, static_cast<long double>(v.i));
  if ((IsFloatType(type) && IsFloatType(v.type)) || (IsIntegerType(type) && IsIntegerType(v.type))) {
    v.type = type;
    return v;
  }
  if (type == kFieldTimestamp && v.type == kFieldDate)
    return TExpValue::Float(type, static_cast<long double>(v.i - 1) * 86400000.0L);
  return v;
}

}  // namespace kura
