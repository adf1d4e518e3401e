// Index keys: how one record becomes the byte key of one index.
//
// A key is the concatenation, for each key field in order, of a segment of
// (storage size + 1) bytes (BCD: 8 + 1): the field's has-value byte followed
// by an order-preserving encoding of the value, so that under the built-in
// ordering the whole key compares as unsigned bytes:
//
//   String                 characters, terminating 0, zero padding (upper-cased
//                          first for a case-insensitive index)
//   Date, Int32, Time      4 bytes big-endian, sign bit inverted
//   Int16                  2 bytes big-endian, sign bit inverted
//   Boolean, UInt16        2 bytes big-endian
//   Float, Timestamp       8 bytes big-endian; value >= 0: sign bit set,
//                          value < 0: every bit inverted
//   BCD                    units of 1/10000 as int64 (0 for precision 0),
//                          8 bytes big-endian, sign bit inverted
//   Int64                  8 bytes big-endian, sign bit inverted
//   others                 the value bytes as stored (UInt32, extended float,
//                          bytes, varbytes: these do not sort by value)
//
// A NULL segment is has-value byte 0 followed by zeros. Under the built-in
// ordering, a per-field descending segment of an index that is not descending
// as a whole is complemented byte by byte (strings: the first storage-size
// bytes of the segment, others: the whole segment). A non-unique index
// appends the record's auto-increment identifier (record bytes 5..8) as 4
// bytes big-endian with the sign bit inverted.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "db/storage/data/field_types.h"

namespace kura {

// Record header: deleted flag (1), record number / free link (4), identifier (4).
constexpr int kRecordIdentifierOffset = 5;
// Bytes of the identifier suffix of a non-unique key.
constexpr int kKeySuffixSize = 4;
// Most key fields in one index, and the largest sum of their segment sizes.
constexpr int kMaxKeyFields = 16;
constexpr int kMaxKeySegmentBytes = 522;

// One key field as the key builder needs it (taken from the field descriptor
// and the index descriptor).
struct KeyField {
  std::uint8_t type = kFieldInteger;
  std::uint8_t subtype = 0;
  int storage_size = 4;     // bytes of the value in the record (descriptor offset 88)
  int record_offset = 9;    // the field's slot: has-value byte, then the value
  bool descending = false;  // per-field descending flag of the index

  bool IsAutoIncrement() const { return type == kFieldInteger && subtype == kSubtypeAutoInc; }
  // Bytes of this field's key segment, has-value byte included.
  int SegmentSize() const { return (type == kFieldBcd ? 8 : storage_size) + 1; }
};

class KeyCaseMapper;

// Everything that decides the bytes and the order of one index's keys.
struct KeyLayout {
  std::vector<KeyField> fields;
  bool unique = true;
  bool descending = false;  // the whole index
  bool case_insensitive = false;
  std::uint32_t locale = 0;  // 0: built-in byte ordering

  // Bytes of the field segments (without the identifier suffix).
  int SegmentBytes() const;
  // Full key size: the segments plus the suffix of a non-unique index.
  int KeySize() const { return SegmentBytes() + (unique ? 0 : kKeySuffixSize); }
};

// Order-preserving encodings of single values (big-endian, sign handled).
void EncodeKeyInt16(std::uint8_t* p, std::int16_t v);
void EncodeKeyInt32(std::uint8_t* p, std::int32_t v);
void EncodeKeyInt64(std::uint8_t* p, std::int64_t v);
void EncodeKeyUInt16(std::uint8_t* p, std::uint16_t v);
void EncodeKeyDouble(std::uint8_t* p, double v);
std::int32_t DecodeKeyInt32(const std::uint8_t* p);

// A BCD value (precision byte, sign-and-scale byte, 32 bytes of packed
// digits) as a count of 1/10000 units; saturates at the int64 limits, and
// ignores digits beyond the precision. 0 when the precision is 0.
std::int64_t BcdToUnits(std::span<const std::uint8_t> bcd);

// Builds the key of `record` for `layout` into `key` (layout.KeySize() bytes).
// The record must span at least every key field's slot and the record header;
// a record too short for the layout is a programming error checked by the caller
// (the data file's descriptors fix both). `mapper` upper-cases strings for a
// case-insensitive index and may be null otherwise.
void BuildKey(const KeyLayout& layout, std::span<const std::uint8_t> record,
              const KeyCaseMapper* mapper, std::uint8_t* key);
std::vector<std::uint8_t> BuildKey(const KeyLayout& layout, std::span<const std::uint8_t> record,
                                   const KeyCaseMapper* mapper);

// Smallest record length BuildKey can read for `layout`.
int RecordBytesNeeded(const KeyLayout& layout);

}  // namespace kura
