// The engine's sessions, databases and shared open tables.
//
//   TDataSession    one engine session: its settings, the current directory
//                   at creation, the private directory, the open databases
//                   and the known table passwords.
//   TDataDirectory  one open database: a directory of table files, or the
//                   in-memory database (empty path). Shared by every user of
//                   the session naming the same path, reference-counted. It
//                   owns the shared open tables and drives transactions
//                   across all of them.
//   TSharedTable    the one TDataTable of a table name and kind (disk or
//                   in-memory) in a database, shared by all its cursors and
//                   reference-counted.
//
// Ownership: a session owns its directories, a directory its shared tables;
// the references handed out stay valid until the matching Close. Nothing
// here is locked: a session and everything below it belong to one thread.
// Sessions of other threads or programs on the same files coordinate through
// the storage layer's byte-range locks.
//
// Invariants of a directory:
//  1. At most one shared table per (trimmed, case-insensitive) name and kind.
//  2. A table open exclusively has exactly one user.
//  3. While the transaction mark is set every open, writable table is inside
//     its table-level transaction (tables opened meanwhile join it), and a
//     table whose last user left stays open until the transaction ends.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "db/storage/table/data_table.h"
#include "db/storage/storage_settings.h"

namespace kura {

// When a cursor locks a record for editing: pessimistic at the start of the
// edit, optimistic only when the change is posted.
enum class TLockProtocol : std::uint8_t { kPessimistic, kOptimistic };

// What a session passes to its engine session when it starts.
struct TSessionSettings {
  std::string private_dir;  // empty: none
  bool strict_change_detection = false;
  bool force_buffer_flush = false;
  int lock_retry_count = 15;
  int lock_wait_time = 100;  // milliseconds
  TLockProtocol lock_protocol = TLockProtocol::kPessimistic;
  int progress_steps = 20;  // progress callbacks per long operation
};

// The name that selects the in-memory database.
inline constexpr std::string_view kMemoryDatabaseName = "Memory";

// The default address of a database server (the remote mode is not built in).
inline constexpr std::string_view kDefaultServerAddress = "127.0.0.1";
inline constexpr int kDefaultServerPort = 12005;

// Whether `name` is a path rather than a database name: it contains "\",
// "/" or ":" outside the double-byte characters of the code page.
bool IsDatabasePath(std::string_view name);
// A directory in its normalised form: trimmed, "\" turned into "/" (the
// second byte of a double-byte character is left alone), ending in "/".
std::string NormalizeDatabasePath(std::string_view path);
// `text` without leading and trailing blanks.
std::string TrimName(std::string_view text);

class TDataDirectory;
class TDataSession;

class TSharedTable {
 public:
  TDataTable& Table() { return *table_; }
  const std::string& Name() const { return name_; }
  bool InMemory() const { return in_memory_; }
  bool Exclusive() const { return exclusive_; }
  // The table's files are read-only (a cursor's own read-only opening is the
  // cursor's restriction: the table is shared with cursors that write).
  bool ReadOnly() const { return table_->ReadOnly(); }
  int RefCount() const { return ref_count_; }

 private:
  friend class TDataDirectory;
  std::string name_;
  bool in_memory_ = false;
  bool exclusive_ = false;
  int ref_count_ = 0;
  std::unique_ptr<TDataTable> table_;
};

class TDataDirectory {
 public:
  // `path` is normalised; empty for the in-memory database.
  TDataDirectory(TDataSession& session, std::string name, std::string path);
  // Rolls back an open transaction and closes every table still open.
  ~TDataDirectory();
  TDataDirectory(const TDataDirectory&) = delete;
  TDataDirectory& operator=(const TDataDirectory&) = delete;

  // The shared table of `name` (kind: in-memory when asked or when this is
  // the in-memory database), opened on first use. 11013 when the match or
  // the request is exclusive; 10498 for an encrypted table whose password the
  // session does not know; the storage layer's errors (11010 for a missing
  // table or directory) otherwise. A table opened inside a transaction joins it.
  TSharedTable& OpenTable(std::string_view name, bool read_only, bool exclusive,
                          bool in_memory = false);
  // One user fewer; the last one closes the table (outside a transaction;
  // inside one it closes when the transaction ends). `discard` drops the
  // changes an exclusive table still buffers instead of writing them.
  void CloseTable(TSharedTable& table, bool discard = false);
  // The open table of `name` and kind, or null.
  TSharedTable* FindTable(std::string_view name, bool in_memory) const;
  std::size_t TableCount() const { return tables_.size(); }

  // Starts a transaction over every open table; false when one is already
  // active. If a table fails, every table rolls back and the error passes on.
  bool StartTransaction();
  // Prepares every table (last opened first), then commits each (an OS flush
  // of its files when `flush`), then ends the transaction on each. A failed
  // preparation leaves the transaction open; a failed commit still ends it.
  void Commit(bool flush);
  // Drops every change of the transaction (last opened table first).
  void Rollback();
  bool InTransaction() const { return in_transaction_; }

  TDataSession& Session() const { return session_; }
  const std::string& Name() const { return name_; }
  const std::string& Path() const { return path_; }
  bool IsMemory() const { return path_.empty(); }
  int RefCount() const { return ref_count_; }

 private:
  friend class TDataSession;
  void CheckPassword(TSharedTable& shared) const;
  void EndAll();
  void CloseUnused();
  std::vector<std::unique_ptr<TSharedTable>>::iterator Position(const TSharedTable& t);

  TDataSession& session_;
  std::string name_;
  std::string path_;
  int ref_count_ = 0;
  bool in_transaction_ = false;
  std::vector<std::unique_ptr<TSharedTable>> tables_;  // in opening order
};

class TDataSession {
 public:
  explicit TDataSession(TSessionSettings settings = {});
  ~TDataSession();
  TDataSession(const TDataSession&) = delete;
  TDataSession& operator=(const TDataSession&) = delete;

  // The database at `path` (normalised; empty means the current directory,
  // or the in-memory database for the name "Memory"), shared with every
  // earlier open of the same path (compared ignoring case) and counted. The
  // directory itself is not checked: a missing one shows when a table opens.
  // The remote mode is not built in: `remote` fails with 11280.
  TDataDirectory& OpenDirectory(std::string_view name, std::string_view path, bool remote = false);
  // One user fewer; the last one frees the directory (rolling back its
  // transaction and closing its tables).
  void CloseDirectory(TDataDirectory& directory);
  std::size_t DirectoryCount() const { return directories_.size(); }

  // The process's current directory when the session was created, normalised.
  const std::string& CurrentDirectory() const { return current_dir_; }
  // The normalised private directory; empty when none was given.
  const std::string& PrivateDirectory() const { return private_dir_; }
  const TSessionSettings& Settings() const { return settings_; }
  TLockProtocol LockProtocol() const { return settings_.lock_protocol; }
  // The storage settings the session's tables open with.
  TStorageSettings StorageSettings() const;

  // Table passwords known to the session (compared exactly).
  void AddPassword(std::string_view password);
  void RemovePassword(std::string_view password);
  void RemoveAllPasswords() { passwords_.clear(); }
  bool KnowsPassword(std::string_view password) const;

 private:
  TSessionSettings settings_;
  std::string current_dir_;
  std::string private_dir_;
  std::vector<std::unique_ptr<TDataDirectory>> directories_;
  std::vector<std::string> passwords_;
};

// Raises the engine's error for a remote database, which is not built in.
[[noreturn]] void RaiseRemoteNotAvailable();

}  // namespace kura
