#include "db/storage/data/field_types.h"

#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstring>

#include "db/storage/coding.h"

namespace kura {
namespace {

constexpr std::int64_t kMsPerDay = 86'400'000;

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

template <typename T>
bool ParseInteger(std::string_view text, T* out) {
  if (!text.empty() && text[0] == '+') text.remove_prefix(1);
  const char* end = text.data() + text.size();
  auto [p, ec] = std::from_chars(text.data(), end, *out);
  return ec == std::errc() && p == end && !text.empty();
}

// Exactly n decimal digits at text[pos..].
bool Digits(std::string_view text, std::size_t pos, std::size_t n, int* out) {
  if (pos + n > text.size()) return false;
  int v = 0;
  for (std::size_t i = pos; i < pos + n; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    v = v * 10 + (text[i] - '0');
  }
  *out = v;
  return true;
}

int DaysInMonth(int y, int m) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return m == 2 && leap ? 29 : kDays[m - 1];
}

bool ParseDate(std::string_view t, std::int32_t* day) {
  int y, m, d;
  if (t.size() != 10 || t[4] != '-' || t[7] != '-' || !Digits(t, 0, 4, &y) ||
      !Digits(t, 5, 2, &m) || !Digits(t, 8, 2, &d))
    return false;
  if (y < 1 || m < 1 || m > 12 || d < 1 || d > DaysInMonth(y, m)) return false;
  *day = DayNumber(y, m, d);
  return true;
}

bool ParseTime(std::string_view t, std::int32_t* ms) {
  int h, mi, s = 0, frac = 0;
  if (t.size() < 5 || t[2] != ':' || !Digits(t, 0, 2, &h) || !Digits(t, 3, 2, &mi)) return false;
  std::size_t pos = 5;
  if (pos < t.size()) {
    if (t[pos] != ':' || !Digits(t, pos + 1, 2, &s)) return false;
    pos += 3;
    if (pos < t.size()) {
      if (t[pos] != '.' || t.size() - pos - 1 < 1 || t.size() - pos - 1 > 3) return false;
      const std::size_t n = t.size() - pos - 1;
      if (!Digits(t, pos + 1, n, &frac)) return false;
      for (std::size_t i = n; i < 3; ++i)
        frac *= 10;
      pos = t.size();
    }
  }
  if (h > 23 || mi > 59 || s > 59) return false;
  *ms = ((h * 60 + mi) * 60 + s) * 1000 + frac;
  return true;
}

bool ParseTimestamp(std::string_view t, double* ms) {
  std::int32_t day = 0, time = 0;
  if (t.size() < 10 || !ParseDate(t.substr(0, 10), &day)) return false;
  if (t.size() > 10) {
    if ((t[10] != 'T' && t[10] != ' ') || !ParseTime(t.substr(11), &time)) return false;
  }
  *ms = static_cast<double>((static_cast<std::int64_t>(day) - 1) * kMsPerDay + time);
  return true;
}

// Decimal text -> BCD with the field's scale (extra fraction digits are
// refused rather than silently rounded).
bool ParseBcd(std::string_view t, int scale, std::uint8_t* out) {
  bool negative = false;
  if (!t.empty() && (t[0] == '-' || t[0] == '+')) {
    negative = t[0] == '-';
    t.remove_prefix(1);
  }
  const std::size_t dot = t.find('.');
  std::string_view whole = t.substr(0, dot);
  std::string_view frac = dot == std::string_view::npos ? std::string_view() : t.substr(dot + 1);
  if (whole.empty() && frac.empty()) return false;
  if (dot != std::string_view::npos && frac.empty() && whole.empty()) return false;
  while (frac.size() > static_cast<std::size_t>(scale) && frac.back() == '0')
    frac.remove_suffix(1);
  while (whole.size() > 1 && whole.front() == '0')
    whole.remove_prefix(1);
  if (frac.size() > static_cast<std::size_t>(scale)) return false;
  if (whole.size() + static_cast<std::size_t>(scale) > kBcdDigits) return false;
  std::string digits(kBcdDigits, '0');
  const std::size_t int_digits = kBcdDigits - static_cast<std::size_t>(scale);
  for (char c : whole)
    if (c < '0' || c > '9') return false;
  for (char c : frac)
    if (c < '0' || c > '9') return false;
  digits.replace(int_digits - whole.size(), whole.size(), whole);
  digits.replace(int_digits, frac.size(), frac);
  std::memset(out, 0, kBcdSize);
  out[0] = kBcdDigits;
  const bool zero = digits.find_first_not_of('0') == std::string::npos;
  out[1] = static_cast<std::uint8_t>(((negative && !zero) ? 0x80 : 0) | (scale & 0x3F));
  for (int i = 0; i < kBcdDigits; ++i) {
    const int d = digits[static_cast<std::size_t>(i)] - '0';
    out[2 + i / 2] |= static_cast<std::uint8_t>(i % 2 == 0 ? d << 4 : d);
  }
  return true;
}

std::string FormatBcd(const std::uint8_t* v) {
  const int precision = v[0] > 64 ? 64 : v[0];
  const int scale = v[1] & 0x3F;
  std::string digits;
  for (int i = 0; i < precision; ++i) {
    const int d = i % 2 == 0 ? v[2 + i / 2] >> 4 : v[2 + i / 2] & 0x0F;
    digits += static_cast<char>('0' + (d > 9 ? 9 : d));
  }
  const int s = scale > precision ? precision : scale;
  std::string whole = digits.substr(0, digits.size() - static_cast<std::size_t>(s));
  std::string frac = digits.substr(digits.size() - static_cast<std::size_t>(s));
  const auto nz = whole.find_first_not_of('0');
  whole = nz == std::string::npos ? "0" : whole.substr(nz);
  while (!frac.empty() && frac.back() == '0')
    frac.pop_back();
  std::string out = ((v[1] & 0x80) ? "-" : "") + whole;
  if (!frac.empty()) out += "." + frac;
  return out;
}

bool ParseHexOrText(std::string_view t, int length, std::vector<std::uint8_t>* out) {
  out->clear();
  if (t.size() >= 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
    t.remove_prefix(2);
    if (t.size() % 2 != 0) return false;
    for (std::size_t i = 0; i < t.size(); i += 2) {
      unsigned v = 0;
      auto [p, ec] = std::from_chars(t.data() + i, t.data() + i + 2, v, 16);
      if (ec != std::errc() || p != t.data() + i + 2) return false;
      out->push_back(static_cast<std::uint8_t>(v));
    }
  } else {
    out->assign(t.begin(), t.end());
  }
  if (out->size() > static_cast<std::size_t>(length)) return false;
  out->resize(static_cast<std::size_t>(length), 0);
  return true;
}

// A stored value outside its type's range, shown as "?" and the raw number.
std::string Unreadable(std::string raw) {
  raw.insert(raw.begin(), '?');
  return raw;
}

std::string FormatDouble(double v) {
  char buf[64];
  auto [p, ec] = std::to_chars(buf, buf + sizeof buf, v);
  return ec == std::errc() ? std::string(buf, p) : std::string("?");
}

std::string FormatDate(std::int32_t day) {
  int y, m, d;
  CivilFromDayNumber(day, &y, &m, &d);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", y, m, d);
  return buf;
}

std::string FormatTime(std::int64_t ms) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", static_cast<int>(ms / 3'600'000),
                static_cast<int>(ms / 60'000 % 60), static_cast<int>(ms / 1000 % 60),
                static_cast<int>(ms % 1000));
  return buf;
}

}  // namespace

bool IsValidFieldType(std::uint8_t type) {
  return (type >= kFieldString && type <= kFieldVarBytes) || type == kFieldLargeInt;
}

bool IsValidSubtype(std::uint8_t type, std::uint8_t subtype) {
  switch (subtype) {
    case kSubtypeNone:
      return true;
    case kSubtypeMoney:
      return type == kFieldFloat;
    case kSubtypeMemo:
    case kSubtypeBinary:
    case kSubtypeFormattedMemo:
    case kSubtypeOle:
    case kSubtypeGraphic:
    case kSubtypeTypedBinary:
      return type == kFieldBlob;
    case kSubtypeAutoInc:
      return type == kFieldInteger;
    case kSubtypeFixed:
      return type == kFieldString || type == kFieldBytes || type == kFieldVarBytes;
    default:
      return false;
  }
}

bool HasDeclaredLength(std::uint8_t type) {
  return type == kFieldString || type == kFieldBytes || type == kFieldVarBytes;
}

int StorageSize(std::uint8_t type, int length) {
  switch (type) {
    case kFieldString:
      return length + 1;
    case kFieldDate:
      return 4;
    case kFieldBlob:
      return 8;
    case kFieldBoolean:
      return 2;
    case kFieldSmallInt:
      return 2;
    case kFieldInteger:
      return 4;
    case kFieldFloat:
      return 8;
    case kFieldBcd:
      return kBcdSize;
    case kFieldBytes:
      return length;
    case kFieldTime:
      return 4;
    case kFieldTimestamp:
      return 8;
    case kFieldWord:
      return 2;
    case kFieldUnsigned:
      return 4;
    case kFieldExtended:
      return 10;
    case kFieldVarBytes:
      return length;
    case kFieldLargeInt:
      return 8;
    default:
      return 0;
  }
}

std::int32_t DayNumber(int y, int m, int d) {
  // Days from civil (H. Hinnant's algorithm), shifted so that 0001-01-01 = 1.
  y -= m <= 2;
  const int era = (y >= 0 ? y : y - 399) / 400;
  const int yoe = y - era * 400;
  const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const std::int64_t days_from_epoch = static_cast<std::int64_t>(era) * 146097 + doe - 719468;
  return static_cast<std::int32_t>(days_from_epoch + 719163);
}

void CivilFromDayNumber(std::int32_t day, int* year, int* month, int* day_of_month) {
  std::int64_t z = static_cast<std::int64_t>(day) - 719163 + 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  const std::int64_t d = doy - (153 * mp + 2) / 5 + 1;
  const std::int64_t m = mp + (mp < 10 ? 3 : -9);
  *year = static_cast<int>(yoe + era * 400 + (m <= 2));
  *month = static_cast<int>(m);
  *day_of_month = static_cast<int>(d);
}

void EncodeExtended(std::uint8_t* p, long double v) {
  static_assert(LDBL_MANT_DIG == 64, "the x87 80-bit extended format is required");
  std::uint8_t raw[sizeof(long double)] = {};
  std::memcpy(raw, &v, sizeof v);
  std::memcpy(p, raw, 10);
}

long double DecodeExtended(const std::uint8_t* p) {
  std::uint8_t raw[sizeof(long double)] = {};
  std::memcpy(raw, p, 10);
  long double v;
  std::memcpy(&v, raw, sizeof v);
  return v;
}

std::optional<std::vector<std::uint8_t>> ParseValueText(const TValueShape& shape,
                                                        std::string_view t, std::string* error) {
  const int size = StorageSize(shape.type, shape.length);
  std::vector<std::uint8_t> out(static_cast<std::size_t>(size > 0 ? size : 0), 0);
  auto fail = [&](const char* why) -> std::optional<std::vector<std::uint8_t>> {
    if (error) *error = why;
    return std::nullopt;
  };
  switch (shape.type) {
    case kFieldString:
      if (t.size() > static_cast<std::size_t>(shape.length)) return fail("string too long");
      return std::vector<std::uint8_t>(t.begin(), t.end());
    case kFieldDate: {
      std::int32_t day;
      if (!ParseDate(t, &day)) return fail("not a date (YYYY-MM-DD)");
      EncodeFixed32(out.data(), static_cast<std::uint32_t>(day));
      return out;
    }
    case kFieldBoolean: {
      int v;
      if (EqualsIgnoringCase(t, "true") || t == "1")
        v = 1;
      else if (EqualsIgnoringCase(t, "false") || t == "0")
        v = 0;
      else
        return fail("not a boolean (true, false, 1, 0)");
      EncodeFixed16(out.data(), static_cast<std::uint16_t>(v));
      return out;
    }
    case kFieldSmallInt: {
      std::int16_t v;
      if (!ParseInteger(t, &v)) return fail("not a 16-bit integer");
      EncodeFixed16(out.data(), static_cast<std::uint16_t>(v));
      return out;
    }
    case kFieldInteger: {
      std::int32_t v;
      if (!ParseInteger(t, &v)) return fail("not a 32-bit integer");
      EncodeFixed32(out.data(), static_cast<std::uint32_t>(v));
      return out;
    }
    case kFieldWord: {
      std::uint16_t v;
      if (!ParseInteger(t, &v)) return fail("not a 16-bit unsigned integer");
      EncodeFixed16(out.data(), v);
      return out;
    }
    case kFieldUnsigned: {
      std::uint32_t v;
      if (!ParseInteger(t, &v)) return fail("not a 32-bit unsigned integer");
      EncodeFixed32(out.data(), v);
      return out;
    }
    case kFieldLargeInt: {
      std::int64_t v;
      if (!ParseInteger(t, &v)) return fail("not a 64-bit integer");
      EncodeFixed64(out.data(), static_cast<std::uint64_t>(v));
      return out;
    }
    case kFieldFloat: {
      double v;
      if (!t.empty() && t[0] == '+') t.remove_prefix(1);
      auto [p, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
      if (t.empty() || ec != std::errc() || p != t.data() + t.size() || !std::isfinite(v))
        return fail("not a number");
      EncodeDouble(out.data(), v);
      return out;
    }
    case kFieldExtended: {
      std::string s(t);
      char* end = nullptr;
      const long double v = s.empty() ? 0 : std::strtold(s.c_str(), &end);
      if (s.empty() || end != s.c_str() + s.size() || !std::isfinite(v) ||
          std::isspace(static_cast<unsigned char>(s[0])))
        return fail("not a number");
      EncodeExtended(out.data(), v);
      return out;
    }
    case kFieldBcd:
      if (shape.scale < 0 || shape.scale > kBcdDigits || !ParseBcd(t, shape.scale, out.data()))
        return fail("not a decimal number of the field's precision and scale");
      return out;
    case kFieldTime: {
      std::int32_t ms;
      if (!ParseTime(t, &ms)) return fail("not a time (HH:MM:SS[.mmm])");
      EncodeFixed32(out.data(), static_cast<std::uint32_t>(ms));
      return out;
    }
    case kFieldTimestamp: {
      double ms;
      if (!ParseTimestamp(t, &ms)) return fail("not a timestamp (YYYY-MM-DDTHH:MM:SS[.mmm])");
      EncodeDouble(out.data(), ms);
      return out;
    }
    case kFieldBytes:
    case kFieldVarBytes: {
      std::vector<std::uint8_t> bytes;
      if (!ParseHexOrText(t, shape.length, &bytes)) return fail("bytes too long or bad hex");
      return bytes;
    }
    default:
      return fail("the field type has no text form");
  }
}

bool IsValidValueText(const TValueShape& shape, std::string_view text) {
  if (text.empty()) return true;
  if ((shape.type == kFieldDate && EqualsIgnoringCase(text, "CURRENT_DATE")) ||
      (shape.type == kFieldTime && EqualsIgnoringCase(text, "CURRENT_TIME")) ||
      (shape.type == kFieldTimestamp && EqualsIgnoringCase(text, "CURRENT_TIMESTAMP")))
    return true;
  return ParseValueText(shape, text, nullptr).has_value();
}

std::string FormatValue(const TValueShape& shape, const std::uint8_t* v) {
  switch (shape.type) {
    case kFieldString: {
      const std::size_t max = static_cast<std::size_t>(shape.length);
      const std::size_t n = strnlen(reinterpret_cast<const char*>(v), max);
      return std::string(reinterpret_cast<const char*>(v), n);
    }
    case kFieldDate:
      return FormatDate(static_cast<std::int32_t>(DecodeFixed32(v)));
    case kFieldBlob:
      return "blob:" + std::to_string(static_cast<std::int32_t>(DecodeFixed32(v)));
    case kFieldBoolean:
      return DecodeFixed16(v) ? "true" : "false";
    case kFieldSmallInt:
      return std::to_string(static_cast<std::int16_t>(DecodeFixed16(v)));
    case kFieldInteger:
      return std::to_string(static_cast<std::int32_t>(DecodeFixed32(v)));
    case kFieldWord:
      return std::to_string(DecodeFixed16(v));
    case kFieldUnsigned:
      return std::to_string(DecodeFixed32(v));
    case kFieldLargeInt:
      return std::to_string(static_cast<std::int64_t>(DecodeFixed64(v)));
    case kFieldFloat:
      return FormatDouble(DecodeDouble(v));
    case kFieldExtended: {
      char buf[64];
      std::snprintf(buf, sizeof buf, "%.19Lg", DecodeExtended(v));
      return buf;
    }
    case kFieldBcd:
      return FormatBcd(v);
    case kFieldTime: {
      const std::int64_t ms = static_cast<std::int32_t>(DecodeFixed32(v));
      if (ms < 0 || ms >= kMsPerDay) return Unreadable(std::to_string(ms));
      return FormatTime(ms);
    }
    case kFieldTimestamp: {
      const double ms = DecodeDouble(v);
      if (!std::isfinite(ms) || ms < 0 || ms > 1e17) return Unreadable(FormatDouble(ms));
      const auto total = static_cast<std::int64_t>(ms);
      const std::int64_t day = total / kMsPerDay + 1;
      if (day > 3'652'059) return Unreadable(FormatDouble(ms));  // beyond 9999-12-31
      return FormatDate(static_cast<std::int32_t>(day)) + "T" + FormatTime(total % kMsPerDay);
    }
    case kFieldBytes:
    case kFieldVarBytes: {
      static constexpr char kHex[] = "0123456789abcdef";
      std::string out = "0x";
      for (int i = 0; i < shape.length; ++i) {
        out += kHex[v[i] >> 4];
        out += kHex[v[i] & 15];
      }
      return out;
    }
    default:
      return "?";
  }
}

}  // namespace kura
