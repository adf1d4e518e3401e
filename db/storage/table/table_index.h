// TTableIndex: what TDataTable needs from a table's index file (.IDX). The
// table drives its data file and its index file together; everything that
// concerns keys goes through these hooks, so the B-tree index file plugs in
// without the table changing. TIndexFile (index/index_file.h) implements them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "db/storage/file/file_handler.h"

namespace kura {

class TDataFile;

struct TIndexCreateOptions {
  // The primary index has no fields: records stay in physical order and
  // deleted data-file slots are never reused.
  bool no_primary_key = true;
};

class TTableIndex {
 public:
  virtual ~TTableIndex() = default;

  // The index file as a file: read slots and the write range are locked here.
  virtual TFileHandler& Handler() = 0;

  // Creates the file with its header page written to disk.
  virtual void Create(const std::string& file_name, const TIndexCreateOptions& options) = 0;
  virtual void Open(const std::string& file_name, bool exclusive) = 0;
  virtual void Close() = 0;
  // Re-reads the header; when the change counter differs, adopts it, drops
  // every cached page and returns true.
  virtual bool ReReadHeaderIfChanged() = 0;
  virtual void WriteHeader(bool force) = 0;
  // Counts a change in memory (writes deferred).
  virtual void MarkChanged() = 0;
  // Writes dirty pages; returns whether anything was written.
  virtual bool FlushPages() = 0;
  virtual bool HeaderChanged() const = 0;
  virtual void DropPages() = 0;
  virtual void TrimCache() = 0;
  // Empties every index (the table is being emptied).
  virtual void Empty() = 0;
  // Verification of the index file against the table's fields (8961, 12035).
  virtual void Verify(const TDataFile& data) = 0;

  virtual bool NoPrimaryKey() const = 0;
  virtual std::int32_t RecordCount() const = 0;
  virtual void AdjustRecordCount(std::int32_t delta) = 0;

  // ---- key maintenance, called by TDataTable ----
  // Before anything changes: raises 9729 when `record` would duplicate a key
  // of a unique index (including the record identifier of "Sys Deleted").
  virtual void CheckInsert(const TDataFile& data, const std::uint8_t* record) = 0;
  // After the slot is filled: adds the record's keys. `previous` is the
  // slot's former (deleted) image when a deleted slot was reused, else null.
  virtual void InsertKeys(const TDataFile& data, const std::uint8_t* record, std::int32_t recno,
                          const std::uint8_t* previous) = 0;
  virtual void CheckModify(const TDataFile& data, const std::uint8_t* old_record,
                           const std::uint8_t* new_record, std::int32_t recno) = 0;
  virtual void ModifyKeys(const TDataFile& data, const std::uint8_t* old_record,
                          const std::uint8_t* new_record, std::int32_t recno) = 0;
  // The record is about to be marked deleted in slot `recno`.
  virtual void DeleteKeys(const TDataFile& data, const std::uint8_t* record,
                          std::int32_t recno) = 0;
  // Before `count` records (images as given to an append, record size bytes
  // each) are appended with new identifiers: 9729 when one would duplicate a
  // key of a unique index, of the table or of another of them.
  virtual void CheckAppended(const TDataFile& data, const std::uint8_t* images,
                             std::size_t count) = 0;
  // Adds the keys of `count` live records just put into new slots (none a
  // reused deleted one): `records` their numbers, `images` the slots' images
  // (identifiers included). Nothing is taken back on a failure: the caller,
  // inside a transaction, rolls it back.
  virtual void InsertAppendedKeys(const TDataFile& data, const std::int32_t* records,
                                  const std::uint8_t* images, std::size_t count) = 0;
  // Whether LoadAppendedSlots can take the records of a table that has no
  // slot yet (else the caller inserts them one by one).
  virtual bool CanLoadAppendedSlots(const TDataFile& /*data*/) { return false; }
  // Whether any index holds keys built from the records' fields (a record
  // written over in place would then need its keys changed).
  virtual bool KeysFromRecords() { return true; }
  // Adds in one pass the keys of `count` live records just appended as slots
  // first .. first + count - 1 to a table that had no slot before them:
  // `images` are their field values (record size bytes each, as given to the
  // append), `first_id` the identifier of the first (the others follow it).
  // A duplicate of a unique index is 9729; the caller then empties the
  // indexes again.
  virtual void LoadAppendedSlots(const TDataFile& /*data*/, std::int32_t /*first*/,
                                 std::int32_t /*count*/, const std::uint8_t* /*images*/,
                                 std::int32_t /*first_id*/) {}
};

}  // namespace kura
