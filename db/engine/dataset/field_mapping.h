// The engine's field types as host field types, and values moved between
// the engine's encodings (the data file's, field_types.h) and the host's
// native field values (db/dataset/field.h):
//
//   engine type (subtype)        host type          conversion
//   1 string (31 fixed)          ftString (ftFixedChar) characters + 0, as stored
//   2 date                       ftDate             int32 day number
//   3 BLOB (22 memo, 24, 26, 28) ftBlob (ftMemo, ftFmtMemo, ftGraphic,
//                                ftTypedBinary)     read through a BLOB stream
//   4 boolean                    ftBoolean          int16 0 or 1
//   5 16-bit integer             ftSmallint         int16
//   6 32-bit integer (29)        ftInteger (ftAutoInc) int32
//   7 float (21 money)           ftFloat (ftCurrency) double
//   8 BCD                        ftBCD              the 34 bytes as stored
//   9 bytes, 15 varbytes         ftBytes            the bytes as stored
//   10 time                      ftTime             int32 milliseconds
//   11 timestamp                 ftDateTime         double milliseconds
//   12 16-bit unsigned           ftWord             uint16
//   13 32-bit unsigned           ftLargeint         int64 (0..2^32-1; others refused)
//   14 extended float            ftFloat            double (rounded)
//   18 64-bit integer            ftLargeint         int64
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "db/dataset/field.h"
#include "db/storage/data/data_file.h"

namespace kura {

// The host field definition of an engine field (name, type, size, required).
TFieldDef HostFieldDef(const TFieldDescriptor& field);

// The engine value bytes (storage size, 4 for a BLOB) as a native value of
// the host type (field.DataSize() bytes, zeroed by the caller).
void EngineToNative(const TFieldDescriptor& field, const std::uint8_t* value, std::byte* native,
                    std::size_t native_size);
// The native value as engine value bytes; nullopt when the value has no
// engine form (a 32-bit unsigned field given a negative number).
std::optional<std::vector<std::uint8_t>> NativeToEngine(const TFieldDescriptor& field,
                                                        const std::byte* native,
                                                        std::size_t native_size);

}  // namespace kura
