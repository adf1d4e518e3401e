// On-disk layout of a table's BLOB file (table name + ".BLB"). The values of
// BLOB and memo fields live here as chains of fixed-size blocks; the record
// keeps only the first block number and the value's stamp. All integers are
// little-endian.
//
// File: a 512-byte header at offset 0, then blocks; block n (n >= 1) starts
// at 512 + (n - 1) x block size. The block size is the data header's BLOB
// block size (0 there means 512) and never changes for the table.
//
// Header (512 bytes; scrambled as one unit when the table is encrypted):
// | Off | Size | Type   | Meaning                                                |
// |-----|------|--------|--------------------------------------------------------|
// | 0   | 4    | int32  | change counter (+1 per header write / marked change)   |
// | 4   | 4    | -      | reserved, zero                                         |
// | 8   | 1    | uint8  | format version, must be 5                              |
// | 9   | 4    | int32  | head of the free-block chain (0 = none)                |
// | 13  | 4    | int32  | next block number (1 = no blocks); count = next - 1    |
// | 17  | 1    | uint8  | header-changed flag as it stood when written (ignored) |
// | 18  | 494  | -      | reserved, zero                                         |
//
// Block (block size bytes; the 18-byte header and the data area are
// scrambled as two units, each from its own start, when encrypted):
// | Off | Size   | Type   | Meaning                                              |
// |-----|--------|--------|------------------------------------------------------|
// | 0   | 4      | int32  | previous block of the chain (0 for the first)        |
// | 4   | 4      | int32  | next block (0 for the last); free block: next free   |
// | 8   | 2      | uint16 | data bytes used in this block                        |
// | 10  | 4      | int32  | owner stamp: the stamp of the value owning the block |
// | 14  | 4      | int32  | total length of the value (first block only, else 0) |
// | 18  | bs-18  | bytes  | data                                                 |
//
// BLOB field value in a record (8 bytes after the has-value byte): int32
// first block number (0 = empty value), int32 stamp. The stamp comes from
// the data header's BLOB stamp counter each time the value is rewritten, so a
// reader holding an older stamp sees that the chain now belongs to another
// value (8708).
#pragma once

#include <cstddef>
#include <cstdint>

namespace kura {

// DO NOT CHANGE: these values are embedded in every BLOB file.
inline constexpr std::size_t kBlobHeaderSize = 512;
inline constexpr std::size_t kBlockHeaderSize = 18;
inline constexpr std::uint8_t kBlobFileVersion = 5;
inline constexpr int kDefaultBlobBlockSize = 512;

namespace blob_header {
inline constexpr std::size_t kChangeCounter = 0;
inline constexpr std::size_t kVersion = 8;
inline constexpr std::size_t kFreeHead = 9;
inline constexpr std::size_t kNextBlock = 13;
inline constexpr std::size_t kHeaderChanged = 17;
}  // namespace blob_header

namespace block_header {
inline constexpr std::size_t kPrevious = 0;
inline constexpr std::size_t kNext = 4;
inline constexpr std::size_t kUsed = 8;
inline constexpr std::size_t kStamp = 10;
inline constexpr std::size_t kTotalLength = 14;
}  // namespace block_header

// Offsets within a BLOB field's value bytes (after the has-value byte).
namespace blob_ref {
inline constexpr std::size_t kFirstBlock = 0;
inline constexpr std::size_t kStamp = 4;
inline constexpr std::size_t kSize = 8;
}  // namespace blob_ref

// New blocks may not carry the file past these bounds (9479).
inline constexpr std::int32_t kMaxBlockNumber = 2'000'000'000;
inline constexpr std::int64_t kMaxBlobFileBytes = 4'000'000'000LL;

// Read-ahead brings in up to this many bytes of consecutive blocks.
inline constexpr int kBlobReadBytes = 16384;

}  // namespace kura
