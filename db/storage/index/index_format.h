// The header page of a table's index file (table name + ".IDX"): page 0, 4096
// bytes. Pages n >= 1 (the B-trees) follow at n x 4096. When the table is
// encrypted the page is scrambled as one unit with the record key.
//
// Header page:
// | Off  | Size     | Type   | Meaning                                               |
// |------|----------|--------|-------------------------------------------------------|
// | 0    | 4        | int32  | change counter (+1 per header write / marked change)  |
// | 4    | 4        | -      | reserved, zero                                        |
// | 8    | 1        | uint8  | format version, must be 5                             |
// | 9    | 4        | int32  | next page number (1 when there are no pages)          |
// | 13   | 1        | uint8  | number of secondary indexes (0..30)                   |
// | 14   | 33 x 120 | desc.  | index descriptors: 0 primary, 1..30 secondary,        |
// |      |          |        | 31 "Sys Deleted", 32 "Sys Text"                       |
// | 3974 | 4        | int32  | number of live records                                |
// | 3978 | 1        | uint8  | no-primary-key flag                                   |
// | 3979 | 1        | uint8  | header-changed flag as written (ignored on read)      |
// | 3980 | 116      | -      | reserved, zero                                        |
//
// Index descriptor (120 bytes):
// | Off | Size | Type      | Meaning                                              |
// |-----|------|-----------|------------------------------------------------------|
// | 0   | 31   | sstr(30)  | index name (empty for the primary index)             |
// | 31  | 2    | int16     | key size                                             |
// | 33  | 1    | uint8     | descending flag                                      |
// | 34  | 1    | uint8     | case-insensitive flag                                |
// | 35  | 1    | uint8     | unique flag                                          |
// | 36  | 1    | uint8     | key compression: 0 none, 1 prefix, 2 trailing, 3 both|
// | 37  | 1    | uint8     | number of key fields (0..16)                         |
// | 38  | 16   | 16 x u8   | per-field descending flags                           |
// | 54  | 32   | 16 x u16  | key field numbers, unused 0                          |
// | 86  | 4    | int32     | root page (0 = empty)                                |
// | 90  | 4    | int32     | head of the freed-page chain                         |
// | 94  | 2    | -         | reserved                                             |
// | 96  | 4    | int32     | first raw-data page (text index)                     |
// | 100 | 1    | uint8     | temporary-pages flag                                 |
// | 101 | 1    | uint8     | temporary flag (descriptor not stored)               |
// | 102 | 18   | -         | reserved                                             |
#pragma once

#include <array>
#include <cstdint>
#include <cstddef>

namespace kura {

// DO NOT CHANGE: embedded in every index file.
inline constexpr std::size_t kIndexPageSize = 4096;
inline constexpr std::uint8_t kIndexFileVersion = 5;
inline constexpr std::size_t kIndexDescriptorSize = 120;
inline constexpr int kIndexSlots = 33;
inline constexpr int kSysDeletedSlot = 31;
inline constexpr int kSysTextSlot = 32;
inline constexpr int kMaxSecondaryIndexes = 30;

namespace index_header {
inline constexpr std::size_t kChangeCounter = 0;
inline constexpr std::size_t kVersion = 8;
inline constexpr std::size_t kNextPage = 9;
inline constexpr std::size_t kSecondaryCount = 13;
inline constexpr std::size_t kDescriptors = 14;
inline constexpr std::size_t kRecordCount = 3974;
inline constexpr std::size_t kNoPrimaryKey = 3978;
inline constexpr std::size_t kHeaderChanged = 3979;
}  // namespace index_header

namespace index_descriptor {
inline constexpr std::size_t kName = 0;
inline constexpr std::size_t kNameCapacity = 30;
inline constexpr std::size_t kKeySize = 31;
inline constexpr std::size_t kDescending = 33;
inline constexpr std::size_t kCaseInsensitive = 34;
inline constexpr std::size_t kUnique = 35;
inline constexpr std::size_t kCompression = 36;
inline constexpr std::size_t kFieldCount = 37;
inline constexpr std::size_t kFieldDescending = 38;
inline constexpr std::size_t kFieldNumbers = 54;
inline constexpr std::size_t kRoot = 86;
inline constexpr std::size_t kFreeHead = 90;
inline constexpr std::size_t kRawDataHead = 96;
inline constexpr std::size_t kTemporaryPages = 100;
inline constexpr std::size_t kTemporary = 101;
}  // namespace index_descriptor

// Offset of index slot `slot`'s descriptor within the header page.
constexpr std::size_t IndexDescriptorOffset(int slot) {
  return index_header::kDescriptors + static_cast<std::size_t>(slot) * kIndexDescriptorSize;
}

// The header page image of a freshly created index file: version 5, next
// page 1, "Sys Deleted" (key size 5, no compression) and "Sys Text" (key size
// 68, full compression), record count 0, the no-primary-key flag as given.
std::array<std::uint8_t, kIndexPageSize> NewIndexHeaderPage(bool no_primary_key);

}  // namespace kura
