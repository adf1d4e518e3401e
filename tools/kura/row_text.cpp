#include "tools/kura/row_text.h"

#include <charconv>

#include "db/common/code_page.h"
#include "db/storage/file/file_system.h"

namespace kura::tool {
namespace {

struct TTypeName {
  const char* name;
  std::uint8_t type;
  std::uint8_t subtype;
};

// The first row of a (type, subtype) pair is the name a dump shows.
constexpr TTypeName kTypeNames[] = {
    {"string", kFieldString, 0},
    {"date", kFieldDate, 0},
    {"blob", kFieldBlob, 0},
    {"memo", kFieldBlob, kSubtypeMemo},
    {"graphic", kFieldBlob, kSubtypeGraphic},
    {"boolean", kFieldBoolean, 0},
    {"smallint", kFieldSmallInt, 0},
    {"integer", kFieldInteger, 0},
    {"autoinc", kFieldInteger, kSubtypeAutoInc},
    {"float", kFieldFloat, 0},
    {"money", kFieldFloat, kSubtypeMoney},
    {"bcd", kFieldBcd, 0},
    {"bytes", kFieldBytes, 0},
    {"varbytes", kFieldVarBytes, 0},
    {"time", kFieldTime, 0},
    {"timestamp", kFieldTimestamp, 0},
    {"word", kFieldWord, 0},
    {"unsigned", kFieldUnsigned, 0},
    {"extended", kFieldExtended, 0},
    {"largeint", kFieldLargeInt, 0},
};

bool ParseSmall(std::string_view text, int* out) {
  auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), *out);
  return ec == std::errc() && p == text.data() + text.size() && *out >= 0 && *out <= 65535;
}

std::vector<std::string_view> Split(std::string_view text, char sep) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t at = text.find(sep, start);
    parts.push_back(text.substr(start, at == std::string_view::npos ? at : at - start));
    if (at == std::string_view::npos) return parts;
    start = at + 1;
  }
}

}  // namespace

bool IsValidUtf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t extra;
    if (c < 0x80)
      extra = 0;
    else if (c >= 0xC2 && c <= 0xDF)
      extra = 1;
    else if ((c & 0xF0) == 0xE0)
      extra = 2;
    else if (c >= 0xF0 && c <= 0xF4)
      extra = 3;
    else
      return false;
    if (extra >= s.size() - i) return false;
    for (std::size_t k = 1; k <= extra; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += extra + 1;
  }
  return true;
}

std::optional<TFieldDefinition> ParseFieldDefinition(std::string_view definition,
                                                     std::string* error) {
  const auto parts = Split(definition, ':');
  if (parts.size() < 2 || parts.size() > 4 || parts[0].empty()) {
    *error = "field definition must be NAME:TYPE[:LENGTH[:SCALE]]: " + std::string(definition);
    return std::nullopt;
  }
  TFieldDefinition f;
  if (!IsValidUtf8(parts[0])) {
    *error = "field name is not UTF-8";
    return std::nullopt;
  }
  f.name = Utf8ToCp932(parts[0]);
  const TTypeName* type = nullptr;
  for (const TTypeName& t : kTypeNames)
    if (SameTextIgnoringCase(t.name, parts[1])) type = &t;
  if (type == nullptr) {
    *error = "unknown field type: " + std::string(parts[1]);
    return std::nullopt;
  }
  f.type = type->type;
  f.subtype = type->subtype;
  if (parts.size() >= 3 && !ParseSmall(parts[2], &f.length)) {
    *error = "field length is not a number: " + std::string(parts[2]);
    return std::nullopt;
  }
  if (parts.size() == 4 && !ParseSmall(parts[3], &f.scale)) {
    *error = "field scale is not a number: " + std::string(parts[3]);
    return std::nullopt;
  }
  // A BCD field given one number takes it as its scale.
  if (f.type == kFieldBcd && parts.size() == 3) std::swap(f.length, f.scale);
  if (f.type == kFieldBcd) f.length = 0;
  return f;
}

std::string TypeName(std::uint8_t type, std::uint8_t subtype) {
  for (const TTypeName& t : kTypeNames)
    if (t.type == type && t.subtype == subtype) return t.name;
  for (const TTypeName& t : kTypeNames)
    if (t.type == type) return std::string(t.name) + "/" + std::to_string(subtype);
  return "type" + std::to_string(type);
}

bool FillRecord(const TDataFile& data, std::string_view line, std::vector<std::uint8_t>* record,
                std::optional<std::int32_t>* auto_inc, std::string* error) {
  const auto values = Split(line, '\t');
  if (values.size() != static_cast<std::size_t>(data.FieldCount())) {
    *error = "expected " + std::to_string(data.FieldCount()) + " values, found " +
             std::to_string(values.size());
    return false;
  }
  auto& mutable_data = const_cast<TDataFile&>(data);
  for (int pos = 1; pos <= data.FieldCount(); ++pos) {
    const TFieldDescriptor& f = data.Field(pos);
    const std::string_view text = values[static_cast<std::size_t>(pos - 1)];
    // The field's name, for an error only.
    auto name = [&f] { return Cp932ToUtf8(f.Name()); };
    if (text == "\\N") {
      if (f.IsAutoInc()) continue;  // a new value is handed out
      mutable_data.PutNull(record->data(), f);
      continue;
    }
    if (f.Type() == kFieldBlob) {
      *error = "field " + name() + ": BLOB values cannot be given as text";
      return false;
    }
    if (!IsValidUtf8(text)) {
      *error = "field " + name() + ": text is not UTF-8";
      return false;
    }
    std::optional<std::string> cp932;
    if (f.Type() == kFieldString) {
      cp932 = Utf8ToCp932Exact(text);
      if (!cp932) {
        *error = "field " + name() + ": a character has no CP932 form: " + std::string(text);
        return false;
      }
    }
    std::string why;
    const auto value = ParseValueText(f.Shape(), cp932 ? std::string_view(*cp932) : text, &why);
    if (!value) {
      *error = "field " + name() + ": " + why + ": " + std::string(text);
      return false;
    }
    if (f.IsAutoInc()) {
      const auto v = static_cast<std::int32_t>(DecodeFixed32(value->data()));
      if (v <= 0) {
        *error = "field " + name() + ": auto-increment values are positive";
        return false;
      }
      *auto_inc = v;
      continue;
    }
    mutable_data.PutField(record->data(), f, *value);
  }
  return true;
}

std::string FieldText(const TDataFile& data, const std::uint8_t* record,
                      const TFieldDescriptor& field) {
  std::vector<std::uint8_t> value(static_cast<std::size_t>(field.StorageSize()) + 8, 0);
  if (!data.GetField(record, field, value.data())) return "\\N";
  TValueShape shape = field.Shape();
  if (field.Type() == kFieldBlob) {
    return "blob:" + std::to_string(static_cast<std::int32_t>(DecodeFixed32(value.data()))) +
           " stamp:" +
           std::to_string(static_cast<std::int32_t>(DecodeFixed32(record + field.Offset() + 5)));
  }
  const std::string text = FormatValue(shape, value.data());
  return field.Type() == kFieldString ? Cp932ToUtf8(text) : text;
}

}  // namespace kura::tool
