// Field objects of a dataset: one TField per column of the open result (data
// fields, made from the dataset's field definitions at open) plus calculated
// fields the program adds before opening. A field reads and writes its value
// through its dataset (TDataSet::GetFieldData / SetFieldData) in the field's
// native format:
//
//   type                               native value (DataSize bytes)
//   ftString, ftFixedChar, ftWideString Size bytes of text + a terminating 0
//   ftSmallint                          int16_t
//   ftInteger, ftAutoInc                int32_t
//   ftWord                              uint16_t
//   ftBoolean                           int16_t, 0 or 1
//   ftFloat, ftCurrency                 double
//   ftLargeint                          int64_t
//   ftDate, ftTime                      int32_t (days, milliseconds)
//   ftDateTime                          double
//   ftVarBytes                          uint16_t length + Size bytes
//   others (BCD, bytes, BLOBs)          Size bytes, read only as raw data
//
// Values are in host byte order; they never reach a file in this form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace kura {

class TDataSet;

// Host field types. The order matters: ftBlob..ftTypedBinary is one range.
enum class TFieldType {
  ftUnknown,
  ftString,
  ftSmallint,
  ftInteger,
  ftWord,
  ftBoolean,
  ftFloat,
  ftCurrency,
  ftBCD,
  ftDate,
  ftTime,
  ftDateTime,
  ftBytes,
  ftVarBytes,
  ftAutoInc,
  ftBlob,
  ftMemo,
  ftGraphic,
  ftFmtMemo,
  ftParadoxOle,
  ftDBaseOle,
  ftTypedBinary,
  ftFixedChar,
  ftWideString,
  ftLargeint,
  ftOraBlob,
  ftOraClob,
};

enum class TFieldKind { fkData, fkCalculated };

// A value as the program sees it: none (NULL), an integer, a float, a
// boolean or a string (code-page bytes).
using TFieldValue = std::variant<std::monostate, int64_t, double, bool, std::string>;

// True for the text types, whose native value is NUL-terminated text.
bool IsStringType(TFieldType type);
// True for the BLOB types, read and written through a blob stream.
bool IsBlobType(TFieldType type);
// Size in bytes of the native value of a field of this type and size.
std::size_t NativeDataSize(TFieldType type, int size);
// The type's name in messages ("Integer", "String", ...).
const char* FieldTypeName(TFieldType type);

// One column as the open cursor describes it; InternalOpen fills these.
struct TFieldDef {
  std::string name;
  TFieldType data_type = TFieldType::ftUnknown;
  int size = 0;  // characters of a string, bytes of BCD/bytes types, else 0
  bool required = false;
  bool internal = false;  // the cursor's own column: no field is made for it
  int field_no = 0;       // the cursor's 1-based field number
};

class TField {
 public:
  TField(TDataSet& dataset, const TFieldDef& def, TFieldKind kind);
  TField(const TField&) = delete;
  TField& operator=(const TField&) = delete;

  TDataSet& DataSet() const { return dataset_; }
  const std::string& FieldName() const { return name_; }
  TFieldType DataType() const { return type_; }
  TFieldKind FieldKind() const { return kind_; }
  int Size() const { return size_; }
  std::size_t DataSize() const { return NativeDataSize(type_, size_); }
  int FieldNo() const { return field_no_; }  // cursor field number, 0 for calculated
  int Index() const { return index_; }       // position in the dataset's Fields
  bool Required() const { return required_; }
  bool ReadOnly() const { return read_only_; }
  void SetReadOnly(bool value) { read_only_ = value; }
  const std::string& DisplayLabel() const {
    return display_label_.empty() ? name_ : display_label_;
  }
  void SetDisplayLabel(std::string value) { display_label_ = std::move(value); }
  const std::string& Origin() const { return origin_; }
  void SetOrigin(std::string value) { origin_ = std::move(value); }
  // Offset of a calculated field's indicator byte within the calculated part
  // of a record buffer (indicator, then DataSize bytes).
  std::size_t Offset() const { return offset_; }

  // Raw access: dest / src hold DataSize bytes; a null src writes NULL.
  bool GetData(std::byte* dest) const;
  void SetData(const std::byte* src);

  bool IsNull() const;
  void Clear() { SetData(nullptr); }
  int32_t AsInteger() const;
  void SetAsInteger(int32_t value);
  int64_t AsLargeInt() const;
  void SetAsLargeInt(int64_t value);
  double AsFloat() const;
  void SetAsFloat(double value);
  bool AsBoolean() const;
  void SetAsBoolean(bool value);
  std::string AsString() const;
  void SetAsString(const std::string& value);
  TFieldValue Value() const;
  // The value of an integer-typed field, or nothing (null, or not one).
  std::optional<int64_t> IntegerData() const;
  void SetValue(const TFieldValue& value);

 private:
  friend class TDataSet;
  [[noreturn]] void AccessError(const char* as_type) const;
  std::string ReadBlob() const;
  void WriteBlob(const std::string& value);

  TDataSet& dataset_;
  std::string name_;
  TFieldType type_;
  TFieldKind kind_;
  int size_;
  int field_no_;
  bool required_;
  bool read_only_ = false;
  int index_ = 0;
  std::size_t offset_ = 0;
  std::string display_label_;
  std::string origin_;
};

// The fields of a dataset in column order; names match ignoring ASCII case.
class TFields {
 public:
  int Count() const { return static_cast<int>(fields_.size()); }
  // Raises "List index out of bounds (%d)" for a bad index.
  TField& operator[](int index) const;
  TField* FindField(const std::string& name) const;
  // Raises "Field '%s' not found".
  TField& FieldByName(const std::string& name) const;

 private:
  friend class TDataSet;
  std::vector<TField*> fields_;  // owned by the dataset
};

// ASCII case-insensitive equality of names.
bool SameName(const std::string& a, const std::string& b);

}  // namespace kura
