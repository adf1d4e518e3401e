#include "db/dataset/field.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "db/common/code_page.h"
#include "db/common/database_error.h"
#include "db/dataset/data_set.h"
#include "db/dataset/messages.h"

namespace kura {

namespace {

// Fields whose value is a plain integer of at most 8 bytes.
bool IsInteger(TFieldType type) {
  return type == TFieldType::ftSmallint || type == TFieldType::ftWord ||
         type == TFieldType::ftInteger || type == TFieldType::ftAutoInc ||
         type == TFieldType::ftLargeint;
}

using Bytes = std::vector<std::byte>;

enum class Kind { kText, kInt, kBool, kFloat, kBlob, kRaw };

Kind KindOf(TFieldType type) {
  switch (type) {
    case TFieldType::ftString:
    case TFieldType::ftFixedChar:
    case TFieldType::ftWideString:
      return Kind::kText;
    case TFieldType::ftSmallint:
    case TFieldType::ftInteger:
    case TFieldType::ftWord:
    case TFieldType::ftAutoInc:
    case TFieldType::ftLargeint:
    case TFieldType::ftDate:
    case TFieldType::ftTime:
      return Kind::kInt;
    case TFieldType::ftBoolean:
      return Kind::kBool;
    case TFieldType::ftFloat:
    case TFieldType::ftCurrency:
    case TFieldType::ftDateTime:
      return Kind::kFloat;
    default:
      return IsBlobType(type) ? Kind::kBlob : Kind::kRaw;
  }
}

template <typename T>
T Load(const Bytes& data) {
  T value;
  std::memcpy(&value, data.data(), sizeof value);
  return value;
}

template <typename T>
void Store(Bytes& data, T value) {
  std::memcpy(data.data(), &value, sizeof value);
}

std::string Trim(const std::string& text) {
  const auto first = text.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

int64_t ParseInteger(const std::string& text) {
  const std::string t = Trim(text);
  int64_t value = 0;
  const char* end = t.data() + t.size();
  const char* begin = t.data() + (!t.empty() && t[0] == '+' ? 1 : 0);
  auto [ptr, ec] = std::from_chars(begin, end, value);
  if (t.empty() || ec != std::errc() || ptr != end) DatabaseError(kInvalidInteger, text);
  return value;
}

double ParseFloat(const std::string& text) {
  const std::string t = Trim(text);
  double value = 0;
  const char* end = t.data() + t.size();
  auto [ptr, ec] = std::from_chars(t.data(), end, value);
  if (t.empty() || ec != std::errc() || ptr != end || !std::isfinite(value)) {
    DatabaseError(kInvalidFloat, text);
  }
  return value;
}

std::string FloatText(double value) {
  char text[32];
  auto [ptr, ec] = std::to_chars(text, text + sizeof text, value);
  return ec == std::errc() ? std::string(text, ptr) : std::string();
}

}  // namespace

bool IsStringType(TFieldType type) {
  return KindOf(type) == Kind::kText;
}

bool IsBlobType(TFieldType type) {
  return (type >= TFieldType::ftBlob && type <= TFieldType::ftTypedBinary) ||
         type == TFieldType::ftOraBlob || type == TFieldType::ftOraClob;
}

std::size_t NativeDataSize(TFieldType type, int size) {
  const auto n = static_cast<std::size_t>(size < 0 ? 0 : size);
  switch (type) {
    case TFieldType::ftString:
    case TFieldType::ftFixedChar:
    case TFieldType::ftWideString:
      return n + 1;
    case TFieldType::ftSmallint:
    case TFieldType::ftWord:
    case TFieldType::ftBoolean:
      return 2;
    case TFieldType::ftInteger:
    case TFieldType::ftAutoInc:
    case TFieldType::ftDate:
    case TFieldType::ftTime:
      return 4;
    case TFieldType::ftFloat:
    case TFieldType::ftCurrency:
    case TFieldType::ftDateTime:
    case TFieldType::ftLargeint:
      return 8;
    case TFieldType::ftVarBytes:
      return n + 2;
    default:
      return n;
  }
}

const char* FieldTypeName(TFieldType type) {
  switch (KindOf(type)) {
    case Kind::kText:
      return "String";
    case Kind::kInt:
      return "Integer";
    case Kind::kBool:
      return "Boolean";
    case Kind::kFloat:
      return "Float";
    case Kind::kBlob:
      return "Blob";
    case Kind::kRaw:
      break;
  }
  return "Bytes";
}

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

TField::TField(TDataSet& dataset, const TFieldDef& def, TFieldKind kind)
    : dataset_(dataset),
      name_(def.name),
      type_(def.data_type),
      kind_(kind),
      size_(def.size),
      field_no_(kind == TFieldKind::fkData ? def.field_no : 0),
      required_(def.required) {}

bool TField::GetData(std::byte* dest) const {
  if (!dataset_.Active()) DatabaseError(kDataSetClosed);
  return dataset_.GetFieldData(*this, dest);
}

void TField::SetData(const std::byte* src) {
  if (!dataset_.Active()) DatabaseError(kDataSetClosed);
  dataset_.SetFieldData(*this, src);
}

void TField::AccessError(const char* as_type) const {
  DatabaseError(kFieldAccessError, name_, as_type);
}

bool TField::IsNull() const {
  if (KindOf(type_) == Kind::kBlob) return ReadBlob().empty();
  Bytes data(DataSize());
  return !GetData(data.data());
}

// The value of an integer field (IsInteger), read through a buffer on the
// stack: integers are read per row and column, and need no value object.
std::optional<int64_t> TField::IntegerData() const {
  if (!IsInteger(type_)) return std::nullopt;
  std::byte data[8] = {};
  if (!GetData(data)) return std::nullopt;
  auto load = [&](auto v) {
    std::memcpy(&v, data, sizeof v);
    return int64_t{v};
  };
  switch (type_) {
    case TFieldType::ftSmallint:
      return load(int16_t{});
    case TFieldType::ftWord:
      return load(uint16_t{});
    case TFieldType::ftLargeint:
      return load(int64_t{});
    default:
      return load(int32_t{});
  }
}

TFieldValue TField::Value() const {
  const Kind kind = KindOf(type_);
  if (kind == Kind::kBlob) {
    std::string text = ReadBlob();
    if (text.empty()) return {};
    return text;
  }
  if (std::optional<int64_t> i = IntegerData()) return *i;
  if (IsInteger(type_)) return {};
  Bytes data(DataSize());
  if (!GetData(data.data())) return {};
  switch (type_) {
    case TFieldType::ftDate:
    case TFieldType::ftTime:
      return int64_t{Load<int32_t>(data)};
    case TFieldType::ftBoolean:
      return Load<int16_t>(data) != 0;
    default:
      break;
  }
  if (kind == Kind::kFloat) return Load<double>(data);
  if (kind == Kind::kText) return std::string(reinterpret_cast<const char*>(data.data()));
  return std::string(reinterpret_cast<const char*>(data.data()), data.size());
}

void TField::SetValue(const TFieldValue& value) {
  if (std::holds_alternative<std::monostate>(value)) return Clear();
  const Kind kind = KindOf(type_);
  if (kind == Kind::kBlob) return WriteBlob(std::get<std::string>(value));
  if (kind == Kind::kText || kind == Kind::kRaw) {
    if (!std::holds_alternative<std::string>(value)) AccessError("String");
    Bytes data(DataSize());
    // A text too long for its field is cut to the field at a character
    // boundary (the engine's text is CP932), never inside a character.
    const std::string_view text = kind == Kind::kText
                                      ? Cp932Prefix(std::get<std::string>(value), data.size() - 1)
                                      : std::string_view(std::get<std::string>(value));
    std::memcpy(data.data(), text.data(), std::min(data.size(), text.size()));
    return SetData(data.data());
  }
  if (std::holds_alternative<std::string>(value)) return SetAsString(std::get<std::string>(value));
  Bytes data(DataSize());
  if (kind == Kind::kFloat) {
    double d = 0;
    if (auto* i = std::get_if<int64_t>(&value))
      d = static_cast<double>(*i);
    else if (auto* f = std::get_if<double>(&value))
      d = *f;
    else
      AccessError("Boolean");
    Store(data, d);
    return SetData(data.data());
  }
  int64_t n = 0;
  if (auto* i = std::get_if<int64_t>(&value))
    n = *i;
  else if (auto* b = std::get_if<bool>(&value))
    n = *b ? 1 : 0;
  else
    AccessError("Float");
  auto check = [&](int64_t low, int64_t high) {
    if (n < low || n > high) DatabaseError(kInvalidInteger, std::to_string(n));
  };
  switch (type_) {
    case TFieldType::ftSmallint:
    case TFieldType::ftBoolean:
      check(std::numeric_limits<int16_t>::min(), std::numeric_limits<int16_t>::max());
      Store(data, static_cast<int16_t>(type_ == TFieldType::ftBoolean ? n != 0 : n));
      break;
    case TFieldType::ftWord:
      check(0, std::numeric_limits<uint16_t>::max());
      Store(data, static_cast<uint16_t>(n));
      break;
    case TFieldType::ftLargeint:
      Store(data, n);
      break;
    default:
      check(std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max());
      Store(data, static_cast<int32_t>(n));
      break;
  }
  SetData(data.data());
}

int64_t TField::AsLargeInt() const {
  if (IsInteger(type_)) return IntegerData().value_or(0);
  const TFieldValue value = Value();
  if (auto* i = std::get_if<int64_t>(&value)) return *i;
  if (auto* s = std::get_if<std::string>(&value)) {
    if (KindOf(type_) != Kind::kText) AccessError("Integer");
    return ParseInteger(*s);
  }
  if (auto* f = std::get_if<double>(&value)) return std::llround(*f);
  if (std::holds_alternative<bool>(value)) AccessError("Integer");
  return 0;
}

int32_t TField::AsInteger() const {
  const int64_t value = AsLargeInt();
  if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max()) {
    DatabaseError(kInvalidInteger, std::to_string(value));
  }
  return static_cast<int32_t>(value);
}

double TField::AsFloat() const {
  const TFieldValue value = Value();
  if (auto* f = std::get_if<double>(&value)) return *f;
  if (auto* i = std::get_if<int64_t>(&value)) return static_cast<double>(*i);
  if (auto* s = std::get_if<std::string>(&value)) {
    if (KindOf(type_) != Kind::kText) AccessError("Float");
    return ParseFloat(*s);
  }
  if (std::holds_alternative<bool>(value)) AccessError("Float");
  return 0;
}

bool TField::AsBoolean() const {
  const TFieldValue value = Value();
  if (auto* b = std::get_if<bool>(&value)) return *b;
  if (std::holds_alternative<std::monostate>(value)) return false;
  if (auto* s = std::get_if<std::string>(&value); s && KindOf(type_) == Kind::kText) {
    if (SameName(Trim(*s), "True")) return true;
    if (SameName(Trim(*s), "False")) return false;
    DatabaseError(kInvalidBoolean, *s);
  }
  AccessError("Boolean");
}

std::string TField::AsString() const {
  const TFieldValue value = Value();
  if (auto* s = std::get_if<std::string>(&value)) return *s;
  if (auto* i = std::get_if<int64_t>(&value)) return std::to_string(*i);
  if (auto* f = std::get_if<double>(&value)) return FloatText(*f);
  if (auto* b = std::get_if<bool>(&value)) return *b ? "True" : "False";
  return {};
}

void TField::SetAsInteger(int32_t value) {
  SetValue(int64_t{value});
}
void TField::SetAsLargeInt(int64_t value) {
  SetValue(value);
}

void TField::SetAsFloat(double value) {
  const Kind kind = KindOf(type_);
  if (kind == Kind::kText) return SetValue(FloatText(value));
  if (kind != Kind::kFloat) AccessError("Float");
  SetValue(value);
}

void TField::SetAsBoolean(bool value) {
  const Kind kind = KindOf(type_);
  if (kind == Kind::kText) return SetValue(std::string(value ? "True" : "False"));
  if (kind != Kind::kBool) AccessError("Boolean");
  SetValue(value);
}

void TField::SetAsString(const std::string& value) {
  switch (KindOf(type_)) {
    case Kind::kText:
    case Kind::kBlob:
    case Kind::kRaw:
      return SetValue(value);
    case Kind::kInt:
      if (Trim(value).empty()) return Clear();
      return SetValue(ParseInteger(value));
    case Kind::kFloat:
      if (Trim(value).empty()) return Clear();
      return SetValue(ParseFloat(value));
    case Kind::kBool:
      if (Trim(value).empty()) return Clear();
      if (SameName(Trim(value), "True")) return SetValue(true);
      if (SameName(Trim(value), "False")) return SetValue(false);
      DatabaseError(kInvalidBoolean, value);
  }
}

std::string TField::ReadBlob() const {
  if (!dataset_.Active()) DatabaseError(kDataSetClosed);
  auto stream = dataset_.CreateBlobStream(const_cast<TField&>(*this), TBlobStreamMode::bmRead);
  std::string text(static_cast<std::size_t>(std::max<int64_t>(stream->Size(), 0)), '\0');
  text.resize(stream->Read(text.data(), text.size()));
  return text;
}

void TField::WriteBlob(const std::string& value) {
  if (!dataset_.Active()) DatabaseError(kDataSetClosed);
  auto stream = dataset_.CreateBlobStream(*this, TBlobStreamMode::bmWrite);
  if (stream->Write(value.data(), value.size()) != value.size()) AccessError("Blob");
}

TField& TFields::operator[](int index) const {
  if (index < 0 || index >= Count()) DatabaseError(kListIndexError, std::to_string(index));
  return *fields_[static_cast<std::size_t>(index)];
}

TField* TFields::FindField(const std::string& name) const {
  for (TField* field : fields_) {
    if (SameName(field->FieldName(), name)) return field;
  }
  return nullptr;
}

TField& TFields::FieldByName(const std::string& name) const {
  TField* field = FindField(name);
  if (!field) DatabaseError(kFieldNotFound, name);
  return *field;
}

}  // namespace kura
