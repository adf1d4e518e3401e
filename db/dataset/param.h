// Parameter objects of a query and the parser that finds them in SQL text.
//
// Parameter markers: outside quoted text ('...' or "...", a doubled quote
// inside standing for itself), a colon followed by a name (letters, digits,
// "_" and double-byte characters) is replaced by "?" and names one positional
// parameter; "::" stands for a literal colon. A colon followed by anything
// else is left as it is.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "db/dataset/field.h"

namespace kura {

class TParam {
 public:
  explicit TParam(std::string name) : name_(std::move(name)) {}

  const std::string& Name() const { return name_; }
  // ftUnknown until a value or a type is given.
  TFieldType DataType() const { return data_type_; }
  void SetDataType(TFieldType type) { data_type_ = type; }
  // True once the program gave the parameter a value (or NULL).
  bool Bound() const { return bound_; }
  void SetBound(bool value) { bound_ = value; }
  bool IsNull() const { return std::holds_alternative<std::monostate>(value_); }
  const TFieldValue& Value() const { return value_; }

  // Each setter also sets the data type and marks the parameter bound.
  void SetAsInteger(int32_t value) { Set(TFieldType::ftInteger, int64_t{value}); }
  void SetAsSmallInt(int16_t value) { Set(TFieldType::ftSmallint, int64_t{value}); }
  void SetAsLargeInt(int64_t value) { Set(TFieldType::ftLargeint, value); }
  void SetAsFloat(double value) { Set(TFieldType::ftFloat, value); }
  void SetAsBoolean(bool value) { Set(TFieldType::ftBoolean, value); }
  void SetAsString(const std::string& value) { Set(TFieldType::ftString, value); }
  // NULL, keeping the data type.
  void Clear();
  int32_t AsInteger() const;
  int64_t AsLargeInt() const;
  double AsFloat() const;
  bool AsBoolean() const;
  std::string AsString() const;

  // Takes the field's type and current value (a master row's column).
  void AssignField(const TField& field);
  // Takes type, value and bound flag of another parameter, keeping the name.
  void AssignValue(const TParam& other);
  // Bytes of the value in its native format (field.h); a string counts its
  // terminating 0.
  std::size_t GetDataSize() const;

 private:
  void Set(TFieldType type, TFieldValue value);

  std::string name_;
  TFieldType data_type_ = TFieldType::ftUnknown;
  TFieldValue value_;
  bool bound_ = false;
};

class TParams {
 public:
  int Count() const { return static_cast<int>(items_.size()); }
  // Raises "List index out of bounds (%d)" for a bad index.
  TParam& operator[](int index) const;
  TParam& Add(const std::string& name);
  void Clear() { items_.clear(); }
  TParam* FindParam(const std::string& name) const;
  // Raises "Parameter '%s' not found".
  TParam& ParamByName(const std::string& name) const;
  // For every parameter of this list, the value of the first parameter of
  // the same name in old (names compared ignoring ASCII case).
  void AssignValues(const TParams& old);

  // Returns sql with every parameter marker replaced by "?"; with create set
  // it also appends one parameter per marker, in order of appearance.
  std::string ParseSQL(const std::string& sql, bool create);

 private:
  std::vector<std::unique_ptr<TParam>> items_;
};

}  // namespace kura
