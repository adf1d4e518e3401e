// On-disk layout of a table's data file (table name + ".DAT"). All integers
// are little-endian; a "short string (c)" is a length byte followed by c bytes
// of text, zero padded (c + 1 bytes in all).
//
// File:
// | Offset                     | Size                   | Contents                     |
// |----------------------------|------------------------|------------------------------|
// | 0                          | 127                    | header                       |
// | 127                        | field count x 768      | field descriptors, field 1.. |
// | 127 + field count x 768    | record size x slots    | record slots, slot 1 first   |
// The length is exactly header + descriptors + slots; slots = next record - 1.
//
// Header (127 bytes):
// | Off | Size | Type     | Meaning                                                  |
// |-----|------|----------|----------------------------------------------------------|
// | 0   | 4    | int32    | change counter (+1 on every header write / marked change)|
// | 4   | 4    | int32    | BLOB block size (low 16 bits; 0 means 512)               |
// | 8   | 1    | uint8    | format version, must be 5                                |
// | 9   | 4    | int32    | head of the free chain (0 = none)                        |
// | 13  | 4    | int32    | next record number (1 for an empty file)                 |
// | 17  | 4    | int32    | last auto-increment value handed out                     |
// | 21  | 2    | uint16   | record size                                              |
// | 23  | 2    | uint16   | field count (<= 1024)                                    |
// | 25  | 2    | int16    | BLOB field count (<= 128)                                |
// | 27  | 8    | float64  | last-write stamp (days since 1899-12-30, minus 693594)    |
// | 35  | 51   | sstr(50) | description (characters scrambled when encrypted)        |
// | 86  | 1    | uint8    | encrypted flag                                           |
// | 87  | 16   | sstr(15) | password (scrambled; empty when not encrypted)           |
// | 103 | 2    | int16    | locale language id (0 = built-in byte ordering)          |
// | 105 | 2    | int16    | locale sort id                                           |
// | 107 | 2    | int16    | user major version                                       |
// | 109 | 2    | int16    | user minor version                                       |
// | 111 | 1    | uint8    | header-changed flag as it stood when written (ignored)   |
// | 112 | 4    | int32    | last BLOB stamp handed out                               |
// | 116 | 8    | int64    | writer stamp, 33000                                      |
// | 124 | 3    | -        | zero                                                     |
//
// Field descriptor (768 bytes; the whole area scrambled when encrypted):
// | Off | Size | Type     | Meaning                                                  |
// |-----|------|----------|----------------------------------------------------------|
// | 0   | 2    | uint16   | field number = position (1..field count)                 |
// | 2   | 31   | sstr(30) | field name                                               |
// | 33  | 51   | sstr(50) | field description                                        |
// | 84  | 1    | uint8    | type code (field_types.h)                                |
// | 85  | 1    | uint8    | subtype code (0 = none)                                  |
// | 86  | 1    | uint8    | declared length (1..250 string/bytes/varbytes, else 0)   |
// | 87  | 1    | uint8    | scale (BCD only)                                         |
// | 88  | 1    | uint8    | storage size of the value                                |
// | 89  | 1    | uint8    | copy of the scale                                        |
// | 90  | 2    | uint16   | offset of the field's slot in the record                 |
// | 92  | 1    | uint8    | required flag                                            |
// | 93  | 1    | uint8    | character case: 0 unchanged, 1 lower, 2 upper            |
// | 94  | 51   | sstr(50) | minimum value text                                       |
// | 145 | 51   | sstr(50) | maximum value text                                       |
// | 196 | 51   | sstr(50) | default value text                                       |
// | 247 | 1    | uint8    | computed flag (no slot in the record)                    |
// | 248 | 520  | -        | working storage; kept as it stands                       |
//
// Record (record size bytes):
// | Off | Size | Meaning                                                          |
// |-----|------|------------------------------------------------------------------|
// | 0   | 1    | deleted flag: 0 live, 1 deleted                                  |
// | 1   | 4    | live: own record number; deleted: next slot of the free chain    |
// | 5   | 4    | auto-increment value (the record's identifier in the table)      |
// | 9   | ...  | field slots in field order: has-value byte + value (storage size)|
// An auto-increment field has no slot (offset 5); computed fields have none.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kura {

// DO NOT CHANGE: these values are embedded in every table file.
inline constexpr std::size_t kDataHeaderSize = 127;
inline constexpr std::size_t kDescriptorSize = 768;
inline constexpr std::size_t kRecordHeaderSize = 9;
inline constexpr std::uint8_t kDataFileVersion = 5;
inline constexpr int kMaxFields = 1024;
inline constexpr int kMaxBlobFields = 128;
inline constexpr std::int64_t kWriterStamp = 33000;

namespace data_header {
inline constexpr std::size_t kChangeCounter = 0;
inline constexpr std::size_t kBlobBlockSize = 4;
inline constexpr std::size_t kVersion = 8;
inline constexpr std::size_t kFreeHead = 9;
inline constexpr std::size_t kNextRecord = 13;
inline constexpr std::size_t kLastAutoInc = 17;
inline constexpr std::size_t kRecordSize = 21;
inline constexpr std::size_t kFieldCount = 23;
inline constexpr std::size_t kBlobFieldCount = 25;
inline constexpr std::size_t kLastWrite = 27;
inline constexpr std::size_t kDescription = 35;
inline constexpr std::size_t kDescriptionCapacity = 50;
inline constexpr std::size_t kEncrypted = 86;
inline constexpr std::size_t kPassword = 87;
inline constexpr std::size_t kPasswordCapacity = 15;
inline constexpr std::size_t kLocaleLanguage = 103;
inline constexpr std::size_t kLocaleSort = 105;
inline constexpr std::size_t kUserMajor = 107;
inline constexpr std::size_t kUserMinor = 109;
inline constexpr std::size_t kHeaderChanged = 111;
inline constexpr std::size_t kLastBlobStamp = 112;
inline constexpr std::size_t kWriter = 116;
}  // namespace data_header

namespace descriptor {
inline constexpr std::size_t kNumber = 0;
inline constexpr std::size_t kName = 2;
inline constexpr std::size_t kNameCapacity = 30;
inline constexpr std::size_t kDescription = 33;
inline constexpr std::size_t kTextCapacity = 50;
inline constexpr std::size_t kType = 84;
inline constexpr std::size_t kSubtype = 85;
inline constexpr std::size_t kLength = 86;
inline constexpr std::size_t kScale = 87;
inline constexpr std::size_t kStorageSize = 88;
inline constexpr std::size_t kScaleCopy = 89;
inline constexpr std::size_t kOffset = 90;
inline constexpr std::size_t kRequired = 92;
inline constexpr std::size_t kCharCase = 93;
inline constexpr std::size_t kMinimum = 94;
inline constexpr std::size_t kMaximum = 145;
inline constexpr std::size_t kDefault = 196;
inline constexpr std::size_t kComputed = 247;
inline constexpr std::size_t kWorking = 248;
}  // namespace descriptor

namespace record {
inline constexpr std::size_t kDeleted = 0;
inline constexpr std::size_t kLink = 1;
inline constexpr std::size_t kAutoInc = 5;
inline constexpr std::size_t kFirstField = 9;
}  // namespace record

// Appends may not carry a slot past these bounds (9479).
inline constexpr std::int64_t kMaxDataFileBytes = 4'000'000'000LL;
inline constexpr std::int32_t kMaxRecordNumber = 200'000'000;

}  // namespace kura
