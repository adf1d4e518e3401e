// TCommitJournal: makes the commit of a transaction over several tables of a
// directory all-or-nothing when the committing process dies or the power
// fails half-way, and durable once it returns. Without it a commit writes
// its tables one after another, and a game-record store killed in between
// kept the list row of a game without its moves.
//
// The journal is a redo log: it holds the writes of the commits since its
// last checkpoint, in commit order, each a whole image at its offset, so
// that writing them all again in order leaves every file as the last of
// them did. A commit captures every write of its tables' files in memory
// (TFileHandler::StartCapture). Holding the write locks of all its tables and
// the journal lock, it
//   1. writes each file's final change counter (the first four bytes of the
//      last header image it will write) over the current one: nothing else
//      of the table changes, but every other handle now sees it changed;
//   2. appends its record to the journal and makes the journal durable:
//      this is the moment the commit happens;
//   3. writes the table files, without waiting for the disk: every program
//      sees them at once (one page cache), and only a power loss can take
//      them back, which the journal then brings back;
//   4. settles the journal (lengthens it to the next record boundary, again
//      without waiting): its records are all in the tables now. Once the
//      journal reaches TStorageSettings::journal_checkpoint_bytes the commit
//      checkpoints it instead: it makes the tables of every record durable
//      and cuts the journal to its first 8 bytes (and empties it durably
//      when one of its tables is open exclusively: such a handle takes no
//      locks, so it never looks at the journal again).
// So a commit waits for the disk once, not once per file.
//
// Rules of the journal among the programs sharing a directory, on one
// computer or several through a shared folder (each rule is named where the
// code keeps it):
//  J1 Names. A record names each file as the disk has it; a replay finds a
//     named file ignoring ASCII case, as the engine opens tables, so records
//     of programs that named a table in other letters are of the same files.
//  J2 Commits. A commit holds its tables' write locks and COMMIT.LCK from
//     its counter bumps until its journal is settled or checkpointed: under
//     COMMIT.LCK no one else writes a file the journal names.
//  J3 When a replay is due. A journal that is not settled ends in a dead
//     commit's record. A settled one whose records are of another run of a
//     machine (another computer, or this one before it started again: the
//     boot identifier in every record) may name writes that never reached
//     the disk. A settled journal of this run needs nothing: its writes are
//     in this machine's page cache.
//  J4 Replay by final bytes. Under COMMIT.LCK each named file is compared
//     with the bytes all records leave in it; only a file that differs is
//     written, with those final bytes, under its writer lock (the data
//     file's table-lock byte, the index and BLOB files' write ranges: no
//     reader inside), taken on every such file before any is written. A
//     file whose writer lock the caller holds is not locked again; a table
//     lock holds the data file's byte only. So a replay never takes a file
//     back through an older state, and one whose writes had all arrived
//     writes nothing and needs no table's lock: an open transaction on one
//     computer does not hold up another's writes.
//  J5 A replay then makes every named file durable and empties the journal
//     durably.
//  J6 No one reads or writes a table while a replay is due. A handle looks
//     at the journal at its first lock after opening or ending a
//     transaction and whenever its counters moved; a reader that finds a
//     replay due waits for COMMIT.LCK and replays (or finds it done), and
//     fails with 10249 when that takes longer than the lock retries, instead
//     of reading half a commit or an older state. Only in a directory where
//     COMMIT.LCK cannot be made (read-only media) is a table read as it is.
//     Step 1 is what lets a handle skip the look while its counters stand
//     still: a dead commit's record names only tables whose counters it
//     moved before the record existed (TDataTable::journal_unchecked_ keeps
//     the cases where a handle's own counters came from the commit or from
//     an unlocked read). A replay may write the counters back to older
//     values, so whoever read a bumped header reads every header again once
//     it finds the journal with nothing due.
//  J7 Files change names over an empty journal only: creating, dropping,
//     renaming and repairing a table first finish any journal (a dead
//     commit's too) and empty it durably, so no record is ever written into
//     files that took the names of its tables, and no repair backup is
//     taken before the journal is in the tables.
//  J8 Writes outside a commit. Before its first such write after a commit
//     a writer checkpoints the journal and empties it durably (a cut
//     journal may come back after a power loss), so replaying can never
//     undo the write.
//  J9 A writer of another run that is still running. Its table writes were
//     made under the tables' write locks and reached the shared files when
//     it let go of them, the coherence every reader relies on to see
//     another's commit at its next lock. A replay then finds them in place,
//     writes nothing and only flushes and cuts. A replay writes no bytes but
//     the last record's for each place, and every later change of anyone's
//     is either a later record of the same journal (J2) or came after the
//     journal was emptied (J8): a replay never undoes one.
//
// Two files in the directory:
//   COMMIT.LCK  never written; byte 0 locked exclusively by the process
//               writing, replaying or checkpointing the journal (the lock
//               dies with it).
//   COMMIT.JNL  empty; cut (8 bytes); or "KURAJNL2" and records, each at an
//               offset 8 more than a multiple of 512 (little-endian):
//     0   4  record length T (every byte of it, the checksum included)
//     4   16 boot identifier of the machine run that wrote it
//     20  8  salt: drawn by the journal's first record, carried by the others
//     28  4  file count F
//     32  4  write count W
//     36  .. F files: u16 name length, name (the base name for a file of this
//               directory, else the whole path), i64 lock start, i64 lock
//               length (the range a writer of the file holds, taken by a
//               replay so that no reader or writer is inside)
//         .. W writes: u16 file index (in this record), i64 offset, u32
//               length, the bytes
//         .. 0 or 4 zero bytes, so that T is no multiple of 512
//     T-4 4  CRC-32 of the record's bytes before it
//   then zero bytes up to the next record boundary once settled. The length
//   tells the state in one stat: 8 more than a multiple of 512 is settled
//   (or cut), any other is not. Records are read up to the first that is
//   not whole (a commit that died before its journal was durable, and so
//   never reached its tables) or has another salt (a record of an earlier
//   journal, left behind ours when a cut did not reach the disk); a journal
//   without the magic is emptied. A
//   journal of the older form ("KURAJNL1", one commit) is replayed as such.
//
// A commit without the OS flush is safe against a killed process, not
// against a power loss (nothing is made durable then).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "db/storage/file/file_handler.h"
#include "db/storage/storage_settings.h"

namespace kura {

class TDataTable;

class TCommitJournal {
 public:
  // `directory` in the normalised form (ends in "/").
  TCommitJournal(std::string directory, const TStorageSettings& settings);
  ~TCommitJournal();
  TCommitJournal(const TCommitJournal&) = delete;
  TCommitJournal& operator=(const TCommitJournal&) = delete;

  // Captures the writes of `table`'s data, index and BLOB files from now on.
  void Capture(TDataTable& table);
  // Journals the captured writes (OS-flushing the journal when `flush`),
  // writes them to the files, and settles or checkpoints the journal. Capture
  // ends first, whatever happens. A failure after the record was complete
  // leaves it for the next writer to finish.
  void Apply(bool flush);
  // Ends capturing without writing anything.
  void Release();

  // The first bytes of a journal, to which a commit cuts it at its end.
  static constexpr std::size_t kCutBytes = 8;

  // Finishes a journal that is not settled (a dead commit's) or was written
  // in another run of a machine (J3, J4), makes its files durable and
  // empties it. Files in `held` (whole paths) are ones whose writer locks
  // the caller holds; the others' are taken where a file must be written.
  // Waits for a commit or replay holding the journal lock (J6). Returns
  // false when that or a file's lock cannot be had, unless `must`: then it
  // is 10249. A settled journal of this run is left as it is unless
  // `durable` (the caller is about to write outside a commit): then it is
  // checkpointed and emptied durably. Cheap when there is nothing to do
  // (one stat, and a read of the first record's head when the journal
  // holds settled records). `rewrote` is set when a table file was written.
  static bool Recover(const std::string& directory, const std::vector<std::string>& held,
                      const TStorageSettings& settings, bool must, bool durable,
                      bool* rewrote = nullptr);
  // Finishes any journal (a dead commit's too), checkpoints it and empties it
  // durably (waiting for a running commit); 10249 when the journal lock
  // cannot be had (J7).
  static void EmptyDurably(const std::string& directory, const TStorageSettings& settings);

  // kCut: settled (or cut), nothing to replay in this run of the machine;
  // kPending: it ends in a record that may be half-written to its tables.
  enum class TState { kEmpty, kCut, kPending };
  // What the directory's journal holds (one stat).
  static TState State(const std::string& directory);
  // Whether the directory's journal holds something to replay (one stat).
  static bool Pending(const std::string& directory);
  // Whether a replay is due before the directory's tables are read (J3): the
  // journal is not settled, or holds records of another run of a machine.
  // One stat, and a read of the first record's head when it holds settled
  // records.
  static bool NeedsReplay(const std::string& directory);
  // Whether the journal lock can be made in the directory (false on
  // read-only media: nobody can finish a journal there).
  static bool Replayable(const std::string& directory);

  static std::string JournalPath(const std::string& directory);
  static std::string LockPath(const std::string& directory);

 private:
  static constexpr std::size_t kCounterBytes = 4;
  struct TCaptured {
    const TDataTable* table;
    TFileHandler* handler;
    std::int64_t lock_start;
    std::int64_t lock_length;
    std::unique_ptr<TWriteCapture> capture;
  };
  void CaptureFile(const TDataTable& table, TFileHandler& handler, std::int64_t lock_start,
                   std::int64_t lock_length);
  static bool FinalCounter(const TCaptured& f, std::uint8_t* counter);
  bool TableBumped(std::size_t i) const;
  void BumpCounters();
  std::vector<std::uint8_t> EncodeRecord(const std::string& boot, std::uint64_t salt,
                                         std::span<const std::uint8_t> lead) const;

  std::string directory_;
  TStorageSettings settings_;
  std::vector<TCaptured> files_;
};

}  // namespace kura
