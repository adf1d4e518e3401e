// The byte-range lock map of a table. Every lock lies far beyond any real
// data (offsets are 32-bit values in the low half of a 64-bit offset), so a
// lock never stops a read or write of the file itself.
//
// | File              | Lock          | Offset                   | Length |
// |-------------------|---------------|--------------------------|--------|
// | data file         | table lock    | 4294967295 (0xFFFFFFFF)  | 1      |
// | data file         | record n      | 4294967294 - n           | 1      |
// | index, BLOB file  | read slot s   | 4294967295 - s (1..65535)| 1      |
// | index, BLOB file  | write lock    | 4294901759 (0xFFFEFFFF)  | 65536  |
//
// The write range covers every read slot: a writer gets it only when no
// reader holds a slot, and no reader enters while it is held.
#pragma once

#include <cstdint>

namespace kura {

// DO NOT CHANGE: other processes sharing the table rely on these offsets.
inline constexpr std::int64_t kTableLockOffset = 0xFFFFFFFFLL;
inline constexpr std::int64_t kWriteLockOffset = 0xFFFEFFFFLL;
inline constexpr std::int64_t kWriteLockLength = 65536;
inline constexpr std::int32_t kReadSlotCount = 65535;

inline constexpr std::int64_t RecordLockOffset(std::int32_t n) {
  return 0xFFFFFFFELL - n;
}
inline constexpr std::int64_t ReadSlotOffset(std::int32_t s) {
  return 0xFFFFFFFFLL - s;
}

}  // namespace kura
