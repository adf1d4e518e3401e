// Field type codes and the value encodings of the data file's records.
//
// | Code | Type            | Storage | Value encoding                                     |
// |------|-----------------|---------|----------------------------------------------------|
// | 1    | string          | len + 1 | characters, then a 0 byte (at most len characters) |
// | 2    | date            | 4       | int32 day number, 0001-01-01 = day 1               |
// | 3    | BLOB / memo     | 8       | int32 first BLOB block (0 = empty), int32 stamp    |
// | 4    | boolean         | 2       | int16 0 or 1                                       |
// | 5    | 16-bit integer  | 2       | int16                                              |
// | 6    | 32-bit integer  | 4       | int32 (subtype 29: auto-increment, no slot)        |
// | 7    | float           | 8       | IEEE double (subtype 21: money)                    |
// | 8    | BCD             | 34      | precision, sign|scale, 32 bytes packed digits      |
// | 9    | bytes           | len     | raw bytes                                          |
// | 10   | time            | 4       | int32 milliseconds since midnight                  |
// | 11   | timestamp       | 8       | double, milliseconds since 0001-01-01 00:00:00.000 |
// | 12   | 16-bit unsigned | 2       | uint16                                             |
// | 13   | 32-bit unsigned | 4       | uint32                                             |
// | 14   | extended float  | 10      | 80-bit IEEE extended (64-bit mantissa)             |
// | 15   | varbytes        | len     | raw bytes                                          |
// | 18   | 64-bit integer  | 8       | int64                                              |
//
// BCD: byte 0 the precision (always 32), byte 1 bit 7 the sign and bits 0..5
// the scale, then 32 bytes of which the first 16 hold 32 decimal digits, two
// per byte, most significant first; the last `scale` digits are the fraction.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kura {

// DO NOT CHANGE: type and subtype codes are stored in every descriptor.
enum EngineFieldType : std::uint8_t {
  kFieldString = 1,
  kFieldDate = 2,
  kFieldBlob = 3,
  kFieldBoolean = 4,
  kFieldSmallInt = 5,
  kFieldInteger = 6,
  kFieldFloat = 7,
  kFieldBcd = 8,
  kFieldBytes = 9,
  kFieldTime = 10,
  kFieldTimestamp = 11,
  kFieldWord = 12,
  kFieldUnsigned = 13,
  kFieldExtended = 14,
  kFieldVarBytes = 15,
  kFieldLargeInt = 18,
};

enum TFieldSubtype : std::uint8_t {
  kSubtypeNone = 0,
  kSubtypeMoney = 21,
  kSubtypeMemo = 22,
  kSubtypeBinary = 23,
  kSubtypeFormattedMemo = 24,
  kSubtypeOle = 25,
  kSubtypeGraphic = 26,
  kSubtypeTypedBinary = 28,
  kSubtypeAutoInc = 29,
  kSubtypeFixed = 31,
};

inline constexpr int kBcdSize = 34;
inline constexpr int kBcdDigits = 32;
inline constexpr int kMaxDeclaredLength = 250;

// Whether `type` is a known type code.
bool IsValidFieldType(std::uint8_t type);
// Whether `subtype` may accompany `type`.
bool IsValidSubtype(std::uint8_t type, std::uint8_t subtype);
// Whether the type carries a declared length (string, bytes, varbytes).
bool HasDeclaredLength(std::uint8_t type);
// Storage size of a value, from type and declared length (0 for unknown).
int StorageSize(std::uint8_t type, int length);

// Calendar helpers (proleptic Gregorian).
std::int32_t DayNumber(int year, int month, int day);  // 0001-01-01 = 1
void CivilFromDayNumber(std::int32_t day, int* year, int* month, int* day_of_month);

// 80-bit extended <-> double.
void EncodeExtended(std::uint8_t* p, long double v);
long double DecodeExtended(const std::uint8_t* p);

// The shape of a field as far as value text is concerned.
struct TValueShape {
  std::uint8_t type = 0;
  std::uint8_t subtype = 0;
  int length = 0;
  int scale = 0;
};

// Parses value text into the value bytes of the field (storage size bytes,
// or for strings the characters only). ISO 8601 for dates ("YYYY-MM-DD"),
// times ("HH:MM:SS[.mmm]") and timestamps (date, "T" or blank, time);
// "true"/"false"/"1"/"0" for booleans; decimal text for numbers and BCD;
// bytes as the text's bytes or "0x" and hex digits. Returns nullopt with a
// reason in *error when the text is not a value of the type. BLOB fields have
// no text form here.
std::optional<std::vector<std::uint8_t>> ParseValueText(const TValueShape& shape,
                                                        std::string_view text, std::string* error);
// Whether `text` is a valid minimum, maximum or default text for the field
// (date, time and timestamp fields also accept CURRENT_DATE, CURRENT_TIME and
// CURRENT_TIMESTAMP).
bool IsValidValueText(const TValueShape& shape, std::string_view text);
// Formats value bytes as text (the inverse of ParseValueText; bytes as 0x..,
// strings as their characters up to the terminating 0).
std::string FormatValue(const TValueShape& shape, const std::uint8_t* value);

}  // namespace kura
