// TDataFile: one open data file of a table (layout in data_format.h). It keeps
// the header image and the field descriptors in memory, hands out pinned
// record buffers from a bounded cache, allocates slots (reusing deleted ones
// through the free chain), assigns auto-increment values and BLOB stamps, and
// writes dirty records back in runs of consecutive slots.
//
// Record cache: a list of TRecord sorted by record number (binary search) and
// a most-recently-used list (head = most recent). Its capacity is
// min(record memory / record size, record count) from the settings; it grows
// by 64 only when every cached record is dirty or pinned. Reads come in
// blocks of 8192 / record size records: the last block read stays in the
// read buffer, and a slot of it becomes a cached record when it is asked
// for (a hit), so a random lookup costs one read and one record, not a
// whole block of records. Writes over the block's slots are copied into it;
// dropping the records drops the block. Memory: at most the capacity in
// records plus the one block.
//
// Invariants:
//  1. Every cached record is in both lists exactly once; the sorted list is
//     strictly increasing by number; every number is 1..next record number-1.
//  2. A cached live record holds its own record number in bytes 1..4.
//  3. The free chain starting at the header's head visits deleted slots only,
//     each once (CheckConsistency walks it, capped by the slot count).
//  4. Records are kept unscrambled in memory; scrambling happens at transfer.
// Every number read from disk (counts, sizes, offsets, links) is range-checked
// before it is used; violations are 8961.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "db/storage/buffer_list.h"
#include "db/storage/data/data_format.h"
#include "db/storage/data/field_types.h"
#include "db/storage/data/record.h"
#include "db/storage/file/file_handler.h"
#include "db/storage/storage_settings.h"

namespace kura {

// A field as given to create a table.
struct TFieldDefinition {
  std::string name;
  std::uint8_t type = kFieldInteger;
  std::uint8_t subtype = kSubtypeNone;
  int length = 0;  // string, bytes, varbytes: 1..250
  int scale = 0;   // BCD only
  bool required = false;
  std::uint8_t char_case = 0;  // 0 unchanged, 1 lower, 2 upper
  std::string description;
  std::string minimum;
  std::string maximum;
  std::string default_value;
  bool computed = false;
};

// Table-wide options stored in the header at create.
struct TTableOptions {
  std::uint16_t locale_language = 0;
  std::uint16_t locale_sort = 0;
  std::int16_t user_major = 1;
  std::int16_t user_minor = 0;
  bool encrypted = false;
  std::string password;
  std::string description;
  std::int32_t blob_block_size = 0;  // 0 means 512
};

// One 768-byte field descriptor, kept as its disk image.
class TFieldDescriptor {
 public:
  std::array<std::uint8_t, kDescriptorSize> image{};

  std::uint16_t Number() const { return DecodeFixed16(&image[descriptor::kNumber]); }
  std::string Name() const {
    return DecodeShortString(&image[descriptor::kName], descriptor::kNameCapacity);
  }
  std::string Description() const {
    return DecodeShortString(&image[descriptor::kDescription], descriptor::kTextCapacity);
  }
  std::uint8_t Type() const { return image[descriptor::kType]; }
  std::uint8_t Subtype() const { return image[descriptor::kSubtype]; }
  std::uint8_t Length() const { return image[descriptor::kLength]; }
  std::uint8_t Scale() const { return image[descriptor::kScale]; }
  std::uint8_t StorageSize() const { return image[descriptor::kStorageSize]; }
  std::uint16_t Offset() const { return DecodeFixed16(&image[descriptor::kOffset]); }
  bool Required() const { return image[descriptor::kRequired] != 0; }
  std::uint8_t CharCase() const { return image[descriptor::kCharCase]; }
  std::string Minimum() const {
    return DecodeShortString(&image[descriptor::kMinimum], descriptor::kTextCapacity);
  }
  std::string Maximum() const {
    return DecodeShortString(&image[descriptor::kMaximum], descriptor::kTextCapacity);
  }
  std::string Default() const {
    return DecodeShortString(&image[descriptor::kDefault], descriptor::kTextCapacity);
  }
  bool Computed() const { return image[descriptor::kComputed] != 0; }
  bool IsAutoInc() const { return Type() == kFieldInteger && Subtype() == kSubtypeAutoInc; }
  // Whether the field occupies a slot (has-value byte + value) in the record.
  bool HasSlot() const { return !Computed() && !IsAutoInc(); }
  TValueShape Shape() const { return {Type(), Subtype(), Length(), Scale()}; }
};

class TDataFile : public TFileHandler, public TCachedFileState {
 public:
  TDataFile(std::string table_name, bool in_memory, const TStorageSettings& settings);
  ~TDataFile() override;

  // ---- open, create, header ----
  // Opens and reads header and descriptors; any failure closes the file.
  void Open(const std::string& file_name, bool exclusive, bool temporary = false) override;
  void Close() override;
  // Writes through the handler, keeping the last block read up to date.
  void Write(std::int64_t offset, const void* buffer, std::size_t n) override;
  // Creates the file with the header and descriptors in memory (marked
  // changed: they reach the disk at the first flush). 9498, 9477, 9492,
  // 10000, 10006 and 10038 for invalid definitions.
  void CreateTable(const std::string& file_name, const std::vector<TFieldDefinition>& fields,
                   const TTableOptions& options);
  void ReadHeader();
  // Re-reads the header; when the change counter on disk differs, adopts the
  // header and drops every cached record. Returns whether it differed.
  bool ReReadHeaderIfChanged();
  // Writes the header when forced or changed (counter + 1, stamps).
  void WriteHeader(bool force);
  void WriteDescriptorsIfChanged();
  // Counts a change in memory without writing (writes deferred).
  void MarkChanged();
  // Truncates to header + descriptors and resets the counters.
  void Empty(bool flush_os);
  // Verification of header and descriptors (8961, 12035, 15878).
  void Verify();
  // Walks every slot and the free chain (capped): live slots hold their own
  // number, the chain visits deleted slots only, once each. Returns the
  // problems found, empty when sound.
  std::vector<std::string> CheckSlots();
  // CheckSlots as a guard: 8961 when it finds any problem.
  void CheckConsistency();

  // ---- records ----
  // Record n, pinned. n = next record number appends a new zeroed slot.
  // `backwards` reads the block ending at n instead of starting there.
  TRecordPin GetRecord(std::int32_t n, bool backwards = false);
  // A read-only view of slot n for scans that visit each record once: the
  // cached record when there is one, else a copy of the slot from the read
  // block (read when needed) that does not enter the cache. Valid until the
  // next call on this file.
  const std::uint8_t* PeekRecord(std::int32_t n);
  // PeekRecord for readers of the deleted flag and the fields only (record
  // selection, query production): the slot's bytes where they lie in the
  // read block, not copied, with the link field as stored. Valid as long.
  const std::uint8_t* PeekFields(std::int32_t n);
  // The slot for an insert (pinned): the free-chain head, or a new slot when
  // the chain is empty or the table has no primary-key fields.
  TRecordPin AllocateSlot(bool no_primary_key);
  // Appends `count` live records (images of record size bytes, one after
  // another) as new slots behind the last, written to the file in blocks
  // without passing through the record cache; each holds its own number as
  // its identifier and the next auto-increment value. Returns the first new
  // slot's number. 9479 (table full) or 9492 (auto-increment values used up) before anything changes when they do
  // not fit. The caller adds their keys.
  std::int32_t AppendSlots(const std::uint8_t* images, std::size_t count);
  // Writes `count` images over slots 1..count as AppendSlots wrote them into
  // an empty file (each holding its own number as identifier and as
  // auto-increment value); the caller has checked that those are the
  // table's records, all live, and that nothing holds one pinned.
  void OverwriteSlots(const std::uint8_t* images, std::size_t count);
  // Takes back a failed AppendSlots into a table that had no slot: the
  // file is cut back to its header and descriptors, the header is `mark`'s.
  struct TInsertMark;
  void UndoAppendSlots(const TInsertMark& mark);
  // What a failed insert rolls back to: the header image and its flag.
  struct TInsertMark {
    std::array<std::uint8_t, kDataHeaderSize> header{};
    bool header_changed = false;
  };
  TInsertMark MarkInsert() const;
  // Takes back an AllocateSlot (and the counter steps since `mark`) after a
  // failed insert: a reused slot gets its `previous` image back, an appended
  // one (previous null) leaves the cache; the pin is released.
  void UndoAllocate(const TInsertMark& mark, TRecordPin& slot, const std::uint8_t* previous);
  // Puts slot n on the free chain. 8710 when it is already deleted.
  void DeleteRecord(std::int32_t n);
  // Writes dirty unpinned records in runs; returns whether anything was written.
  bool FlushRecords();
  // Called by a record turning dirty: notes its number for the next flush.
  void BufferDirtied(std::int32_t n);
  // Forgets every unpinned cached record (dirty ones are lost) and the last
  // block read.
  void DropRecords();
  // Shrinks the cache back to its bound.
  void TrimCache();

  // ---- field values on a record image ----
  // False when null. `out` receives the value bytes (storage size; 4 for BLOB).
  bool GetField(const std::uint8_t* rec, const TFieldDescriptor& f, std::uint8_t* out) const;
  bool IsNull(const std::uint8_t* rec, const TFieldDescriptor& f) const;
  // Puts a value following the value rules (strings cut, trimmed and case
  // converted, empty as null; booleans 0/1; BLOB has-value from the block).
  void PutField(std::uint8_t* rec, const TFieldDescriptor& f, std::span<const std::uint8_t> value,
                bool force = false);
  void PutString(std::uint8_t* rec, const TFieldDescriptor& f, std::string_view text,
                 bool force = false);
  void PutNull(std::uint8_t* rec, const TFieldDescriptor& f, bool force = false);

  // ---- descriptors and header queries ----
  int FieldCount() const { return static_cast<int>(fields_.size()); }
  int BlobFieldCount() const;
  int RecordSize() const;
  // Position 1..field count.
  const TFieldDescriptor& Field(int position) const { return *fields_.at(position - 1); }
  const TFieldDescriptor* FieldByNumber(int number) const;
  const TFieldDescriptor* FieldByName(std::string_view name) const;
  int BlobBlockSize() const;
  std::uint16_t LocaleLanguage() const;
  std::uint16_t LocaleSort() const;
  std::uint32_t LocaleId() const;
  std::int16_t UserMajor() const;
  std::int16_t UserMinor() const;
  std::string Description() const;
  std::string Password() const;
  bool Encrypted() const;
  std::int32_t ChangeCounter() const;
  std::int32_t FreeHead() const;
  std::int32_t NextRecordNumber() const;
  std::int32_t SlotCount() const { return NextRecordNumber() - 1; }
  std::int32_t LastAutoInc() const;
  std::int32_t LastBlobStamp() const;
  // last + 1, stored, header marked changed; 9492 once 2147483647 was used.
  std::int32_t NextAutoInc();
  void SetLastAutoInc(std::int32_t v);
  std::int32_t NextBlobStamp();
  std::array<std::uint8_t, kDataHeaderSize> HeaderCopy() const { return header_; }
  // Alter-table update of the header in one step.
  void AlterHeader(std::string_view password, std::string_view description,
                   std::int32_t last_auto_inc, std::int16_t user_major, std::int16_t user_minor);
  std::int64_t DataStart() const;
  bool HeaderChanged() const { return header_changed_; }

  // ---- state shared with the table (the rest: TCachedFileState) ----
  // While set, Open accepts a file shorter than the header's slot count
  // (for repair, which adds the missing slots).
  void SetAllowShortFile(bool allow) { allow_short_file_ = allow; }

  // ---- counters (the others: TCachedFileState) ----
  std::size_t CachedCount() const { return cache_.sorted.size(); }
  std::size_t CacheCapacity() const { return capacity_; }
  int RecordsPerBlock() const { return records_per_block_; }

 private:
  void WriteSlots(std::int32_t first, const std::uint8_t* images, std::size_t count,
                  std::int32_t auto_inc);
  const std::uint8_t* SlotBytes(std::int32_t n, bool& cached);
  void DecodeDescriptors(const std::uint8_t* bytes);
  void CheckLayout() const;
  void CheckHeaderNumbers();
  void SizeCache();
  std::int64_t SlotOffset(std::int32_t n) const;
  TRecord* TakeBuffer(std::int32_t n);
  void MakeRoom(std::size_t needed);
  void InsertPending();
  void ReadBlock(std::int32_t n, bool backwards);
  bool InBlock(std::int32_t n) const;
  void CopyFromBlock(TRecord* r);
  void FinishRead(TRecord* r);
  void WriteRun(TRecord* const* run, std::size_t count);
  void SetHeader32(std::size_t off, std::int32_t v);
  std::int32_t Header32(std::size_t off) const;

  TStorageSettings settings_;
  std::array<std::uint8_t, kDataHeaderSize> header_{};
  std::vector<std::unique_ptr<TFieldDescriptor>> fields_;
  bool header_changed_ = false;
  bool descriptors_changed_ = false;
  std::vector<std::uint8_t> read_buffer_;
  std::vector<std::uint8_t> peek_buffer_;  // PeekRecord's copy of a slot
  std::vector<std::uint8_t> write_buffer_;
  int records_per_block_ = 1;

  TBufferList<TRecord> cache_;
  std::size_t capacity_ = 1;
  TRecordStack stack_;
  // The last block read: slots block_first_ .. block_first_ + block_count_ - 1
  // in disk form at the start of read_buffer_ (block_count_ 0: none).
  std::int32_t block_first_ = 0;
  std::int32_t block_count_ = 0;

  // Numbers of the records dirtied since the last flush (repeats and stale
  // numbers allowed; every dirty cached record is among them), unless
  // dirtied_overflow_, when a flush looks at every cached record.
  std::vector<std::int32_t> dirtied_;
  bool dirtied_overflow_ = false;
  std::vector<TRecord*> run_;

  bool allow_short_file_ = false;
};

}  // namespace kura
