// TDataTable: one open table of a database directory. It drives the table's
// data file (TDataFile) and index file (TTableIndex) together: open, create,
// close, delete, rename, the locking protocol, change detection, flushing and
// table-level transactions, and the record insert/update/delete paths that
// keep data and index files in step.
//
// Files: directory + table name as given + ".DAT" / ".IDX" (".BLB" for BLOB
// tables; backups ".DBK" / ".IBK" / ".BBK"). Existing files are found
// ignoring ASCII case.
//
// ---------------------------------------------------------------------------
// Locking protocol (between the handles of this process and other processes;
// lock offsets in lock_map.h). Skipped entirely when the table is open
// exclusively or its files are read-only.
//
//  1. A read lock is one read slot (1..65535, picked at random, retried with
//     a new slot) locked in the index file (and the BLOB file when there is
//     one). Many readers coexist; taking it checks for changes.
//  2. A write lock is the data file's table-lock byte (unless this handle
//     already holds the table lock), then the index file's write range, which
//     covers every read slot, then the BLOB file's write range when there is
//     one: a writer excludes all readers and writers.
//     Taking it checks for changes (unless the table lock is held).
//  3. A handle never asks for the write lock while it holds a read slot (its
//     own slot lies inside the write range), nor for the table lock while it
//     holds the write lock (which holds the table-lock byte); doing so fails
//     at once with 10249 instead of waiting for itself.
//  4. The table lock is the table-lock byte alone; while held, every write
//     lock of this handle skips that byte, record unlocks are deferred until
//     the table lock is released, and the record cache never writes back on
//     its own to make room.
//  5. Record n's lock is the data-file byte 4294967294 - n. Waiting for it
//     releases the read lock between attempts so that writers can proceed;
//     after LockRetryCount failed attempts LockWaitTime ms apart it fails
//     with 10258. With StrictChangeDetection no read lock is taken at all.
//  6. Every change to the files happens under the write lock (or the table
//     lock, or exclusively) and is flushed before the lock is released, so
//     another process that takes a lock next sees the new change counters.
//  7. Locks are nested by count: each acquire is matched by one release, and
//     only the last release unlocks the bytes.
//  8. While this handle holds the table lock no other handle can write the
//     table, so a read lock then takes no read slot and checks nothing (it is
//     only counted); inside a transaction, whose writes stay in the caches
//     until the commit, a write lock is only counted too. The commit's own
//     writing takes the real write lock (WriteLockForCommit), which keeps
//     readers of other processes out while the files change.
//  9. A commit that died half-way leaves its journal (COMMIT.JNL, rules J1 to
//     J9 in commit_journal.h), and moved the change counters of every table
//     it names before writing it. A reader looks at the journal when it
//     takes a lock and its counters moved, and at its first lock after
//     opening or after ending a transaction (journal_unchecked_), and reads
//     nothing while a replay is due. A writer looks at every write or table
//     lock (one stat) and finishes a journal that is due before changing
//     anything; before a write outside a transaction it also empties a
//     settled or cut journal durably (J8). A transaction's table lock leaves
//     a settled journal of this run to the commit, whose journal replaces it.
//
// States of one handle (transitions name the function):
//
//            ReadLock                 ReleaseReadLock
//   UNLOCKED ---------> READ_LOCKED -------------------> UNLOCKED
//      |  ^
//      |  | ReleaseWriteLock
//      v  |
//   WRITE_LOCKED <--- WriteLock (from UNLOCKED or TABLE_LOCKED)
//
//   UNLOCKED --TableLock--> TABLE_LOCKED --ReleaseTableLock--> UNLOCKED
//                                          (performs deferred record unlocks)
//   TABLE_LOCKED --StartTransaction/Commit--> TABLE_LOCKED (in transaction)
//   in transaction --EndTransaction/Rollback--> UNLOCKED (caches dropped)
//
// Change detection (CheckForChanges): the index header's change counter
// first (a change drops cached pages and records and re-reads the data
// header), then the data header's counter (a change drops cached records),
// then the BLOB header's counter (a change drops cached blocks). Every flush
// that writes to a file writes its header, so every change moves a counter.
// Inside a transaction nothing is compared: the table lock keeps other
// writers out, and the counters in memory are ahead of the disk by this
// handle's own deferred changes only.
//
// Flush order: BLOB file, data file, index file, then the BLOB chains that
// written records stopped referring to are freed and the BLOB file written
// again. A writer killed at any moment leaves every record on disk referring
// to a complete chain that is not on the free chain.
// ---------------------------------------------------------------------------
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "db/storage/blob/blob_file.h"
#include "db/storage/data/data_file.h"
#include "db/storage/records_bitmap.h"
#include "db/storage/storage_settings.h"
#include "db/storage/table/table_index.h"

namespace kura {

class TDataTable {
 public:
  // `directory` is normalised ("\" or "/", trailing "/" added); an empty
  // directory is the current one.
  TDataTable(std::string directory, std::string name, const TStorageSettings& settings,
             bool in_memory = false);
  ~TDataTable();
  TDataTable(const TDataTable&) = delete;
  TDataTable& operator=(const TDataTable&) = delete;

  // ---- life cycle ----
  // Creates the data and index files (13060 when the data file exists) and
  // leaves the table open exclusively with header and descriptors on disk.
  // The data file is written as NAME.DAT~ and renamed once every file is
  // whole and OS-flushed, so that a create cut short leaves no table.
  // With `index_options.no_primary_key` false the index header promises a
  // primary index: the caller adds it (TIndexFile::AddPrimaryIndex) before
  // the table is used, or the table does not verify.
  void Create(const std::vector<TFieldDefinition>& fields, const TTableOptions& options,
              const TIndexCreateOptions& index_options = {});
  // Opens data then index file; a missing index file is recreated with an
  // empty header, unless `read_only` (then 11010 naming the file: nothing is
  // written). Any failure closes both and passes the error on.
  void Open(bool exclusive, bool read_only = false);
  // Opens exclusively for repair: a data file shorter than its header's slot
  // count is accepted (repair adds the missing slots).
  void OpenForRepair();
  // Another user of the shared table: Close only closes at the last user.
  void AddUse() { ++use_count_; }
  // One user fewer; at the last one (and outside a transaction) flushes an
  // exclusive table (unless discarding), releases every lock and closes the
  // files. A table left inside a transaction closes when it is closed again
  // after EndTransaction.
  void Close(bool discard = false);
  // Deletes the closed table's files; 11010 when the data file is missing.
  void Delete();
  void Rename(const std::string& new_name);
  // Renames the files to their backup names (.DBK, .IBK, .BBK).
  void RenameToBackup();
  // Copies the index file to its backup (.IBK), or back (index repair).
  void BackupIndex(bool compress);
  void RestoreIndex(bool compress);
  bool Exists() const;

  // ---- locks (see the protocol above) ----
  void ReadLock();
  void ReleaseReadLock();
  void WriteLock();
  // The write lock with its bytes also inside a transaction (item 8).
  void WriteLockForCommit();
  void ReleaseWriteLock();
  void TableLock();
  void ReleaseTableLock();
  // Returns whether a change was detected while locking.
  bool LockRecord(std::int32_t n);
  void UnlockRecord(std::int32_t n);
  void UnlockAllRecords();
  bool CheckForChanges();

  // ---- flush and buffers ----
  // Writes back everything changed (or, in a transaction, only counts the
  // change). OS flush when ForceBufferFlush is set or `force_os`.
  void Flush(bool force_os = false, bool trim = false);
  // Bulk loading of a table open exclusively (a query's result table):
  // record changes and Empty skip their own flush; the caller flushes once
  // at the end.
  // Ignored for a shared table, whose changes other handles must see.
  void SetBulkLoad(bool bulk) { bulk_load_ = bulk; }
  void MarkChanged();
  void DiscardBuffers();
  void Empty();
  // Verification of the data and index files (run under a read lock).
  void Verify();

  // ---- transactions (table level) ----
  // `journaled`: the transaction's commit goes through a commit journal
  // (TDataDirectory::Commit), which replaces a cut journal durably itself;
  // a table-level commit writes the files directly.
  void StartTransaction(bool journaled = false);
  void Commit();
  void EndTransaction();
  void Rollback() { EndTransaction(); }
  bool InTransaction() const { return in_transaction_; }

  // ---- records ----
  // Inserts the field values of `image` (a record image of record size
  // bytes, fields put with the data file's PutField) into a new slot and
  // returns its record number. The record's auto-increment value is new
  // unless `auto_inc` supplies one. Flushes.
  std::int32_t InsertRecord(const std::uint8_t* image,
                            std::optional<std::int32_t> auto_inc = std::nullopt);
  // Inserts `count` records (images as for InsertRecord, one after another),
  // each with a new auto-increment value, and flushes once (not at all in a
  // bulk load). Into a table open exclusively, outside a transaction, with no
  // slot yet and no BLOB field (a query's result table) they are appended in
  // one pass, every index built from its sorted keys. Inside a transaction,
  // into a table without BLOB fields whose records only go into new slots,
  // every unique key is checked first, then the slots are filled and each
  // index takes its sorted keys as a run; a failure after the checks leaves
  // the transaction to be rolled back. Otherwise they are inserted one by one.
  void AppendRecords(const std::uint8_t* images, std::size_t count);
  // Appends `count` records (images as for InsertRecord, each with a new
  // auto-increment value) as one commit of their own, for loading many rows:
  // the table lock is held throughout (other writers wait, as for a
  // transaction), and the records reach the files through the directory's
  // commit journal, so a kill or a power loss leaves all of them or none;
  // durable on return when `flush`. Into a table with no slot and no BLOB
  // field the slots are written in one pass and every index is built from
  // its sorted keys; otherwise they go in as AppendRecords puts them into a
  // transaction. A duplicate key
  // (9729) or any other failure leaves the table as it was. Inside a
  // transaction the records join it instead (its commit writes them).
  void BulkAppend(const std::uint8_t* images, std::size_t count, bool flush = true);
  // Ends a transaction started with StartTransaction(true) on this table
  // alone by committing it through the directory's commit journal (as the
  // engine commits a database's tables together), then EndTransaction. On
  // failure the transaction is rolled back (a journal record already whole
  // is finished by the next writer).
  void CommitJournaled(bool flush = true);
  // Puts `count` images in place of the table's records when the table is
  // in the state AppendRecords leaves an empty one in after `count` images
  // (a recycled result of as many rows; edits since that kept it so are
  // fine): the same records and files result as from Empty and
  // AppendRecords, and the index is not touched. False, with nothing done,
  // when the table is in any other state.
  bool ReplaceRecords(const std::uint8_t* images, std::size_t count);
  // Replaces the field values of live record n. Flushes.
  void UpdateRecord(std::int32_t n, const std::uint8_t* image);
  // Deletes live record n (8710 when there is none). Flushes.
  void DeleteRecord(std::int32_t n);
  // A zeroed record image of the table's record size, for building inserts.
  std::vector<std::uint8_t> BlankRecord() const;

  // ---- parts and state ----
  TDataFile& Data() { return *data_; }
  const TDataFile& Data() const { return *data_; }
  TTableIndex& Index() { return *index_; }
  // The BLOB file; null when the table has no BLOB or memo field.
  TBlobFile* Blobs() { return blob_.get(); }
  const std::string& Name() const { return name_; }
  const std::string& Directory() const { return directory_; }
  bool IsOpen() const { return open_; }
  bool Exclusive() const { return exclusive_; }
  bool ReadOnly() const { return read_only_; }
  bool IndexRecreated() const { return index_recreated_; }
  bool ReadLocked() const { return read_lock_count_ > 0; }
  bool WriteLocked() const { return write_lock_count_ > 0; }
  bool TableLocked() const { return table_lock_held_; }
  const TRecordsBitmap& LockedRecords() const { return locked_records_; }
  std::string DataFileName() const { return FileName(".DAT"); }
  std::string IndexFileName() const { return FileName(".IDX"); }
  std::string BlobFileName() const { return FileName(".BLB"); }

 private:
  std::string FileName(const char* extension) const;
  void OpenFiles(bool exclusive, bool read_only, bool repair);
  std::unique_ptr<TTableIndex> MakeIndex(bool encrypted) const;
  bool ProtocolSkipped() const;
  void RecoverDeadCommit(bool durable, bool write_locked);
  void TakeTableLock(bool journaled);
  void JournalChecked();
  // Reads every header again and drops every cache, whatever the counters.
  void RereadHeaders();
  [[noreturn]] void Raise(std::uint16_t code) const;
  bool TakeReadLock();
  void TakeWriteLock(bool may_elide);
  void TakeReadSlot();
  void FreeReadSlot();
  void CloseFiles();
  void CloseAfterFailure();
  void RequireWritable() const;
  void OpenBlobFile(bool exclusive);
  void FlushBlobFile(bool os);
  // A record change failed: chains queued for freeing stay (the record on
  // disk still refers to them), and the chains of `image` that `current`
  // (null for an insert) does not hold are freed at the next flush.
  void UndoBlobChanges(const std::uint8_t* image, const std::uint8_t* current);

  std::string directory_;
  std::string name_;
  TStorageSettings settings_;
  bool in_memory_;
  std::unique_ptr<TDataFile> data_;
  std::unique_ptr<TTableIndex> index_;
  std::unique_ptr<TBlobFile> blob_;

  int use_count_ = 0;
  bool open_ = false;
  bool exclusive_ = false;
  bool read_only_ = false;
  bool read_only_files_ = false;
  bool index_recreated_ = false;
  bool in_transaction_ = false;
  bool bulk_load_ = false;

  int read_lock_count_ = 0;
  std::int32_t read_slot_ = 0;  // index-file read slot while read-locked
  int write_lock_count_ = 0;
  bool write_took_table_byte_ = false;
  bool read_lock_elided_ = false;   // the held read lock took no slot (item 8)
  bool write_lock_elided_ = false;  // the held write lock took no bytes (item 8)
  bool table_lock_held_ = false;
  // Whether a dead commit's journal may name this table without its
  // counters having moved since this handle last read them: set at open,
  // at every change seen and at the end of a transaction, cleared when the
  // journal is found empty (or is replayed) under a lock of the table.
  bool journal_unchecked_ = true;
  TRecordsBitmap locked_records_;    // records this handle holds locked
  TRecordsBitmap deferred_unlocks_;  // unlocked while the table lock is held
  std::mt19937 random_;
};

// Holds the write lock of a table for a scope.
class TWriteLockGuard {
 public:
  explicit TWriteLockGuard(TDataTable& t) : table_(t) { table_.WriteLock(); }
  ~TWriteLockGuard() {
    try {
      table_.ReleaseWriteLock();
    } catch (...) {
      // Releasing a lock we hold cannot meaningfully fail; the OS drops
      // the lock with the descriptor at the latest.
    }
  }
  TWriteLockGuard(const TWriteLockGuard&) = delete;
  TWriteLockGuard& operator=(const TWriteLockGuard&) = delete;

 private:
  TDataTable& table_;
};

// Holds a read lock of a table for a scope.
class TReadLockGuard {
 public:
  explicit TReadLockGuard(TDataTable& t) : table_(t) { table_.ReadLock(); }
  ~TReadLockGuard() {
    try {
      table_.ReleaseReadLock();
    } catch (...) {
    }
  }
  TReadLockGuard(const TReadLockGuard&) = delete;
  TReadLockGuard& operator=(const TReadLockGuard&) = delete;

 private:
  TDataTable& table_;
};

}  // namespace kura
