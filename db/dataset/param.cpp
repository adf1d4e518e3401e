#include "db/dataset/param.h"

#include <charconv>

#include "db/common/database_error.h"
#include "db/dataset/messages.h"

namespace kura {

namespace {

bool IsLeadByte(unsigned char c) {
  return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

bool IsNameByte(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
         c >= 0x80;
}

}  // namespace

void TParam::Set(TFieldType type, TFieldValue value) {
  data_type_ = type;
  value_ = std::move(value);
  bound_ = true;
}

void TParam::Clear() {
  value_ = std::monostate{};
  bound_ = true;
}

int64_t TParam::AsLargeInt() const {
  if (auto* i = std::get_if<int64_t>(&value_)) return *i;
  if (auto* b = std::get_if<bool>(&value_)) return *b ? 1 : 0;
  if (auto* f = std::get_if<double>(&value_)) return static_cast<int64_t>(*f);
  if (auto* s = std::get_if<std::string>(&value_)) {
    int64_t n = 0;
    auto [ptr, ec] = std::from_chars(s->data(), s->data() + s->size(), n);
    if (s->empty() || ec != std::errc() || ptr != s->data() + s->size()) {
      DatabaseError(kInvalidInteger, *s);
    }
    return n;
  }
  return 0;
}

int32_t TParam::AsInteger() const {
  return static_cast<int32_t>(AsLargeInt());
}

double TParam::AsFloat() const {
  if (auto* f = std::get_if<double>(&value_)) return *f;
  if (std::holds_alternative<std::string>(value_)) {
    const std::string& s = std::get<std::string>(value_);
    double d = 0;
    auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), d);
    if (s.empty() || ec != std::errc() || ptr != s.data() + s.size())
      DatabaseError(kInvalidFloat, s);
    return d;
  }
  return static_cast<double>(AsLargeInt());
}

bool TParam::AsBoolean() const {
  if (auto* b = std::get_if<bool>(&value_)) return *b;
  if (auto* s = std::get_if<std::string>(&value_)) {
    if (SameName(*s, "True")) return true;
    if (SameName(*s, "False") || s->empty()) return false;
    DatabaseError(kInvalidBoolean, *s);
  }
  return AsLargeInt() != 0;
}

std::string TParam::AsString() const {
  if (auto* s = std::get_if<std::string>(&value_)) return *s;
  if (auto* i = std::get_if<int64_t>(&value_)) return std::to_string(*i);
  if (auto* b = std::get_if<bool>(&value_)) return *b ? "True" : "False";
  if (auto* f = std::get_if<double>(&value_)) {
    char text[32];
    auto [ptr, ec] = std::to_chars(text, text + sizeof text, *f);
    return ec == std::errc() ? std::string(text, ptr) : std::string();
  }
  return {};
}

void TParam::AssignField(const TField& field) {
  data_type_ = field.DataType() == TFieldType::ftAutoInc ? TFieldType::ftInteger : field.DataType();
  value_ = field.Value();
  bound_ = true;
}

void TParam::AssignValue(const TParam& other) {
  data_type_ = other.data_type_;
  value_ = other.value_;
  bound_ = other.bound_;
}

std::size_t TParam::GetDataSize() const {
  if (IsStringType(data_type_) || IsBlobType(data_type_)) return AsString().size() + 1;
  return NativeDataSize(data_type_, 0);
}

TParam& TParams::operator[](int index) const {
  if (index < 0 || index >= Count()) DatabaseError(kListIndexError, std::to_string(index));
  return *items_[static_cast<std::size_t>(index)];
}

TParam& TParams::Add(const std::string& name) {
  items_.push_back(std::make_unique<TParam>(name));
  return *items_.back();
}

TParam* TParams::FindParam(const std::string& name) const {
  for (const auto& param : items_) {
    if (SameName(param->Name(), name)) return param.get();
  }
  return nullptr;
}

TParam& TParams::ParamByName(const std::string& name) const {
  TParam* param = FindParam(name);
  if (!param) DatabaseError(kParamNotFound, name);
  return *param;
}

void TParams::AssignValues(const TParams& old) {
  for (const auto& param : items_) {
    if (const TParam* previous = old.FindParam(param->Name())) param->AssignValue(*previous);
  }
}

std::string TParams::ParseSQL(const std::string& sql, bool create) {
  std::string out;
  out.reserve(sql.size());
  char quote = 0;  // the quote character of the literal we are in, or 0
  std::size_t i = 0;
  while (i < sql.size()) {
    const char c = sql[i];
    if (quote) {
      if (c == quote) quote = 0;  // a doubled quote reopens at once
      out += c;
      ++i;
    } else if (c == '\'' || c == '"') {
      quote = c;
      out += c;
      ++i;
    } else if (c == ':' && i + 1 < sql.size() && sql[i + 1] == ':') {
      out += ':';
      i += 2;
    } else if (c == ':' && i + 1 < sql.size() &&
               IsNameByte(static_cast<unsigned char>(sql[i + 1]))) {
      std::size_t end = i + 1;
      while (end < sql.size() && IsNameByte(static_cast<unsigned char>(sql[end]))) {
        end += IsLeadByte(static_cast<unsigned char>(sql[end])) && end + 1 < sql.size() ? 2 : 1;
      }
      if (create) Add(sql.substr(i + 1, end - i - 1));
      out += '?';
      i = end;
    } else {
      out += c;
      ++i;
    }
  }
  return out;
}

}  // namespace kura
