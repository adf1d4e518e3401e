// TCommitJournal: makes the commit of a transaction over several tables of a
// directory all-or-nothing when the committing process dies or the power
// fails half-way. Without it a commit writes its tables one after another,
// and a game-record store killed in between kept the list row of a game
// without its moves.
//
// A commit captures every write of its tables' files in memory
// (TFileHandler::StartCapture). Holding the write locks of all its tables and
// the journal lock, it
//   1. writes each file's final change counter (the first four bytes of the
//      last header image it will write) over the current one: nothing else
//      of the table changes, but every other handle now sees it changed;
//   2. writes all the captured writes to the directory's journal and makes
//      the journal durable;
//   3. writes the table files (and makes them durable);
//   4. cuts the journal to its first 8 bytes, without waiting for the disk
//      (empties it durably when one of its tables is open exclusively: such
//      a handle takes no locks, so it never looks at the journal again).
// A cut journal counts as empty, but its cutting may not be durable yet: a
// power loss could bring the whole journal back. Replaying it then is
// harmless while its tables are as the commit left them, so whoever writes
// to one of them outside a commit (or creates or renames a table) first
// empties the journal durably; a commit's own journal replaces it durably
// before any table is written.
// A journal left with content is the record of a commit that may be
// half-written: whoever opens one of the directory's tables, or locks one
// whose counters moved since it last looked, writes it again (every write is
// a whole image at its offset, so writing it twice is harmless) and empties
// it. Step 1 is what lets a handle skip the look while its counters stand
// still: a dead commit's journal names only tables whose counters it moved
// before the journal existed (TDataTable::journal_unchecked_ keeps the cases
// where a handle's own counters came from the commit or from an unlocked
// read). A replay writes the same counters the bump did, so whoever read a
// bumped header reads every header again once the journal is empty.
//
// Two files in the directory:
//   COMMIT.LCK  never written; byte 0 locked exclusively by the process
//               writing or replaying the journal (the lock dies with it).
//   COMMIT.JNL  empty, cut (8 bytes), or one journal (little-endian):
//     0   8  "KURAJNL1"
//     8   4  file count F
//     12  4  write count W
//     16  8  body length B (the bytes from 24 up to the checksum)
//     24  .. F files: u16 name length, name (the base name for a file of this
//               directory, else the whole path), i64 lock start, i64 lock
//               length (the range a writer of the file holds, taken by a
//               replay so that no reader or writer is inside)
//         .. W writes: u16 file index, i64 offset, u32 length, the bytes
//     24+B 4 CRC-32 of the bytes before it.
//   Anything else (short, another magic, lengths or checksum wrong) is the
//   journal of a commit that never reached its tables, and is emptied. A
//   journal of 8 bytes is never whole: a program that does not know cut
//   journals empties it as such.
//
// The journal is cut before the committer lets go of its tables, so no one
// replays it again in this life of the machine. A commit without the OS
// flush is safe against a killed process, not against a power loss (nothing
// is made durable then).
#pragma once

#include <cstdint>
#include <memory>
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
  // Journals the captured writes, writes them to the files (OS-flushing the
  // journal and the files when `flush`) and empties the journal. Capture
  // ends first, whatever happens. A failure after the journal was complete
  // leaves it for the next writer to finish.
  void Apply(bool flush);
  // Ends capturing without writing anything.
  void Release();

  // The first bytes of a journal, to which a commit cuts it at its end.
  static constexpr std::size_t kCutBytes = 8;

  // Writes again a journal a dead commit left in `directory` and empties
  // it. Files in `held` (whole paths) are ones whose writer locks the caller
  // holds; the others' are taken for the replay. Returns false without
  // replaying when another process holds the journal (its commit is still
  // running) or, unless `must`, when a file's lock cannot be had; with
  // `must` that is 10249. A cut journal is left as it is unless `durable`
  // (the caller is about to write outside a commit): then it is emptied
  // durably. Cheap when there is nothing to do (one stat).
  static bool Recover(const std::string& directory, const std::vector<std::string>& held,
                      const TStorageSettings& settings, bool must, bool durable);
  // Empties a cut journal durably (waiting for a running commit); 10249
  // when the journal lock cannot be had.
  static void EmptyDurably(const std::string& directory, const TStorageSettings& settings);

  enum class TState { kEmpty, kCut, kPending };
  // What the directory's journal holds (one stat).
  static TState State(const std::string& directory);
  // Whether the directory's journal holds something to replay (one stat).
  static bool Pending(const std::string& directory);

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
  std::vector<std::uint8_t> Encode() const;

  std::string directory_;
  TStorageSettings settings_;
  std::vector<TCaptured> files_;
};

}  // namespace kura
