#include "db/storage/table/data_table.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "db/common/undo_on_throw.h"
#include "db/storage/blob/blob_buffer.h"
#include "db/storage/engine_error.h"
#include "db/storage/file/file_system.h"
#include "db/storage/file/lock_map.h"
#include "db/storage/index/index_file.h"
#include "db/storage/index/index_format.h"
#include "db/storage/table/commit_journal.h"

namespace kura {

namespace {

// How often a reader looks at a journal found due again after a replay
// (each time another commit was under way) before it gives up.
constexpr int kJournalLooks = 1000;

// A seed for a handle's read-slot picks. Handles of one process draw theirs
// from one sequence seeded once from the system's entropy, with the time in
// nanoseconds mixed in, so that processes (a forked child continues its
// parent's sequence) still pick apart; asking the system for entropy per
// handle was a good part of the cost of opening a table.
std::uint32_t ReadSlotSeed() {
  static std::atomic<std::uint64_t> next{(std::uint64_t{std::random_device{}()} << 32) |
                                         std::random_device{}()};
  std::uint64_t z = next.fetch_add(0x9E3779B97F4A7C15ull, std::memory_order_relaxed) ^
                    static_cast<std::uint64_t>(
                        std::chrono::steady_clock::now().time_since_epoch().count());
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;  // splitmix64's finaliser
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return static_cast<std::uint32_t>(z ^ (z >> 31));
}

}  // namespace

TDataTable::TDataTable(std::string directory, std::string name, const TStorageSettings& settings,
                       bool in_memory)
    : directory_(directory.empty() || in_memory ? std::string() : NormalizeDirectory(directory)),
      name_(std::move(name)),
      settings_(settings),
      in_memory_(in_memory),
      data_(std::make_unique<TDataFile>(name_, in_memory, settings)),
      random_(ReadSlotSeed()) {}

TDataTable::~TDataTable() {
  try {
    if (open_ && in_transaction_) EndTransaction();
    use_count_ = 0;
    Close();
  } catch (...) {
    // Destruction cannot report; the files are closed by their handlers.
  }
}

std::string TDataTable::FileName(const char* extension) const {
  return directory_ + name_ + extension;
}

// The index file behind the table: the B-trees of every index.
std::unique_ptr<TTableIndex> TDataTable::MakeIndex(bool encrypted) const {
  return std::make_unique<TIndexFile>(name_, in_memory_, encrypted, settings_);
}

void TDataTable::Raise(std::uint16_t code) const {
  RaiseTableError(code, name_);
}

bool TDataTable::ProtocolSkipped() const {
  return exclusive_ || read_only_files_;
}

void TDataTable::RequireWritable() const {
  if (!open_) Raise(kErrInvalidHandle);
  if (read_only_) Raise(kErrAccessDenied);
}

bool TDataTable::Exists() const {
  return data_->Exists(DataFileName());
}

// ---- life cycle ----

void TDataTable::Create(const std::vector<TFieldDefinition>& fields, const TTableOptions& options,
                        const TIndexCreateOptions& index_options) {
  if (open_) Raise(kErrTableInUse);
  if (Exists()) Raise(kErrTableExists);
  // A cut journal coming back after a power loss must not be replayed into
  // new files that took the names of its tables.
  if (!in_memory_) TCommitJournal::EmptyDurably(directory_, settings_);
  // A table is there once its data file is. On the disk the data file is
  // made under a passing name and takes the table's only once all three
  // files are whole and durable: a make cut short by a kill or a power loss
  // leaves no table, only files that the next make writes over.
  TFileList& files = TFileList::Global();
  const TFileKind kind = data_->Kind();
  const std::string made = in_memory_ ? DataFileName() : FileName(".DAT~");
  if (!in_memory_ && files.Exists(made, kind)) data_->Check(files.Delete(made, kind));
  data_->CreateTable(made, fields, options);
  {
    bool named = in_memory_;
    TUndoOnThrow remove([&] {
      CloseAfterFailure();
      if (files.Exists(BlobFileName(), kind)) files.Delete(BlobFileName(), kind);
      files.Delete(IndexFileName(), kind);
      files.Delete(named ? DataFileName() : made, kind);
    });
    index_ = MakeIndex(options.encrypted);
    index_->Create(IndexFileName(), index_options);
    if (data_->BlobFieldCount() > 0) {
      blob_ = std::make_unique<TBlobFile>(name_, in_memory_, settings_);
      blob_->SetFormat(data_->BlobBlockSize(), data_->Encrypted());
      blob_->CreateBlobFile(BlobFileName());
    }
    data_->WriteHeader(true);
    data_->WriteDescriptorsIfChanged();
    if (!in_memory_) {
      std::vector<TFileHandler*> whole{data_.get(), &index_->Handler()};
      if (blob_) whole.push_back(blob_.get());
      TFileHandler::FlushTogether(whole);
      data_->Close();
      data_->Check(files.Rename(made, kind, DataFileName()));
      named = true;
      data_->Open(DataFileName(), true);
    }
  }
  open_ = true;
  exclusive_ = true;
  read_only_ = read_only_files_ = false;
  index_recreated_ = false;
  use_count_ = 1;
}

void TDataTable::Open(bool exclusive, bool read_only) {
  OpenFiles(exclusive, read_only, false);
}

void TDataTable::OpenForRepair() {
  OpenFiles(true, false, true);
}

void TDataTable::OpenFiles(bool exclusive, bool read_only, bool repair) {
  if (open_) Raise(kErrTableInUse);
  // A commit that died half-way is finished before anything is read, even
  // by a read-only open: what it sees is otherwise half a commit. A shared
  // open may leave it to the first writer (readers are in the way now and
  // then, and the directory may not be writable); an exclusive writable one
  // never takes a lock again, so it must.
  const bool writes_unlocked = exclusive && !read_only;
  if (!in_memory_)
    TCommitJournal::Recover(directory_, {}, settings_, writes_unlocked, writes_unlocked);
  data_->SetAllowShortFile(repair);
  {
    TUndoOnThrow disallow([this] { data_->SetAllowShortFile(false); });
    data_->Open(DataFileName(), exclusive);
  }
  data_->SetAllowShortFile(false);
  {
    TUndoOnThrow close([this] { CloseAfterFailure(); });
    index_ = MakeIndex(data_->Encrypted());
    index_recreated_ = false;
    // Only a table opened for use gets a new (empty) index file in place of
    // a missing one: a read-only open must not write, and reports it.
    if (read_only && !index_->Handler().Exists(IndexFileName()))
      index_->Handler().RaiseMissing(IndexFileName());
    if (!index_->Handler().Exists(IndexFileName())) {
      index_->Create(IndexFileName(), TIndexCreateOptions{true});
      index_->Close();
      index_recreated_ = true;
    }
    index_->Open(IndexFileName(), exclusive);
    OpenBlobFile(exclusive);
  }
  read_only_files_ =
      data_->ReadOnly() || index_->Handler().ReadOnly() || (blob_ && blob_->ReadOnly());
  read_only_ = read_only || read_only_files_;
  exclusive_ = exclusive;
  open_ = true;
  use_count_ = 1;
  in_transaction_ = false;
  // The headers were read without a lock, perhaps just after a commit died
  // and bumped their counters: the first lock looks at the journal.
  journal_unchecked_ = !in_memory_;
}

// The BLOB file is there only for tables that count BLOB fields; a missing
// one is 11010 like a missing data file.
void TDataTable::OpenBlobFile(bool exclusive) {
  blob_.reset();
  if (data_->BlobFieldCount() <= 0) return;
  blob_ = std::make_unique<TBlobFile>(name_, in_memory_, settings_);
  blob_->SetFormat(data_->BlobBlockSize(), data_->Encrypted());
  blob_->Open(BlobFileName(), exclusive);
}

// Closes whatever files a failed create or open got to.
void TDataTable::CloseAfterFailure() {
  if (index_) index_->Close();
  if (blob_) blob_->Close();
  blob_.reset();
  data_->Close();
}

void TDataTable::CloseFiles() {
  CloseAfterFailure();
  open_ = false;
  index_recreated_ = false;
  data_->SetWrittenSinceOpen(false);
}

void TDataTable::Close(bool discard) {
  if (!open_) return;
  if (use_count_ > 0) --use_count_;
  // A table inside a transaction stays open until the transaction ends; the
  // database closes it then.
  if (use_count_ > 0 || in_transaction_) return;
  try {
    if (exclusive_ && !read_only_) {
      if (discard)
        DiscardBuffers();
      else
        Flush();
    }
    UnlockAllRecords();
    while (read_lock_count_ > 0)
      ReleaseReadLock();
    while (write_lock_count_ > 0)
      ReleaseWriteLock();
    if (table_lock_held_) ReleaseTableLock();
  } catch (...) {
    CloseFiles();
    throw;
  }
  CloseFiles();
}

void TDataTable::Delete() {
  if (open_) Raise(kErrAccessDenied);
  if (!Exists()) Raise(kErrTableMissing);
  // A journal naming the table is finished before its files go (J7): a
  // table made later under the name must not receive its records.
  if (!in_memory_) TCommitJournal::EmptyDurably(directory_, settings_);
  TFileList& files = TFileList::Global();
  const TFileKind kind = data_->Kind();
  TFileStatus s = files.Delete(DataFileName(), kind);
  if (!s.ok())
    RaiseTableError(s.code == kErrAccessDenied ? s.code : std::uint16_t{kErrCannotDelete}, name_,
                    s.os_error);
  for (const std::string& f : {IndexFileName(), BlobFileName()})
    if (files.Exists(f, kind)) files.Delete(f, kind);
}

void TDataTable::Rename(const std::string& new_name) {
  if (open_) Raise(kErrAccessDenied);
  if (!Exists()) Raise(kErrTableMissing);
  TDataTable target(directory_, new_name, settings_, in_memory_);
  if (target.Exists()) RaiseTableError(kErrTableExists, new_name);
  if (!in_memory_) TCommitJournal::EmptyDurably(directory_, settings_);  // as in Create
  TFileList& files = TFileList::Global();
  const TFileKind kind = data_->Kind();
  data_->Check(files.Rename(DataFileName(), kind, target.DataFileName()));
  if (files.Exists(IndexFileName(), kind))
    data_->Check(files.Rename(IndexFileName(), kind, target.IndexFileName()));
  if (files.Exists(BlobFileName(), kind))
    data_->Check(files.Rename(BlobFileName(), kind, target.BlobFileName()));
  name_ = new_name;
  data_->SetTableName(new_name);
}

void TDataTable::RenameToBackup() {
  if (open_) Raise(kErrAccessDenied);
  TFileList& files = TFileList::Global();
  const TFileKind kind = data_->Kind();
  const std::pair<std::string, std::string> moves[] = {{DataFileName(), FileName(".DBK")},
                                                       {IndexFileName(), FileName(".IBK")},
                                                       {BlobFileName(), FileName(".BBK")}};
  for (const auto& [from, to] : moves) {
    if (!files.Exists(from, kind)) continue;
    if (files.Exists(to, kind)) files.Delete(to, kind);
    data_->Check(files.Rename(from, kind, to));
  }
}

void TDataTable::BackupIndex(bool compress) {
  if (!open_) Raise(kErrInvalidHandle);
  index_->Handler().CopyTo(FileName(".IBK"), compress);
}

void TDataTable::RestoreIndex(bool compress) {
  RequireWritable();
  index_->Handler().CopyFrom(FileName(".IBK"), compress);
  index_->DropPages();
  index_->ReReadHeaderIfChanged();
}

// ---- locks ----

void TDataTable::TakeReadSlot() {
  std::uniform_int_distribution<std::int32_t> pick(1, kReadSlotCount);
  TFileHandler& index = index_->Handler();
  for (int attempt = 0;; ++attempt) {
    const std::int32_t slot = pick(random_);
    if (index.LockRange(ReadSlotOffset(slot), 1)) {
      // The BLOB file's read slot is the same number.
      if (!blob_ || blob_->LockRange(ReadSlotOffset(slot), 1)) {
        read_slot_ = slot;
        return;
      }
      index.UnlockRange(ReadSlotOffset(slot), 1);
    }
    if (attempt >= settings_.low_level_retries) Raise(kErrLockFailure);
    std::this_thread::sleep_for(std::chrono::milliseconds(settings_.low_level_sleep_ms));
  }
}

void TDataTable::FreeReadSlot() {
  const std::int32_t slot = read_slot_;
  read_slot_ = 0;
  const bool blob_ok = !blob_ || blob_->UnlockRange(ReadSlotOffset(slot), 1);
  if (!index_->Handler().UnlockRange(ReadSlotOffset(slot), 1) || !blob_ok) Raise(kErrUnlock);
}

void TDataTable::ReadLock() {
  if (!open_) Raise(kErrInvalidHandle);
  if (ProtocolSkipped()) return;
  TakeReadLock();
}

// Counts one more read lock; the first takes a read slot and checks for
// changes. A failing check gives the slot back: the caller holds nothing.
bool TDataTable::TakeReadLock() {
  if (read_lock_count_++ > 0) return false;
  read_lock_elided_ = table_lock_held_;
  if (read_lock_elided_) return false;
  TUndoOnThrow uncount([this] { read_lock_count_ = 0; });
  TakeReadSlot();
  {
    // The check's error is the one to report; the OS drops the lock with
    // the descriptor at the latest should giving the slot back fail too.
    TUndoOnThrow free_slot([this] { FreeReadSlot(); });
    // Only a moved counter can announce a commit that died half-way (see
    // journal_unchecked_): then the journal is looked at, and one left
    // behind is written to its end (outside the read slot, which a replay
    // must be able to lock).
    const bool changed = CheckForChanges();
    if (!journal_unchecked_) return changed;
    if (in_memory_ || !TCommitJournal::NeedsReplay(directory_)) {
      JournalChecked();
      return true;
    }
  }
  FreeReadSlot();
  // Nothing is read while a replay is due (J6): the reader finishes the
  // journal itself or waits for whoever holds it, and looks again.
  for (int attempt = 0;; ++attempt) {
    const bool replayed = TCommitJournal::Recover(directory_, {}, settings_, false, false);
    TakeReadSlot();
    {
      TUndoOnThrow free_slot([this] { FreeReadSlot(); });
      // What the replay (ours or another's) wrote is read afresh; the
      // journal counts as seen only when nothing is due under this slot.
      RereadHeaders();
      if (!TCommitJournal::NeedsReplay(directory_)) {
        journal_unchecked_ = false;
        return true;
      }
      // Where the journal lock cannot be made nobody can finish a journal:
      // the table is read as it is.
      if (!replayed && !TCommitJournal::Replayable(directory_)) return true;
    }
    FreeReadSlot();
    // A replay that could not be had waited as long as a lock may; one that
    // was done but found the journal due again met commits under way.
    if (!replayed || attempt >= kJournalLooks) Raise(kErrLockFailure);
    std::this_thread::sleep_for(std::chrono::milliseconds(settings_.low_level_sleep_ms));
  }
}

void TDataTable::ReleaseReadLock() {
  if (ProtocolSkipped() || read_lock_count_ == 0) return;
  if (--read_lock_count_ > 0) return;
  if (read_lock_elided_) {
    read_lock_elided_ = false;
    return;
  }
  FreeReadSlot();
}

void TDataTable::WriteLock() {
  TakeWriteLock(true);
}

void TDataTable::WriteLockForCommit() {
  TakeWriteLock(false);
}

void TDataTable::TakeWriteLock(bool may_elide) {
  if (!open_) Raise(kErrInvalidHandle);
  if (ProtocolSkipped()) return;
  if (write_lock_count_ > 0) {
    if (write_lock_elided_ && !may_elide) Raise(kErrLockFailure);  // held without its bytes
    ++write_lock_count_;
    return;
  }
  if (read_lock_count_ > 0) Raise(kErrLockFailure);  // invariant 3
  write_lock_elided_ = may_elide && table_lock_held_ && in_transaction_;
  if (write_lock_elided_) {
    write_lock_count_ = 1;
    return;
  }
  const int retries = settings_.low_level_retries;
  const int sleep = settings_.low_level_sleep_ms;
  write_took_table_byte_ = false;
  if (!table_lock_held_) {
    if (!data_->LockRangeRetrying(kTableLockOffset, 1, retries, sleep)) Raise(kErrLockFailure);
    write_took_table_byte_ = true;
  }
  if (!index_->Handler().LockRangeRetrying(kWriteLockOffset, kWriteLockLength, retries, sleep)) {
    if (write_took_table_byte_) data_->UnlockRange(kTableLockOffset, 1);
    write_took_table_byte_ = false;
    Raise(kErrLockFailure);
  }
  if (blob_ && !blob_->WriteLock()) {
    index_->Handler().UnlockRange(kWriteLockOffset, kWriteLockLength);
    if (write_took_table_byte_) data_->UnlockRange(kTableLockOffset, 1);
    write_took_table_byte_ = false;
    Raise(kErrLockFailure);
  }
  write_lock_count_ = 1;
  if (!table_lock_held_) {
    TUndoOnThrow release([this] { ReleaseWriteLock(); });
    CheckForChanges();
    RecoverDeadCommit(true, true);
  }
}

void TDataTable::ReleaseWriteLock() {
  if (ProtocolSkipped() || write_lock_count_ == 0) return;
  if (--write_lock_count_ > 0) return;
  if (write_lock_elided_) {
    write_lock_elided_ = false;
    return;
  }
  const bool blob_ok = !blob_ || blob_->ReleaseWriteLock();
  const bool index_ok =
      index_->Handler().UnlockRange(kWriteLockOffset, kWriteLockLength) && blob_ok;
  bool data_ok = true;
  if (write_took_table_byte_) data_ok = data_->UnlockRange(kTableLockOffset, 1);
  write_took_table_byte_ = false;
  if (!index_ok || !data_ok) Raise(kErrUnlock);
}

void TDataTable::TableLock() {
  TakeTableLock(false);
}

// `journaled`: every write under this lock goes through a commit's journal,
// which needs no cut journal emptied durably before it.
void TDataTable::TakeTableLock(bool journaled) {
  if (!open_) Raise(kErrInvalidHandle);
  if (ProtocolSkipped() || table_lock_held_) return;
  // Our own write lock holds the table-lock byte: waiting would wait for
  // ourselves.
  if (write_lock_count_ > 0) Raise(kErrLockFailure);
  if (!data_->LockRangeRetrying(kTableLockOffset, 1, settings_.low_level_retries,
                                settings_.low_level_sleep_ms))
    Raise(kErrLockFailure);
  table_lock_held_ = true;
  data_->SetTableLockHeld(true);
  if (blob_) blob_->SetTableLockHeld(true);
  TUndoOnThrow release([this] { ReleaseTableLock(); });
  CheckForChanges();
  RecoverDeadCommit(!journaled, false);
}

// Before a writer changes anything, a journal that is due (a commit that died
// half-way over this directory's tables, or records of another run) is
// written to its end: it may name this table, and writing it again later
// would overwrite what comes now. Called under the write or table lock,
// after the counters were compared; costs one stat when the journal is
// empty. `durable`: the caller may write outside a commit, so a journal
// with anything in it is checkpointed and emptied durably first (J8); the
// headers are read again when this handle's counters had moved or the
// replay wrote a table file. `write_locked`: the caller holds the
// write lock, whose ranges cover all three files; the table lock alone
// holds only the data file's byte, and a replay that writes the index or
// BLOB file takes their write ranges itself (J4).
void TDataTable::RecoverDeadCommit(bool durable, bool write_locked) {
  if (in_memory_) {
    if (journal_unchecked_) JournalChecked();
    return;
  }
  // A writer looks at the journal at every lock it writes under, whatever
  // its counters say (J6): a computer that lost its power may have left a
  // record whose counter bumps never reached the shared files.
  const bool look = durable ? TCommitJournal::State(directory_) != TCommitJournal::TState::kEmpty
                            : TCommitJournal::NeedsReplay(directory_);
  bool rewrote = false;
  if (look) {
    std::vector<std::string> held{data_->FileName()};
    if (write_locked) {
      held.push_back(index_->Handler().FileName());
      if (blob_) held.push_back(blob_->FileName());
    }
    TCommitJournal::Recover(directory_, held, settings_, true, durable, &rewrote);
  }
  if (journal_unchecked_ || rewrote) JournalChecked();
}

// The journal was found empty (or was replayed) while this handle held a
// lock of the table: the headers are read again, since a replay rewrites
// them without moving the counters past the value the dead commit's bump
// wrote, which this handle may have taken in before.
void TDataTable::JournalChecked() {
  RereadHeaders();
  journal_unchecked_ = false;
}

void TDataTable::RereadHeaders() {
  data_->MarkChanged();
  index_->MarkChanged();
  if (blob_) blob_->MarkChanged();
  CheckForChanges();
}

void TDataTable::ReleaseTableLock() {
  if (ProtocolSkipped() || !table_lock_held_) return;
  table_lock_held_ = false;
  data_->SetTableLockHeld(false);
  if (blob_) blob_->SetTableLockHeld(false);
  const bool ok = data_->UnlockRange(kTableLockOffset, 1);
  TRecordsBitmap deferred;
  deferred.CopyFrom(deferred_unlocks_);
  deferred_unlocks_.SetSize(0);
  for (std::int32_t n = deferred.FindNext(0); n != 0; n = deferred.FindNext(n))
    UnlockRecord(n);
  if (!ok) Raise(kErrLockFailure);
}

bool TDataTable::LockRecord(std::int32_t n) {
  if (!open_) Raise(kErrInvalidHandle);
  if (n <= 0) Raise(kErrRecordInUse);
  if (ProtocolSkipped()) {
    locked_records_.Set(n);
    return false;
  }
  if (table_lock_held_ && locked_records_.Test(n)) return false;
  // Without StrictChangeDetection the read lock (and its change check) is
  // taken before every attempt and dropped while waiting so that writers
  // can proceed; with it, record locking takes no read lock at all.
  const bool with_read = !settings_.strict_change_detection;
  bool changed = false;
  bool took_read = false;
  auto take_read = [&] {
    changed = TakeReadLock() || changed;
    took_read = true;
  };
  if (with_read) take_read();
  for (int failures = 0; !data_->LockRange(RecordLockOffset(n), 1);) {
    if (took_read) {
      ReleaseReadLock();
      took_read = false;
    }
    if (++failures >= settings_.lock_retry_count) Raise(kErrRecordInUse);
    std::this_thread::sleep_for(std::chrono::milliseconds(settings_.lock_wait_time));
    if (with_read) take_read();
  }
  locked_records_.Set(n);
  return changed;
}

void TDataTable::UnlockRecord(std::int32_t n) {
  if (!locked_records_.Test(n)) Raise(kErrUnlock);
  if (ProtocolSkipped()) {
    locked_records_.Clear(n);
    return;
  }
  if (table_lock_held_) {
    deferred_unlocks_.Set(n);
    return;
  }
  locked_records_.Clear(n);
  if (!data_->UnlockRange(RecordLockOffset(n), 1)) Raise(kErrUnlock);
}

void TDataTable::UnlockAllRecords() {
  TRecordsBitmap held;
  held.CopyFrom(locked_records_);
  for (std::int32_t n = held.FindNext(0); n != 0; n = held.FindNext(n))
    if (!deferred_unlocks_.Test(n)) UnlockRecord(n);
}

bool TDataTable::CheckForChanges() {
  if (!open_) Raise(kErrInvalidHandle);
  // Inside a transaction this handle holds the table lock, so nobody else
  // can have written; the headers in memory are ahead of the disk only by
  // this handle's own deferred changes, which comparing them with the disk
  // would take for another writer's (and drop with the caches).
  if (in_transaction_) return false;
  bool changed = false;
  if (index_->ReReadHeaderIfChanged()) {
    index_->DropPages();
    data_->ReReadHeaderIfChanged();
    data_->DropRecords();
    changed = true;
  } else {
    changed = data_->ReReadHeaderIfChanged();
  }
  if (blob_ && blob_->ReReadHeaderIfChanged()) changed = true;
  if (changed && !in_memory_) journal_unchecked_ = true;
  return changed;
}

// ---- flush and buffers ----

void TDataTable::Flush(bool force_os, bool trim) {
  if (!open_ || read_only_) return;
  if (in_transaction_) {
    data_->MarkChanged();
    index_->MarkChanged();
    if (blob_) blob_->MarkChanged();
    return;
  }
  const bool os = force_os || settings_.force_buffer_flush;
  // Write order: BLOB file, data file, index file, then the BLOB chains the
  // written records no longer refer to. A record on disk therefore always
  // refers to a chain that is complete on disk and not yet freed.
  //
  // A file whose records, pages or blocks were written always gets its
  // header written too: that moves its change counter, which is how every
  // other handle learns of the change (a rewrite of non-key fields changes
  // nothing else in any header).
  FlushBlobFile(os);
  bool wrote = data_->FlushRecords();
  if (wrote || data_->HeaderChanged()) {
    data_->WriteHeader(true);
    wrote = true;
  }
  data_->WriteDescriptorsIfChanged();
  if (wrote && os) data_->Flush();
  bool index_wrote = index_->FlushPages();
  if (index_wrote || index_->HeaderChanged()) {
    index_->WriteHeader(true);
    index_wrote = true;
  }
  if (index_wrote && os) index_->Handler().Flush();
  if (blob_ && blob_->HasDeferredFrees()) {
    blob_->ApplyDeferredFrees();
    FlushBlobFile(os);
  }
  if (trim) {
    data_->TrimCache();
    index_->TrimCache();
    if (blob_) blob_->TrimCache();
  }
}

void TDataTable::FlushBlobFile(bool os) {
  if (!blob_) return;
  bool wrote = blob_->FlushBlocks();
  if (wrote || blob_->HeaderChanged()) {
    blob_->WriteHeader(true);
    wrote = true;
  }
  if (wrote && os) blob_->Flush();
}

void TDataTable::UndoBlobChanges(const std::uint8_t* image, const std::uint8_t* current) {
  if (!blob_) return;
  blob_->DiscardDeferredFrees();
  for (int pos = 1; pos <= data_->FieldCount(); ++pos) {
    const TFieldDescriptor& f = data_->Field(pos);
    if (f.Type() != kFieldBlob || !f.HasSlot()) continue;
    const TBlobRef mine = GetBlobRef(image, f);
    const TBlobRef kept = current ? GetBlobRef(current, f) : TBlobRef{};
    if (mine.first_block != kept.first_block || mine.stamp != kept.stamp)
      blob_->DeferFreeChain(mine);
  }
}

void TDataTable::MarkChanged() {
  data_->MarkChanged();
  index_->MarkChanged();
  if (blob_) blob_->MarkChanged();
}

void TDataTable::DiscardBuffers() {
  data_->DropRecords();
  index_->DropPages();
  if (blob_) {
    blob_->DropBlocks();
    blob_->DiscardDeferredFrees();
  }
}

void TDataTable::Empty() {
  RequireWritable();
  data_->Empty(settings_.force_buffer_flush);
  index_->Empty();
  if (blob_) blob_->Empty(settings_.force_buffer_flush);
  if (!(bulk_load_ && exclusive_)) Flush();
}

void TDataTable::Verify() {
  if (!open_) Raise(kErrInvalidHandle);
  data_->Verify();
  if (!index_recreated_) index_->Verify(*data_);
  if (blob_) blob_->Verify();
}

// ---- transactions ----

void TDataTable::StartTransaction(bool journaled) {
  if (!open_) Raise(kErrInvalidHandle);
  if (read_only_ || in_transaction_) return;
  if (exclusive_) Flush();
  TakeTableLock(journaled);
  in_transaction_ = true;
  data_->SetDeferWrites(true);
  if (blob_) blob_->SetDeferWrites(true);
}

void TDataTable::Commit() {
  if (!in_transaction_) return;
  in_transaction_ = false;
  try {
    Flush();
  } catch (...) {
    in_transaction_ = true;
    throw;
  }
  in_transaction_ = true;
}

void TDataTable::EndTransaction() {
  if (!in_transaction_) return;
  in_transaction_ = false;
  data_->SetDeferWrites(false);
  data_->DropRecords();
  index_->DropPages();
  data_->ReadHeader();
  // The index header is re-read unconditionally (marking a change first
  // makes it differ from the disk): a change that failed half-way may have
  // altered it in memory without counting.
  index_->MarkChanged();
  index_->ReReadHeaderIfChanged();
  if (blob_) {
    blob_->SetDeferWrites(false);
    blob_->DiscardDeferredFrees();
    blob_->DropBlocks();
    blob_->ReadHeader();
  }
  // The commit's own counters are in the headers now; should the commit
  // have failed after its journal was whole, nothing else would tell this
  // handle to finish it before its next write.
  journal_unchecked_ = !in_memory_;
  ReleaseTableLock();
}

// ---- records ----

std::vector<std::uint8_t> TDataTable::BlankRecord() const {
  return std::vector<std::uint8_t>(static_cast<std::size_t>(data_->RecordSize()), 0);
}

std::int32_t TDataTable::InsertRecord(const std::uint8_t* image,
                                      std::optional<std::int32_t> auto_inc) {
  RequireWritable();
  TDataFile& data = *data_;
  const std::size_t size = static_cast<std::size_t>(data.RecordSize());
  std::vector<std::uint8_t> record(image, image + size);
  record[record::kDeleted] = 0;
  if (auto_inc) EncodeFixed32(&record[record::kAutoInc], static_cast<std::uint32_t>(*auto_inc));
  {
    TUndoOnThrow undo_blobs([&] { UndoBlobChanges(record.data(), nullptr); });
    index_->CheckInsert(data, record.data());
  }

  const TDataFile::TInsertMark mark = data.MarkInsert();
  TRecordPin slot = data.AllocateSlot(index_->NoPrimaryKey());
  const std::int32_t n = slot->Number();
  std::optional<std::vector<std::uint8_t>> previous;
  if (slot->Deleted()) previous.emplace(slot->Data(), slot->Data() + size);
  {
    // InsertKeys takes back its own keys; the slot, the free chain and the
    // counters return to what they were, so the table is as before.
    TUndoOnThrow undo([&] {
      data.UndoAllocate(mark, slot, previous ? previous->data() : nullptr);
      UndoBlobChanges(record.data(), nullptr);
    });
    std::memcpy(slot->Data(), record.data(), size);
    slot->SetDeleted(false);
    slot->SetLink(n);
    if (auto_inc) {
      data.SetLastAutoInc(std::max(data.LastAutoInc(), *auto_inc));
    } else {
      slot->SetAutoInc(data.NextAutoInc());
    }
    slot->SetDirty(true);
    index_->InsertKeys(data, slot->Data(), n, previous ? previous->data() : nullptr);
  }
  slot.Release();
  index_->AdjustRecordCount(1);
  if (!(bulk_load_ && exclusive_)) Flush();
  return n;
}

void TDataTable::AppendRecords(const std::uint8_t* images, std::size_t count) {
  RequireWritable();
  TDataFile& data = *data_;
  const std::size_t size = static_cast<std::size_t>(data.RecordSize());
  if (exclusive_ && !in_transaction_ && !blob_ && data.SlotCount() == 0 && count > 0 &&
      count <= static_cast<std::size_t>(kMaxRecordNumber) && index_->CanLoadAppendedSlots(data)) {
    const TDataFile::TInsertMark mark = data.MarkInsert();
    {
      // A failure part-way leaves both files empty again, as they were.
      TUndoOnThrow undo([&] {
        data.UndoAppendSlots(mark);
        index_->Empty();
      });
      const std::int32_t first_id = data.LastAutoInc() + 1;
      const std::int32_t first = data.AppendSlots(images, count);
      index_->LoadAppendedSlots(data, first, static_cast<std::int32_t>(count), images, first_id);
    }
    index_->AdjustRecordCount(static_cast<std::int32_t>(count));
    if (!bulk_load_) Flush();
    return;
  }
  // Inside a transaction, into new slots only (no primary index reusing
  // deleted ones, or none to reuse): every check first, then the slots, then
  // each index's keys sorted and added as a run.
  if (in_transaction_ && count > 1 && !blob_ && (index_->NoPrimaryKey() || data.FreeHead() == 0) &&
      count <= static_cast<std::size_t>(kMaxRecordNumber)) {
    index_->CheckAppended(data, images, count);
    std::vector<std::uint8_t> placed(count * size);
    std::vector<std::int32_t> numbers(count);
    for (std::size_t i = 0; i < count; ++i) {
      TRecordPin slot = data.AllocateSlot(true);
      const std::int32_t n = slot->Number();
      std::memcpy(slot->Data(), images + i * size, size);
      slot->SetDeleted(false);
      slot->SetLink(n);
      slot->SetAutoInc(data.NextAutoInc());
      slot->SetDirty(true);
      std::memcpy(&placed[i * size], slot->Data(), size);
      numbers[i] = n;
    }
    index_->InsertAppendedKeys(data, numbers.data(), placed.data(), count);
    index_->AdjustRecordCount(static_cast<std::int32_t>(count));
    Flush();  // in a transaction: counts the change for this handle's cursors
    return;
  }
  const bool was_bulk = bulk_load_;
  bulk_load_ = true;
  {
    TUndoOnThrow restore([&] { bulk_load_ = was_bulk; });
    for (std::size_t i = 0; i < count; ++i)
      InsertRecord(images + i * size);
  }
  bulk_load_ = was_bulk;
  if (!(bulk_load_ && exclusive_)) Flush();
}

void TDataTable::BulkAppend(const std::uint8_t* images, std::size_t count, bool flush) {
  RequireWritable();
  if (count == 0) return;
  if (in_transaction_ || in_memory_) {
    AppendRecords(images, count);
    return;
  }
  StartTransaction(true);
  TCommitJournal journal(directory_, settings_);
  {
    TUndoOnThrow roll_back([&] {
      journal.Release();
      EndTransaction();
    });
    // From here every write of the table's files is held in memory until
    // the journal has it: the slots written in one pass too.
    journal.Capture(*this);
    TDataFile& data = *data_;
    if (!blob_ && data.SlotCount() == 0 && count <= static_cast<std::size_t>(kMaxRecordNumber) &&
        index_->CanLoadAppendedSlots(data)) {
      const std::int32_t first_id = data.LastAutoInc() + 1;
      const std::int32_t first = data.AppendSlots(images, count);
      index_->LoadAppendedSlots(data, first, static_cast<std::int32_t>(count), images, first_id);
      index_->AdjustRecordCount(static_cast<std::int32_t>(count));
    } else {
      AppendRecords(images, count);
    }
    Commit();
    WriteLockForCommit();
    TUndoOnThrow unlock([&] { ReleaseWriteLock(); });
    journal.Apply(flush);
  }
  ReleaseWriteLock();
  EndTransaction();
}

void TDataTable::CommitJournaled(bool flush) {
  if (!in_transaction_) return;
  if (in_memory_) {
    Commit();
    EndTransaction();
    return;
  }
  TCommitJournal journal(directory_, settings_);
  {
    TUndoOnThrow roll_back([&] {
      journal.Release();
      EndTransaction();
    });
    journal.Capture(*this);
    Commit();
    WriteLockForCommit();
    TUndoOnThrow unlock([&] { ReleaseWriteLock(); });
    journal.Apply(flush);
  }
  ReleaseWriteLock();
  EndTransaction();
}

bool TDataTable::ReplaceRecords(const std::uint8_t* images, std::size_t count) {
  RequireWritable();
  TDataFile& data = *data_;
  // Slots 1..count all live (as many live records as slots), and the
  // auto-increment values where appending left them: no slot was added,
  // freed or reused since.
  if (!exclusive_ || in_transaction_ || blob_ || count == 0 ||
      count > static_cast<std::size_t>(kMaxRecordNumber) ||
      data.SlotCount() != static_cast<std::int32_t>(count) ||
      index_->RecordCount() != static_cast<std::int32_t>(count) ||
      data.LastAutoInc() != static_cast<std::int32_t>(count) || index_->KeysFromRecords())
    return false;
  data.OverwriteSlots(images, count);
  if (!bulk_load_) Flush();
  return true;
}

void TDataTable::UpdateRecord(std::int32_t n, const std::uint8_t* image) {
  RequireWritable();
  TDataFile& data = *data_;
  const std::size_t size = static_cast<std::size_t>(data.RecordSize());
  if (n <= 0 || n >= data.NextRecordNumber()) Raise(kErrRecordNotFound);
  TRecordPin rec = data.GetRecord(n);
  if (rec->Deleted()) Raise(kErrRecordNotFound);
  std::vector<std::uint8_t> updated(rec->Data(), rec->Data() + size);
  std::memcpy(updated.data() + record::kFirstField, image + record::kFirstField,
              size - record::kFirstField);
  {
    TUndoOnThrow undo_blobs([&] { UndoBlobChanges(updated.data(), rec->Data()); });
    index_->CheckModify(data, rec->Data(), updated.data(), n);
  }
  std::vector<std::uint8_t> old(rec->Data(), rec->Data() + size);
  // Chains the record stops referring to are freed after it is written.
  if (blob_) {
    for (int pos = 1; pos <= data.FieldCount(); ++pos) {
      const TFieldDescriptor& f = data.Field(pos);
      if (f.Type() != kFieldBlob || !f.HasSlot()) continue;
      const TBlobRef was = GetBlobRef(old.data(), f);
      const TBlobRef now = GetBlobRef(updated.data(), f);
      if (was.first_block != now.first_block || was.stamp != now.stamp) blob_->DeferFreeChain(was);
    }
  }
  std::memcpy(rec->Data(), updated.data(), size);
  rec->SetDirty(true);
  index_->ModifyKeys(data, old.data(), rec->Data(), n);
  rec.Release();
  Flush();
}

void TDataTable::DeleteRecord(std::int32_t n) {
  RequireWritable();
  TDataFile& data = *data_;
  if (n <= 0 || n >= data.NextRecordNumber()) Raise(kErrRecordNotFound);
  {
    TRecordPin rec = data.GetRecord(n);
    if (rec->Deleted()) Raise(kErrRecordNotFound);
    index_->DeleteKeys(data, rec->Data(), n);
    if (blob_) ReleaseBlobFields(*blob_, data, rec->Data());
  }
  data.DeleteRecord(n);
  index_->AdjustRecordCount(-1);
  Flush();
}

}  // namespace kura
