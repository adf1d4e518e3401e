// The session and database components through which datasets reach tables.
//
//   TKuraSessionList  one per process: every TKuraSession, the numbering of
//                     automatic session names, the built-in session
//                     "Default", and the engine's global critical section
//                     that serialises session start and stop.
//   TKuraSession      settings passed to the storage layer and cursors, the
//                     session's databases (placed ones and temporary ones it
//                     creates for a dataset naming an unknown database) and,
//                     while active, its engine session TDataSession.
//   TKuraDatabase     a database by name: connected, it holds the shared
//                     TDataDirectory of its Directory (or of the in-memory
//                     database for the name "Memory").
//
// Life cycle:
//   session   inactive --Open--> active (engine session exists) --Close--> inactive
//   database  disconnected --Open--> connected --Close--> disconnected; the
//             session's CloseDatabase disconnects at zero users unless
//             KeepConnection, and frees a temporary database instead.
//
// The failures of this layer that are not engine errors are raised as
// EDatabaseError with the texts below.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "db/engine/session/data_session.h"

namespace kura {

inline constexpr std::string_view kSessionNameMissing = "Session name is missing.";
inline constexpr std::string_view kSessionNameInvalid = "Session name %s is not valid.";
inline constexpr std::string_view kDatabaseNameInvalid = "Database name %s is not valid.";

// The built-in session's name.
inline constexpr std::string_view kDefaultSessionName = "Default";

enum class TSessionType : std::uint8_t { kLocal, kRemote };

class TKuraDatabase;
class TKuraSession;

class TKuraSessionList {
 public:
  // The process's list; the built-in session exists from the first call.
  static TKuraSessionList& Global();
  ~TKuraSessionList();

  // The session of `name` (case-insensitive); no name gives the built-in
  // session; an unknown name fails with "Session name %s is not valid.".
  TKuraSession& FindSession(std::string_view name);
  TKuraSession* FindSessionOrNull(std::string_view name);
  TKuraSession& DefaultSession() { return *default_; }
  void Add(TKuraSession& session);
  void Remove(TKuraSession& session);
  std::size_t Count();

  // Session start and stop run under this lock.
  std::recursive_mutex& CriticalSection() { return critical_section_; }

  // A session name not in use, from the lowest free number; ReleaseAutoName
  // gives the number back.
  std::string TakeAutoName();
  void ReleaseAutoName(std::string_view name);

 private:
  TKuraSessionList();

  std::recursive_mutex critical_section_;
  std::mutex list_mutex_;
  std::vector<TKuraSession*> sessions_;  // guarded by list_mutex_
  std::vector<bool> auto_numbers_;       // guarded by list_mutex_; bit n: name n + 1 taken
  std::unique_ptr<TKuraSession> default_;
};

class TKuraSession {
 public:
  // A session with the given name, entered into the process's list.
  explicit TKuraSession(std::string name = std::string());
  // Closes the session; its placed databases stay, detached.
  ~TKuraSession();
  TKuraSession(const TKuraSession&) = delete;
  TKuraSession& operator=(const TKuraSession&) = delete;

  // ---- properties (read when the session starts) ----
  const std::string& SessionName() const { return session_name_; }
  void SetSessionName(std::string name) { session_name_ = std::move(name); }
  bool AutoSessionName() const { return auto_session_name_; }
  void SetAutoSessionName(bool on) { auto_session_name_ = on; }
  bool KeepConnections() const { return keep_connections_; }
  void SetKeepConnections(bool on) { keep_connections_ = on; }
  const std::string& PrivateDir() const { return settings_.private_dir; }
  void SetPrivateDir(std::string dir) { settings_.private_dir = std::move(dir); }
  int LockRetryCount() const { return settings_.lock_retry_count; }
  void SetLockRetryCount(int n) { settings_.lock_retry_count = n; }
  int LockWaitTime() const { return settings_.lock_wait_time; }
  void SetLockWaitTime(int ms) { settings_.lock_wait_time = ms; }
  TLockProtocol LockProtocol() const { return settings_.lock_protocol; }
  void SetLockProtocol(TLockProtocol p) { settings_.lock_protocol = p; }
  bool StrictChangeDetection() const { return settings_.strict_change_detection; }
  void SetStrictChangeDetection(bool on) { settings_.strict_change_detection = on; }
  bool ForceBufferFlush() const { return settings_.force_buffer_flush; }
  void SetForceBufferFlush(bool on) { settings_.force_buffer_flush = on; }
  int ProgressSteps() const { return settings_.progress_steps; }
  void SetProgressSteps(int n) { settings_.progress_steps = n; }
  TSessionType SessionType() const { return session_type_; }
  void SetSessionType(TSessionType t) { session_type_ = t; }
  bool IsDefault() const { return built_in_; }

  // Called first when the session starts.
  std::function<void(TKuraSession&)> OnStartup;

  // ---- activation ----
  void Open();
  void Close();
  bool Active() const { return engine_ != nullptr; }
  void SetActive(bool on) { on ? Open() : Close(); }
  // The engine session; 10758 while the session is inactive.
  TDataSession& Engine();

  // ---- databases ----
  // The database named `name` (case-insensitive): one owned by `owner`
  // first, then any; null when none.
  TKuraDatabase* FindDatabase(std::string_view name, const void* owner = nullptr);
  // The database for a dataset: found, or created as a temporary database;
  // the session is activated, the database connected and one more user
  // counted.
  TKuraDatabase& OpenDatabase(std::string_view name, const void* owner = nullptr);
  // One user fewer; at zero a database without KeepConnection disconnects,
  // and a temporary one is freed instead.
  void CloseDatabase(TKuraDatabase& database);
  std::size_t DatabaseCount() const { return databases_.size(); }

 private:
  friend class TKuraDatabase;
  friend class TKuraSessionList;
  struct TBuiltIn {};
  explicit TKuraSession(TBuiltIn);
  void Attach(TKuraDatabase& database);
  void Detach(TKuraDatabase& database);
  void FreeTemporary(TKuraDatabase& database);

  std::string session_name_;
  std::string auto_name_;  // the automatic name this session holds, if any
  bool auto_session_name_ = false;
  bool keep_connections_ = true;
  TSessionSettings settings_;
  TSessionType session_type_ = TSessionType::kLocal;
  bool built_in_ = false;
  TKuraSessionList* list_ = nullptr;                       // the list this session is entered in
  std::vector<TKuraDatabase*> databases_;                  // placed and temporary
  std::vector<std::unique_ptr<TKuraDatabase>> temporary_;  // owned by the session
  std::unique_ptr<TDataSession> engine_;
};

class TKuraDatabase {
 public:
  // A database of the session named `session_name` (empty: the built-in
  // session); `owner` is the component that owns it, for FindDatabase.
  explicit TKuraDatabase(const void* owner = nullptr, std::string session_name = std::string());
  ~TKuraDatabase();
  TKuraDatabase(const TKuraDatabase&) = delete;
  TKuraDatabase& operator=(const TKuraDatabase&) = delete;

  const std::string& DatabaseName() const { return database_name_; }
  void SetDatabaseName(std::string name) { database_name_ = std::move(name); }
  const std::string& Directory() const { return directory_; }
  void SetDirectory(std::string dir) { directory_ = std::move(dir); }
  bool RemoteDatabase() const { return remote_database_; }
  void SetRemoteDatabase(bool on) { remote_database_ = on; }
  bool KeepConnection() const { return keep_connection_; }
  void SetKeepConnection(bool on) { keep_connection_ = on; }
  const std::string& SessionName() const { return session_name_; }
  // Moves the (disconnected) database to the session of `name`.
  void SetSessionName(std::string name);
  bool Temporary() const { return temporary_; }
  int UseCount() const { return use_count_; }
  const void* Owner() const { return owner_; }

  // Called first when the database connects.
  std::function<void(TKuraDatabase&)> BeforeConnect;

  // Connects: activates the session if needed and opens the directory. A
  // DatabaseName that is a path is refused ("Database name %s is not
  // valid.") unless the database is temporary.
  void Open();
  // Disconnects (rolling back an open transaction when this was the
  // directory's last user).
  void Close();
  bool Connected() const { return directory_object_ != nullptr; }
  void SetConnected(bool on) { on ? Open() : Close(); }
  // The engine database while connected; 10758 otherwise.
  TDataDirectory& DataDirectory();
  TKuraSession& Session();

  void StartTransaction();
  void Commit(bool flush = true);
  void Rollback();
  bool InTransaction() const;

 private:
  friend class TKuraSession;
  struct TTemporary {};
  TKuraDatabase(TTemporary, TKuraSession& session);

  const void* owner_ = nullptr;
  std::string database_name_;
  std::string directory_;
  bool remote_database_ = false;
  bool keep_connection_ = true;
  std::string session_name_;
  bool temporary_ = false;
  int use_count_ = 0;
  TKuraSession* session_ = nullptr;  // the session whose list holds this database
  TDataDirectory* directory_object_ = nullptr;
};

// `pattern` with each "%s" filled by `argument`.
std::string FormatDatabaseMessage(std::string_view pattern, std::string_view argument);

}  // namespace kura
